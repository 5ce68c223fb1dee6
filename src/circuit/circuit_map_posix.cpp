// POSIX calls of the circuit file mapping: open, statx, fstatvfs, mmap, msync, fsync, munmap.
#include "circuit/circuit_map.hpp"

#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace gridflip {
namespace {

// Descriptors 0, 1 and 2 belong to the standard streams even while closed.
constexpr int lowest_private_fd = 3;

// A close-on-exec duplicate at lowest_private_fd or above; -1 with errno set on failure.
int duplicate_private(int fd) noexcept {
  const int duplicate = ::fcntl(fd, F_DUPFD_CLOEXEC, lowest_private_fd);
  // The system gives EINVAL when the lowest number asked for is at or above the process's
  // descriptor limit: the process has too many open files for one more.
  if (duplicate < 0 && errno == EINVAL) errno = EMFILE;
  return duplicate;
}

// The file's type and length, through its descriptor. statx rather than fstat: the C library
// has had it since 2.28, while the fstat symbol it exports to new programs dates from 2.33 and
// would need that version.
IoResult<struct statx> describe_file(int fd) {
  struct statx info;
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_SIZE, &info) != 0) {
    return IoError::from_os(errno);
  }
  return info;
}

}  // namespace

// Not static: the tests check it with the limit of a 32-bit build.
IoStatus check_map_length(std::uintmax_t length, std::uintmax_t largest) {
  if (length <= largest) return success;
  return IoError::custom(ErrorKind::InvalidData, "memory map length overflows isize");
}

IoResult<UniqueFd> open_circuit(TerminatedPath path) {
  // The system would stop at the first NUL and open a different file.
  if (path.bytes().find('\0') != std::string_view::npos) {
    return IoError::simple(ErrorKind::InvalidInput, "strings passed to WinAPI cannot contain NULs");
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return IoError::from_os(errno);

  UniqueFd file(fd);
  if (fd < lowest_private_fd) {
    // A caller that closed a standard stream gets its number back from open; the
    // abort report of a later failure would then be written into the circuit file.
    const int moved = duplicate_private(fd);
    if (moved < 0) {
      const int code = errno;
      file.close();
      return IoError::from_os(code);
    }
    file = UniqueFd(moved);
  }
  return file;
}

IoResult<CircuitMap> map_circuit(const UniqueFd& file, ViewUse use) {
  IoResult<struct statx> described = describe_file(file.get());
  if (!described.ok()) return std::move(described.error());
  const struct statx& info = described.value();
  // Only a regular file's size is its length; a device, pipe or socket would pass
  // as an empty file. Such files get the error mmap gives for a file it cannot map.
  if (!S_ISREG(info.stx_mode)) return IoError::from_os(ENODEV);

  const auto size = static_cast<std::uintmax_t>(info.stx_size);
  if (IoStatus fits = check_map_length(size, std::numeric_limits<std::ptrdiff_t>::max());
      !fits.ok()) {
    return std::move(fits.error());
  }
  const auto length = static_cast<std::size_t>(size);
  // The system refuses to map nothing; an empty file still maps.
  if (length == 0) return CircuitMap();

  const int populate = use == ViewUse::read_whole ? MAP_POPULATE : 0;
  void* const view =
      ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | populate, file.get(), 0);
  if (view == MAP_FAILED) return IoError::from_os(errno);

  // The map flushes and lives through its own descriptor, so the caller may close theirs.
  UniqueFd kept(duplicate_private(file.get()));
  if (!kept.is_open()) {
    const int code = errno;
    (void)::munmap(view, length);
    return IoError::from_os(code);
  }
  return CircuitMap(std::move(kept), static_cast<std::uint8_t*>(view), length);
}

IoResult<std::uintmax_t> current_file_length(const CircuitMap& map) {
  if (map.is_empty()) return std::uintmax_t{0};
  IoResult<struct statx> described = describe_file(map.kept_handle().get());
  if (!described.ok()) return std::move(described.error());
  return static_cast<std::uintmax_t>(described.value().stx_size);
}

IoResult<bool> file_system_full(const CircuitMap& map) {
  if (map.is_empty()) return false;
  struct statvfs info;
  if (::fstatvfs(map.kept_handle().get(), &info) != 0) return IoError::from_os(errno);
  return info.f_bavail == 0;
}

IoStatus flush_circuit(const CircuitMap& map) {
  if (map.is_empty()) return success;
  if (::msync(map.base(), map.length(), MS_SYNC) != 0) return IoError::from_os(errno);
  if (::fsync(map.kept_handle().get()) != 0) return IoError::from_os(errno);
  return success;
}

void unmap_circuit(CircuitMap& map) noexcept {
  if (map.is_empty()) return;
  // The map is the empty map before anything is released, so nothing is released twice.
  void* const base = std::exchange(map.base_, CircuitMap::empty_marker());
  const std::size_t length = std::exchange(map.length_, 0);
  UniqueFd kept = std::move(map.kept_handle_);
  (void)::munmap(base, length);
  kept.close();
}

}  // namespace gridflip
