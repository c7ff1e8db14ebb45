#include "platform/command_line.h"

#include <utility>

namespace command_line {

namespace {

bool is_blank(wchar_t c) { return c == L' ' || c == L'\t'; }

const wchar_t* skip_blanks(const wchar_t* p) {
    while (is_blank(*p)) ++p;
    return p;
}

// The program's name, read without escapes. Returns where it ends.
const wchar_t* take_program(const wchar_t* p, std::wstring* program) {
    if (*p == L'"') {
        for (++p; *p != 0 && *p != L'"'; ++p) program->push_back(*p);
        return *p == L'"' ? p + 1 : p;
    }
    for (; *p != 0 && !is_blank(*p); ++p) program->push_back(*p);
    return p;
}

// Where the quoting of an argument stands within a run of quotes: outside,
// inside, or a quoted part just closed by the run.
enum Quoting { kOutside = 0, kInside = 1, kClosedInRun = 2 };

// One argument, from its first character; returns where it ends (at a blank
// outside quotes, or at the end of the line).
const wchar_t* take_argument(const wchar_t* p, std::wstring* argument) {
    int quoting = kOutside;
    size_t backslashes = 0;
    for (; *p != 0; ++p) {
        if (is_blank(*p) && quoting == kOutside) break;
        if (*p == L'\\') {
            argument->push_back(L'\\');
            ++backslashes;
            continue;
        }
        if (*p != L'"') {
            argument->push_back(*p);
            backslashes = 0;
            continue;
        }
        // Half of the backslashes before a quote stay; an odd one out makes
        // the quote literal.
        argument->resize(argument->size() - (backslashes + 1) / 2);
        if (backslashes % 2 == 1) {
            argument->push_back(L'"');
        } else {
            ++quoting;
        }
        backslashes = 0;
        for (; p[1] == L'"'; ++p) {
            if (++quoting == 3) {
                argument->push_back(L'"');
                quoting = kOutside;
            }
        }
        if (quoting == kClosedInRun) quoting = kOutside;
    }
    return p;
}

}  // namespace

std::vector<std::wstring> split(const wchar_t* line) {
    std::vector<std::wstring> arguments;
    if (line == nullptr || *line == 0) return arguments;
    arguments.emplace_back();
    const wchar_t* p = skip_blanks(take_program(line, &arguments.back()));
    while (*p != 0) {
        arguments.emplace_back();
        p = skip_blanks(take_argument(p, &arguments.back()));
    }
    return arguments;
}

void ArgumentVector::assign(std::vector<std::wstring> arguments) {
    strings_ = std::move(arguments);
    pointers_.clear();
    for (std::wstring& argument : strings_) pointers_.push_back(&argument[0]);
    pointers_.push_back(nullptr);
}

}  // namespace command_line
