// POSIX errno values described: their kinds, and the C library's messages (strerror_r).
#include "circuit/os_error.hpp"

#include <cerrno>
#include <string.h>

namespace gridflip {
namespace {

// glibc gives C++ the GNU strerror_r, which returns the text (not always in the
// buffer) and never fails; other C libraries give the XSI one, which fills the
// buffer and returns 0 or an error (-1 with errno in old glibc). Overloading on the
// result type takes whichever is declared.
[[maybe_unused]] const char* message_or_null(const char* result, const char*, int&) noexcept {
  return result;
}
[[maybe_unused]] const char* message_or_null(int result, const char* buffer,
                                             int& failure) noexcept {
  if (result == 0) return buffer;
  failure = result == -1 ? errno : result;
  return nullptr;
}

}  // namespace

ErrorKind os_error_kind(int code) noexcept {
  switch (code) {
    case ENOENT: return ErrorKind::NotFound;
    case EACCES:
    case EPERM: return ErrorKind::PermissionDenied;
    case ECONNREFUSED: return ErrorKind::ConnectionRefused;
    case ECONNRESET: return ErrorKind::ConnectionReset;
    case EHOSTUNREACH: return ErrorKind::HostUnreachable;
    case ENETUNREACH: return ErrorKind::NetworkUnreachable;
    case ECONNABORTED: return ErrorKind::ConnectionAborted;
    case ENOTCONN: return ErrorKind::NotConnected;
    case EADDRINUSE: return ErrorKind::AddrInUse;
    case EADDRNOTAVAIL: return ErrorKind::AddrNotAvailable;
    case ENETDOWN: return ErrorKind::NetworkDown;
    case EPIPE: return ErrorKind::BrokenPipe;
    case EEXIST: return ErrorKind::AlreadyExists;
    case EAGAIN: return ErrorKind::WouldBlock;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return ErrorKind::WouldBlock;
#endif
    case ENOTDIR: return ErrorKind::NotADirectory;
    case EISDIR: return ErrorKind::IsADirectory;
    case ENOTEMPTY: return ErrorKind::DirectoryNotEmpty;
    case EROFS: return ErrorKind::ReadOnlyFilesystem;
    case ELOOP: return ErrorKind::FilesystemLoop;
    case ESTALE: return ErrorKind::StaleNetworkFileHandle;
    case EINVAL: return ErrorKind::InvalidInput;
    case ETIMEDOUT: return ErrorKind::TimedOut;
    case ENOSPC: return ErrorKind::StorageFull;
    case ESPIPE: return ErrorKind::NotSeekable;
    case EDQUOT: return ErrorKind::QuotaExceeded;
    case EFBIG: return ErrorKind::FileTooLarge;
    case EBUSY: return ErrorKind::ResourceBusy;
    case ETXTBSY: return ErrorKind::ExecutableFileBusy;
    case EDEADLK: return ErrorKind::Deadlock;
    case EXDEV: return ErrorKind::CrossesDevices;
    case EMLINK: return ErrorKind::TooManyLinks;
    case ENAMETOOLONG: return ErrorKind::InvalidFilename;
    case E2BIG: return ErrorKind::ArgumentListTooLong;
    case EINTR: return ErrorKind::Interrupted;
    case ENOSYS:
    case EOPNOTSUPP: return ErrorKind::Unsupported;
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP: return ErrorKind::Unsupported;
#endif
    case ENOMEM: return ErrorKind::OutOfMemory;
    case EINPROGRESS: return ErrorKind::InProgress;
    default: return ErrorKind::Uncategorized;
  }
}

std::string os_error_message(int code) {
  char buffer[1024];
  buffer[0] = '\0';
  int failure = 0;
  const char* text = message_or_null(::strerror_r(code, buffer, sizeof buffer), buffer, failure);
  if (text != nullptr) return std::string(text);
  return "OS Error " + std::to_string(code) + " (strerror_r() returned error " +
         std::to_string(failure) + ")";
}

}  // namespace gridflip
