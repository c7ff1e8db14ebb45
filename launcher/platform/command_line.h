// The process's arguments as the launcher hands them on: the Windows command
// line split by the rules of CommandLineToArgvW, without loading shell32 (and
// with it user32 and gdi32) into every start, and the vector that both
// platforms return from command_line_to_argv.
#pragma once

#include <string>
#include <vector>

namespace command_line {

// The arguments of a Windows command line, as CommandLineToArgvW gives them:
// - the first (the program) runs to the first space or tab, or, when the line
//   starts with a quote, to the next quote; backslashes are kept as they are;
// - the others are separated by spaces and tabs outside quotes; 2n
//   backslashes before a quote become n and the quote opens or closes a
//   quoted part, 2n+1 become n and a literal quote, other backslashes stay;
//   in a run of quotes every third one is a literal quote and ends the
//   quoted part ("" inside quotes: a quote), and a run that leaves two
//   counted closes it.
// An empty line gives no arguments (CommandLineToArgvW names the program's
// file instead; the caller does).
std::vector<std::wstring> split(const wchar_t* line);

// Arguments as a null-ended array of NUL-ended strings that stays valid as
// long as this object lives and is not assigned again.
class ArgumentVector {
public:
    void assign(std::vector<std::wstring> arguments);
    // null when there are no arguments.
    wchar_t** argv() { return strings_.empty() ? nullptr : pointers_.data(); }
    size_t argc() const { return strings_.size(); }

private:
    std::vector<std::wstring> strings_;
    std::vector<wchar_t*> pointers_;
};

}  // namespace command_line
