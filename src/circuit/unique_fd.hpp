// An owned file descriptor: move-only, -1 when closed, closed by its destructor.
// Nothing here fails: closing ignores the system's result, as every release does.
#pragma once

#include <utility>

namespace gridflip {

// The platform's close, result ignored (unique_fd_posix.cpp).
void close_descriptor(int fd) noexcept;

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { close(); }

  int get() const noexcept { return fd_; }
  bool is_open() const noexcept { return fd_ >= 0; }

  // Gives up ownership without closing.
  int release() noexcept { return std::exchange(fd_, -1); }

  // The field is reset before the descriptor is closed, so no path closes it twice.
  void close() noexcept {
    const int fd = std::exchange(fd_, -1);
    if (fd >= 0) close_descriptor(fd);
  }

 private:
  int fd_ = -1;
};

}  // namespace gridflip
