// The launcher's configuration: seven strings from the string table of its
// own version resource.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

extern const std::wstring string_file_info_prefix;  // "\StringFileInfo\040904B0\"

class AppStrings {
public:
    AppStrings() = default;
    virtual ~AppStrings() = default;

    // Reads the version information of exe_path and fills the seven fields.
    void initialize();
    // Valid only while initialize holds the version block.
    std::wstring query_app_string(const std::wstring& key);

    std::wstring __main_script;
    std::wstring __logging_host;
    std::wstring __logging_url;
    std::wstring __log_to_memory;
    std::wstring __company;
    std::wstring __product;
    std::wstring FileVersion;

private:
    std::unique_ptr<uint8_t[]> version_info;
};

extern AppStrings app_strings;
