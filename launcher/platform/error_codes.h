// Win32 error codes as the launcher reports them on every platform.
#pragma once

#include <cstdint>

namespace error_code {
constexpr uint32_t kSuccess = 0;
constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kTooManyOpenFiles = 4;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kInvalidHandle = 6;
constexpr uint32_t kNotEnoughMemory = 8;
constexpr uint32_t kInvalidData = 13;
constexpr uint32_t kNoMoreFiles = 18;
constexpr uint32_t kWriteProtect = 19;
constexpr uint32_t kGenFailure = 31;
constexpr uint32_t kSharingViolation = 32;
constexpr uint32_t kLockViolation = 33;
constexpr uint32_t kHandleEof = 38;
constexpr uint32_t kNotSupported = 50;
constexpr uint32_t kFileExists = 80;
constexpr uint32_t kInvalidParameter = 87;
constexpr uint32_t kBrokenPipe = 109;
constexpr uint32_t kDiskFull = 112;
constexpr uint32_t kInsufficientBuffer = 122;
constexpr uint32_t kModNotFound = 126;
constexpr uint32_t kDirNotEmpty = 145;
constexpr uint32_t kBadPathname = 161;
constexpr uint32_t kBusy = 170;
constexpr uint32_t kAlreadyExists = 183;
constexpr uint32_t kBadExeFormat = 193;
constexpr uint32_t kFilenameExcedRange = 206;
constexpr uint32_t kFileTooLarge = 223;
constexpr uint32_t kPipeConnected = 535;
constexpr uint32_t kOperationAborted = 995;
constexpr uint32_t kIoDevice = 1117;
constexpr uint32_t kTimeout = 1460;
constexpr uint32_t kCantResolveFilename = 1921;
constexpr uint32_t kResourceDataNotFound = 1812;
constexpr uint32_t kResourceTypeNotFound = 1813;
constexpr uint32_t kResourceNameNotFound = 1814;
constexpr uint32_t kResourceLangNotFound = 1815;
// WinINet
constexpr uint32_t kInternetTimeout = 12002;
constexpr uint32_t kInternetInternalError = 12004;
constexpr uint32_t kInternetInvalidUrl = 12005;
constexpr uint32_t kInternetNameNotResolved = 12007;
constexpr uint32_t kInternetConnectionAborted = 12030;
constexpr uint32_t kInternetConnectionReset = 12031;
constexpr uint32_t kInternetCannotConnect = 12029;
constexpr uint32_t kHttpInvalidServerResponse = 12152;
}  // namespace error_code
