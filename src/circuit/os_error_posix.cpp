// POSIX errno values described: their kinds, and the C library's messages.
#include "circuit/os_error.hpp"

#include "report/report.hpp"

#include <cerrno>

namespace gridflip {

ErrorKind os_error_kind(int code) noexcept {
  switch (code) {
    case ENOENT:
      return ErrorKind::NotFound;
    case EACCES:
    case EPERM:
      return ErrorKind::PermissionDenied;
    case ECONNREFUSED:
      return ErrorKind::ConnectionRefused;
    case ECONNRESET:
      return ErrorKind::ConnectionReset;
    case EHOSTUNREACH:
      return ErrorKind::HostUnreachable;
    case ENETUNREACH:
      return ErrorKind::NetworkUnreachable;
    case ECONNABORTED:
      return ErrorKind::ConnectionAborted;
    case ENOTCONN:
      return ErrorKind::NotConnected;
    case EADDRINUSE:
      return ErrorKind::AddrInUse;
    case EADDRNOTAVAIL:
      return ErrorKind::AddrNotAvailable;
    case ENETDOWN:
      return ErrorKind::NetworkDown;
    case EPIPE:
      return ErrorKind::BrokenPipe;
    case EEXIST:
      return ErrorKind::AlreadyExists;
    case EAGAIN:
      return ErrorKind::WouldBlock;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
      return ErrorKind::WouldBlock;
#endif
    case ENOTDIR:
      return ErrorKind::NotADirectory;
    case EISDIR:
      return ErrorKind::IsADirectory;
    case ENOTEMPTY:
      return ErrorKind::DirectoryNotEmpty;
    case EROFS:
      return ErrorKind::ReadOnlyFilesystem;
    case ELOOP:
      return ErrorKind::FilesystemLoop;
    case ESTALE:
      return ErrorKind::StaleNetworkFileHandle;
    case EINVAL:
      return ErrorKind::InvalidInput;
    case ETIMEDOUT:
      return ErrorKind::TimedOut;
    case ENOSPC:
      return ErrorKind::StorageFull;
    case ESPIPE:
      return ErrorKind::NotSeekable;
    case EDQUOT:
      return ErrorKind::QuotaExceeded;
    case EFBIG:
      return ErrorKind::FileTooLarge;
    case EBUSY:
      return ErrorKind::ResourceBusy;
    case ETXTBSY:
      return ErrorKind::ExecutableFileBusy;
    case EDEADLK:
      return ErrorKind::Deadlock;
    case EXDEV:
      return ErrorKind::CrossesDevices;
    case EMLINK:
      return ErrorKind::TooManyLinks;
    case ENAMETOOLONG:
      return ErrorKind::InvalidFilename;
    case E2BIG:
      return ErrorKind::ArgumentListTooLong;
    case EINTR:
      return ErrorKind::Interrupted;
    case ENOSYS:
    case EOPNOTSUPP:
      return ErrorKind::Unsupported;
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
      return ErrorKind::Unsupported;
#endif
    case ENOMEM:
      return ErrorKind::OutOfMemory;
    case EINPROGRESS:
      return ErrorKind::InProgress;
    default:
      return ErrorKind::Uncategorized;
  }
}

std::string os_error_message(int code) {
  char buffer[1024];
  int failure = 0;
  if (const char* text = describe_system_error(code, buffer, failure)) return std::string(text);
  return "OS Error " + std::to_string(code) + " (strerror_r() returned error " +
         std::to_string(failure) + ")";
}

}  // namespace gridflip
