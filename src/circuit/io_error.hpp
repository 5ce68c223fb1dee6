// The error value of the circuit file and mapping operations, and the result that carries it.
// Nothing here aborts; only IoError::custom can throw (allocation).
#pragma once

#include "base/result.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace gridflip {

// Kinds of I/O error, in the order their names are listed.
enum class ErrorKind : std::uint8_t {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  HostUnreachable,
  NetworkUnreachable,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  NetworkDown,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  FilesystemLoop,
  StaleNetworkFileHandle,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  StorageFull,
  NotSeekable,
  QuotaExceeded,
  FileTooLarge,
  ResourceBusy,
  ExecutableFileBusy,
  Deadlock,
  CrossesDevices,
  TooManyLinks,
  InvalidFilename,
  ArgumentListTooLong,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  InProgress,
  Other,
  Uncategorized,
};

// The kind's name as rendered ("NotFound"). Never fails.
std::string_view kind_name(ErrorKind kind) noexcept;

// One of three forms: an OS error number, a kind with a fixed message in constant
// storage, or a kind with an owned message.
class IoError {
 public:
  enum class Form : std::uint8_t { os, simple, custom };

  // `code` is the errno of the failing call, read before any clean-up runs.
  static IoError from_os(int code) noexcept {
    return IoError(Form::os, code, ErrorKind::Other, {});
  }
  static IoError simple(ErrorKind kind, const char* fixed_message) noexcept {
    return IoError(Form::simple, 0, kind, fixed_message);
  }
  static IoError custom(ErrorKind kind, std::string message) {
    IoError error(Form::custom, 0, kind, {});
    error.owned_ = std::move(message);
    return error;
  }

  Form form() const noexcept { return form_; }
  // The OS error number; 0 unless form() is os.
  int os_code() const noexcept { return code_; }
  // The kind of a simple or custom error; an OS error's kind comes from its number.
  ErrorKind kind() const noexcept { return kind_; }
  // The message of a simple or custom error; empty for an OS error.
  std::string_view message() const noexcept {
    return form_ == Form::custom ? std::string_view(owned_) : fixed_;
  }

 private:
  IoError(Form form, int code, ErrorKind kind, std::string_view fixed) noexcept
      : form_(form), kind_(kind), code_(code), fixed_(fixed) {}

  Form form_;
  ErrorKind kind_;
  int code_;
  std::string_view fixed_;
  std::string owned_;
};

// A value or the IoError that took its place; success or an IoError.
template <class T>
using IoResult = Result<T, IoError>;
using IoStatus = Status<IoError>;

}  // namespace gridflip
