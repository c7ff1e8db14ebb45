// The interpreter's standard error on Windows. The interpreter's DLL may run
// on a C runtime of its own, so the capture must reach the interpreter's
// sys.stderr as well as the launcher's stream: what the interpreter prints
// has to arrive in the log with the launcher's own text-mode line ends.
// Runs with the Windows interpreter copied beside the test.
#include <Python.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "AppString.h"
#include "logging.h"
#include "util.h"
#include "win32_test_support.h"

TEST(InterpreterStderr, ErrorPrintedByTheInterpreterReachesTheLog) {
    app_strings.__company = L"launcher-tests";
    app_strings.__product = L"interpreter-" + std::to_wstring(GetCurrentProcessId());
    log_to_memory = false;
    log_dir = compute_log_dir();
    open_log();

    Py_IgnoreEnvironmentFlag = 1;
    Py_NoSiteFlag = 1;
    Py_Initialize();
    ASSERT_EQ(redirect_stderr(), 0);

    std::fputs("launcher side\n", stderr);
    PyErr_SetString(PyExc_ValueError, "raised by the test");
    PyErr_Print();
    std::fflush(stderr);
    ASSERT_EQ(drain_stderr(), 0);
    Py_Finalize();
    close_log();

    const std::string log = read_file_text(get_log_path());
    EXPECT_NE(log.find("STUB:stub:Contents of python stderr:\n"), std::string::npos) << log;
    EXPECT_NE(log.find("launcher side\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("ValueError: raised by the test\r\n"), std::string::npos) << log;
    remove_tree(log_dir);
}
