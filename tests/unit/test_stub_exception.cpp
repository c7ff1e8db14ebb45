#include <gtest/gtest.h>

#include <string>

#include "stub_exception.h"

namespace {

std::string raised_text(const std::exception& error) { return error.what(); }

TEST(StubException, TextEndsInTheRaiseLocation) {
    _stub_exception error("Hasn't been opened", 42, "./logging.cpp");
    EXPECT_EQ(raised_text(error), "Hasn't been opened  (./logging.cpp:42)");
}

TEST(StubExceptionError, CodeFollowsTheMessageInSignedDecimal) {
    EXPECT_EQ(raised_text(_stub_exception_error("CreateDirectory failed ", 5, 100, "util.cpp")),
              "CreateDirectory failed 5  (util.cpp:100)");
    EXPECT_EQ(raised_text(_stub_exception_error("PathAppendW failed ", 0, 7, "util.cpp")),
              "PathAppendW failed 0  (util.cpp:7)");
    EXPECT_EQ(raised_text(_stub_exception_error("FindResource failed ", 0x80000000u, 1, "u")),
              "FindResource failed -2147483648  (u:1)");
    EXPECT_EQ(raised_text(_stub_exception_error("x ", 0xFFFFFFFFu, 12345, "u")),
              "x -1  (u:12345)");
}

TEST(StubException, CopiesAndRaisedValuesKeepTheWholeText) {
    try {
        STUB_RAISE_ERROR("VerQueryValue failed with error code ", 1813u);
    } catch (const std::exception& caught) {
        const std::string text = caught.what();
        EXPECT_EQ(text.rfind("VerQueryValue failed with error code 1813  (", 0), 0u);
        EXPECT_NE(text.find("test_stub_exception.cpp:"), std::string::npos);
        EXPECT_EQ(text.back(), ')');

        const auto& typed = dynamic_cast<const _stub_exception_error&>(caught);
        _stub_exception_error copy = typed;
        EXPECT_EQ(std::string(copy.what()), text);
        _stub_exception_error assigned("other ", 1, 1, "f");
        assigned = copy;
        EXPECT_EQ(std::string(assigned.what()), text);
        return;
    }
    FAIL() << "nothing was raised";
}

}  // namespace
