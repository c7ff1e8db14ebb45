// Entry point of the Windows test executable. With the hold switch it is the
// second process of the sharing tests; otherwise it runs the tests.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cwchar>

#include "win32_test_support.h"

int main(int argc, char** argv) {
    int wide_argc = 0;
    wchar_t** wide_argv = CommandLineToArgvW(GetCommandLineW(), &wide_argc);
    if (wide_argv != nullptr && wide_argc > 1 && std::wcscmp(wide_argv[1], kHoldLogSwitch) == 0) {
        return hold_log_file(wide_argc, wide_argv);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
