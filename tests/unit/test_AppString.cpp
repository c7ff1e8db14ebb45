#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "AppString.h"
#include "platform/platform.h"
#include "stub_exception.h"
#include "test_support.h"
#include "util.h"

namespace {

// Makes an application executable with the build tool and points exe_path at
// it, so that the configuration is read back through the launcher's own code.
class Configuration : public ::testing::Test {
protected:
    void make_app(const std::vector<std::string>& options) {
        std::string command = "timeout -s KILL 60 /usr/bin/python3.11 " TEST_SOURCE_DIR "/tools/mkapp.py"
                              " --launcher /bin/true --no-script -o " +
                              temp.file("app");
        for (const std::string& option : options) command += " '" + option + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        exe_path = platform::utf8_to_wide(temp.file("app"));
    }

    std::string initialize_failure() {
        try {
            config.initialize();
        } catch (const std::exception& error) {
            return error.what();
        }
        return "";
    }

    TempDir temp;
    AppStrings config;
};

TEST_F(Configuration, SevenKeysAreReadFromTheStringTable) {
    make_app({"--set=__main_script=shop.main", "--set=__logging_host=logs.example",
              "--set=__logging_url=upload_logs/v5/", "--set=__log_to_memory=True",
              "--set=__company=Caf\xc3\xa9 \xf0\x9f\x98\x80", "--set=__product=Prod",
              "--set=FileVersion=2.0.1.7", "--set=Unrelated=ignored"});
    ASSERT_EQ(initialize_failure(), "");
    EXPECT_EQ(config.__main_script, L"shop.main");
    EXPECT_EQ(config.__logging_host, L"logs.example");
    EXPECT_EQ(config.__logging_url, L"upload_logs/v5/");
    EXPECT_EQ(config.__log_to_memory, L"True");
    EXPECT_EQ(config.__company, L"Caf\u00e9 \U0001F600");
    EXPECT_EQ(config.__product, L"Prod");
    EXPECT_EQ(config.FileVersion, L"2.0.1.7");

    // The block is released once the keys are read.
    try {
        config.query_app_string(L"__product");
        FAIL() << "queried after initialize";
    } catch (const _stub_exception& error) {
        EXPECT_EQ(std::string(error.what()).rfind(
                      "Cannot query app string, AppString class was not initialized successfully.  (", 0),
                  0u);
    }
}

TEST_F(Configuration, MissingKeyStopsTheReadWithTheKeysBeforeItSet) {
    make_app({"--omit=__company"});
    const std::string failure = initialize_failure();
    EXPECT_EQ(failure.rfind("VerQueryValue failed with error code ", 0), 0u) << failure;
    EXPECT_FALSE(config.__main_script.empty());
    EXPECT_FALSE(config.__logging_host.empty());
    EXPECT_FALSE(config.__logging_url.empty());
    EXPECT_FALSE(config.__log_to_memory.empty());
    EXPECT_TRUE(config.__company.empty());
    EXPECT_TRUE(config.__product.empty());
    EXPECT_TRUE(config.FileVersion.empty());
}

TEST_F(Configuration, OtherStringBlockFailsAtTheFirstKey) {
    make_app({"--block=040904E4"});
    EXPECT_EQ(initialize_failure().rfind("VerQueryValue failed with error code ", 0), 0u);
    EXPECT_TRUE(config.__main_script.empty());
}

TEST_F(Configuration, FileWithoutVersionResource) {
    make_app({"--no-version-info"});
    EXPECT_EQ(initialize_failure().rfind(
                  "Could not initialize AppStrings, GetFileVersionInfoSize failed with error code ", 0),
              0u);

    exe_path = L"/bin/true";  // no appended image at all
    EXPECT_EQ(initialize_failure().rfind(
                  "Could not initialize AppStrings, GetFileVersionInfoSize failed with error code ", 0),
              0u);
}

TEST_F(Configuration, TruncatedImageIsRefusedWithoutReadingPastIt) {
    make_app({});
    std::string bytes = read_whole_file(temp.file("app"));
    // Cut the image in its middle but keep a trailer that claims the old size.
    const std::string trailer = bytes.substr(bytes.size() - 16);
    const size_t image_size = bytes.size() - 16 - read_whole_file("/bin/true").size();
    bytes.resize(bytes.size() - 16 - image_size / 2);
    write_whole_file(temp.file("app"), bytes + trailer);
    const std::string failure = initialize_failure();
    EXPECT_EQ(failure.rfind("Could not initialize AppStrings, GetFileVersionInfoSize failed with error code ", 0), 0u)
        << failure;
}

}  // namespace
