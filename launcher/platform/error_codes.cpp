// The one table from the C runtime's errno values to the Win32 codes the
// launcher reports, for both targets: the same failure gives the same code
// everywhere. Values a runtime does not define are left out of its build.
#include <cerrno>

#include "platform/error_codes.h"
#include "platform/platform.h"

namespace platform {

namespace {

struct ErrnoMapping {
    int errno_value;
    uint32_t code;
};

constexpr ErrnoMapping kErrnoTable[] = {
    {0, error_code::kSuccess},
    {EPERM, error_code::kAccessDenied},
    {ENOENT, error_code::kFileNotFound},
    {ENOTDIR, error_code::kPathNotFound},
    {EMFILE, error_code::kTooManyOpenFiles},
    {ENFILE, error_code::kTooManyOpenFiles},
    {EACCES, error_code::kAccessDenied},
    {EISDIR, error_code::kAccessDenied},
    {EBADF, error_code::kInvalidHandle},
    {ENOMEM, error_code::kNotEnoughMemory},
    {EROFS, error_code::kWriteProtect},
    {EAGAIN, error_code::kSharingViolation},  // a lock another process holds
    {EDEADLK, error_code::kLockViolation},
    {ENOSYS, error_code::kNotSupported},
    {EINVAL, error_code::kInvalidParameter},
    {ENOSPC, error_code::kDiskFull},
    {EPIPE, error_code::kBrokenPipe},
    {ENOTEMPTY, error_code::kDirNotEmpty},
    {EBUSY, error_code::kBusy},
    {EEXIST, error_code::kAlreadyExists},
    {ENOEXEC, error_code::kBadExeFormat},
    {ENAMETOOLONG, error_code::kFilenameExcedRange},
    {EFBIG, error_code::kFileTooLarge},
    {EINTR, error_code::kOperationAborted},
    {EIO, error_code::kIoDevice},
#ifdef ELOOP
    {ELOOP, error_code::kCantResolveFilename},
#endif
#ifdef ETXTBSY
    {ETXTBSY, error_code::kSharingViolation},
#endif
#ifdef ENOTSUP
    {ENOTSUP, error_code::kNotSupported},
#endif
#ifdef EDQUOT
    {EDQUOT, error_code::kDiskFull},
#endif
#ifdef ETIMEDOUT
    {ETIMEDOUT, error_code::kTimeout},
#endif
};

}  // namespace

uint32_t win32_error_from_errno(int errno_value) {
    for (const ErrnoMapping& mapping : kErrnoTable) {
        if (mapping.errno_value == errno_value) return mapping.code;
    }
    return error_code::kGenFailure;
}

}  // namespace platform
