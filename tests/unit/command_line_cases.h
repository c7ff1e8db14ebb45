// Command lines that the launcher's splitter must split as CommandLineToArgvW
// does: the native tests check the expected arguments, the Windows tests
// also hold them against the system's own function.
#pragma once

#include <string>
#include <vector>

struct CommandLineCase {
    const wchar_t* line;
    std::vector<std::wstring> arguments;
};

inline const std::vector<CommandLineCase>& command_line_cases() {
    static const std::vector<CommandLineCase> cases = {
        // The program: no escapes, a quote or a blank ends it.
        {LR"(app)", {LR"(app)"}},
        {LR"("C:\Program Files\app.exe" a b)", {LR"(C:\Program Files\app.exe)", L"a", L"b"}},
        {LR"(C:\dir\app.exe\ x)", {LR"(C:\dir\app.exe\)", L"x"}},
        {LR"("C:\dir\"app x)", {LR"(C:\dir\)", L"app", L"x"}},
        {LR"(a"b c)", {LR"(a"b)", L"c"}},
        {LR"("unterminated program)", {L"unterminated program"}},
        {L"   app x", {L"", L"app", L"x"}},
        // Blanks, quotes and empty arguments.
        {L"app\t a\t\"b\tc\"  ", {L"app", L"a", L"b\tc"}},
        {LR"(app "" x)", {L"app", L"", L"x"}},
        {LR"(app a"b"c "d e"f)", {L"app", L"abc", L"d ef"}},
        {LR"(app "unterminated argument)", {L"app", L"unterminated argument"}},
        // Backslashes: halved before a quote, literal elsewhere.
        {LR"(app a\\b c\)", {L"app", LR"(a\\b)", LR"(c\)"}},
        {LR"(app a\\\\"b c"d)", {L"app", LR"(a\\b cd)"}},
        {LR"(app a\\\"b \" \\\\")", {L"app", LR"(a\"b)", LR"(")", LR"(\\)"}},
        // Runs of quotes: every third is literal and ends the quoted part.
        {LR"(app "a""b")", {L"app", LR"(a"b)"}},
        {LR"(app "a""b c")", {L"app", LR"(a"b)", L"c"}},
        {LR"(app """a""" """ "")", {L"app", LR"("a")", LR"(")", L""}},
        {LR"(app \""x" y)", {L"app", LR"("x)", L"y"}},
        // Text beyond ASCII passes through.
        {L"app caf\u00e9 \"\u20ac 1\"", {L"app", L"caf\u00e9", L"\u20ac 1"}},
    };
    return cases;
}
