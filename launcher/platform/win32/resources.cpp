// Resources of the running executable and the version information of a file.
#include <windows.h>

#include "platform/resources.h"

namespace platform {

namespace {
HMODULE executable_module() { return GetModuleHandleW(nullptr); }
}  // namespace

ResourceInfo find_resource(const wchar_t* type, uint16_t id) {
    return FindResourceW(executable_module(), MAKEINTRESOURCEW(id), type);
}

uint32_t sizeof_resource(ResourceInfo info) {
    return SizeofResource(executable_module(), static_cast<HRSRC>(info));
}

ResourceData load_resource(ResourceInfo info) {
    return LoadResource(executable_module(), static_cast<HRSRC>(info));
}

const void* lock_resource(ResourceData data) { return LockResource(static_cast<HGLOBAL>(data)); }

uint32_t get_file_version_info_size(const wchar_t* path) {
    DWORD ignored = 0;
    return GetFileVersionInfoSizeW(path, &ignored);
}

bool get_file_version_info(const wchar_t* path, uint32_t size, void* block) {
    return GetFileVersionInfoW(path, 0, size, block) != FALSE;
}

bool ver_query_value(void* block, const wchar_t* sub_block, const wchar_t** value,
                     uint32_t* length) {
    void* found = nullptr;
    UINT found_length = 0;
    if (!VerQueryValueW(block, sub_block, &found, &found_length)) return false;
    *value = static_cast<const wchar_t*>(found);
    *length = found_length;
    return true;
}

}  // namespace platform
