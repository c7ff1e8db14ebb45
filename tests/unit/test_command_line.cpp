#include <gtest/gtest.h>

#include "command_line_cases.h"
#include "platform/command_line.h"

namespace {

TEST(CommandLine, SplitsAsTheSystemDoes) {
    for (const CommandLineCase& test_case : command_line_cases()) {
        EXPECT_EQ(command_line::split(test_case.line), test_case.arguments) << test_case.line;
    }
}

TEST(CommandLine, EmptyLineHasNoArguments) {
    EXPECT_TRUE(command_line::split(L"").empty());
    EXPECT_TRUE(command_line::split(nullptr).empty());
}

TEST(CommandLine, VectorEndsWithNullAndHoldsEmptyArguments) {
    command_line::ArgumentVector vector;
    EXPECT_EQ(vector.argv(), nullptr);
    vector.assign({L"app", L""});
    ASSERT_EQ(vector.argc(), 2u);
    EXPECT_STREQ(vector.argv()[0], L"app");
    EXPECT_STREQ(vector.argv()[1], L"");
    EXPECT_EQ(vector.argv()[2], nullptr);
}

}  // namespace
