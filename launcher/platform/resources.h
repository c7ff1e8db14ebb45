// Resources of the running executable and version information of a file.
#pragma once

#include <cstdint>

namespace platform {

using ResourceInfo = void*;  // HRSRC
using ResourceData = void*;  // HGLOBAL

// FindResourceW(GetModuleHandleW(NULL), MAKEINTRESOURCE(id), type): null with
// the last error set when there is no such resource.
ResourceInfo find_resource(const wchar_t* type, uint16_t id);
uint32_t sizeof_resource(ResourceInfo info);        // SizeofResource
ResourceData load_resource(ResourceInfo info);      // LoadResource
const void* lock_resource(ResourceData data);       // LockResource

// GetFileVersionInfoSizeW(path, &ignored): 0 with the last error set when the
// file has no version resource.
uint32_t get_file_version_info_size(const wchar_t* path);
// GetFileVersionInfoW(path, 0, size, block).
bool get_file_version_info(const wchar_t* path, uint32_t size, void* block);
// VerQueryValueW(block, sub_block, &value, &length) for a string value: the
// pointer is into the block, a NUL-terminated wide string.
bool ver_query_value(void* block, const wchar_t* sub_block, const wchar_t** value,
                     uint32_t* length);

}  // namespace platform
