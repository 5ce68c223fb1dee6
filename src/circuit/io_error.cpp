// The names of the I/O error kinds.
#include "circuit/io_error.hpp"

namespace gridflip {

std::string_view kind_name(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::NotFound:
      return "NotFound";
    case ErrorKind::PermissionDenied:
      return "PermissionDenied";
    case ErrorKind::ConnectionRefused:
      return "ConnectionRefused";
    case ErrorKind::ConnectionReset:
      return "ConnectionReset";
    case ErrorKind::HostUnreachable:
      return "HostUnreachable";
    case ErrorKind::NetworkUnreachable:
      return "NetworkUnreachable";
    case ErrorKind::ConnectionAborted:
      return "ConnectionAborted";
    case ErrorKind::NotConnected:
      return "NotConnected";
    case ErrorKind::AddrInUse:
      return "AddrInUse";
    case ErrorKind::AddrNotAvailable:
      return "AddrNotAvailable";
    case ErrorKind::NetworkDown:
      return "NetworkDown";
    case ErrorKind::BrokenPipe:
      return "BrokenPipe";
    case ErrorKind::AlreadyExists:
      return "AlreadyExists";
    case ErrorKind::WouldBlock:
      return "WouldBlock";
    case ErrorKind::NotADirectory:
      return "NotADirectory";
    case ErrorKind::IsADirectory:
      return "IsADirectory";
    case ErrorKind::DirectoryNotEmpty:
      return "DirectoryNotEmpty";
    case ErrorKind::ReadOnlyFilesystem:
      return "ReadOnlyFilesystem";
    case ErrorKind::FilesystemLoop:
      return "FilesystemLoop";
    case ErrorKind::StaleNetworkFileHandle:
      return "StaleNetworkFileHandle";
    case ErrorKind::InvalidInput:
      return "InvalidInput";
    case ErrorKind::InvalidData:
      return "InvalidData";
    case ErrorKind::TimedOut:
      return "TimedOut";
    case ErrorKind::WriteZero:
      return "WriteZero";
    case ErrorKind::StorageFull:
      return "StorageFull";
    case ErrorKind::NotSeekable:
      return "NotSeekable";
    case ErrorKind::QuotaExceeded:
      return "QuotaExceeded";
    case ErrorKind::FileTooLarge:
      return "FileTooLarge";
    case ErrorKind::ResourceBusy:
      return "ResourceBusy";
    case ErrorKind::ExecutableFileBusy:
      return "ExecutableFileBusy";
    case ErrorKind::Deadlock:
      return "Deadlock";
    case ErrorKind::CrossesDevices:
      return "CrossesDevices";
    case ErrorKind::TooManyLinks:
      return "TooManyLinks";
    case ErrorKind::InvalidFilename:
      return "InvalidFilename";
    case ErrorKind::ArgumentListTooLong:
      return "ArgumentListTooLong";
    case ErrorKind::Interrupted:
      return "Interrupted";
    case ErrorKind::Unsupported:
      return "Unsupported";
    case ErrorKind::UnexpectedEof:
      return "UnexpectedEof";
    case ErrorKind::OutOfMemory:
      return "OutOfMemory";
    case ErrorKind::InProgress:
      return "InProgress";
    case ErrorKind::Other:
      return "Other";
    case ErrorKind::Uncategorized:
      return "Uncategorized";
  }
  return "Uncategorized";
}

}  // namespace gridflip
