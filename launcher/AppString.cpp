#include "AppString.h"

#include <new>

#include "platform/resources.h"
#include "platform/platform.h"
#include "stub_exception.h"
#include "util.h"

const std::wstring string_file_info_prefix = L"\\StringFileInfo\\040904B0\\";

AppStrings app_strings;

void AppStrings::initialize() {
    const uint32_t size = platform::get_file_version_info_size(exe_path.c_str());
    if (size == 0) {
        STUB_RAISE_ERROR(
            "Could not initialize AppStrings, GetFileVersionInfoSize failed with error code ",
            platform::get_last_error());
    }

    version_info.reset(new (std::nothrow) uint8_t[size]);
    if (!version_info) STUB_RAISE("Could not initialize AppStrings, insufficient memory");

    if (!platform::get_file_version_info(exe_path.c_str(), size, version_info.get())) {
        const uint32_t code = platform::get_last_error();
        version_info.reset();
        STUB_RAISE_ERROR(
            "Could not initialize AppStrings, GetFileVersionInfo failed with error code ", code);
    }

    // A failed query leaves the block held; it is released with the object.
    __main_script = query_app_string(L"__main_script");
    __logging_host = query_app_string(L"__logging_host");
    __logging_url = query_app_string(L"__logging_url");
    __log_to_memory = query_app_string(L"__log_to_memory");
    __company = query_app_string(L"__company");
    __product = query_app_string(L"__product");
    FileVersion = query_app_string(L"FileVersion");

    version_info.reset();
}

std::wstring AppStrings::query_app_string(const std::wstring& key) {
    if (!version_info) {
        STUB_RAISE("Cannot query app string, AppString class was not initialized successfully.");
    }
    const std::wstring sub_block = string_file_info_prefix + key;
    const wchar_t* value = nullptr;
    uint32_t length = 0;
    if (!platform::ver_query_value(version_info.get(), sub_block.c_str(), &value, &length) ||
        value == nullptr) {
        STUB_RAISE_ERROR("VerQueryValue failed with error code ", platform::get_last_error());
    }
    // The value runs to its first NUL, whatever length the query reports.
    return std::wstring(value);
}
