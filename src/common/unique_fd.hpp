// The one owner of an open descriptor: closed when released, on every path.
#pragma once

#include <unistd.h>

#include <utility>

namespace tavolin {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      (void)close();
      fd_ = other.release();
    }
    return *this;
  }
  ~UniqueFd() { (void)close(); }

  [[nodiscard]] int get() const noexcept { return fd_; }
  [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
  int release() noexcept { return std::exchange(fd_, -1); }

  // Closes now and returns close(2)'s result (0 when nothing was open); the
  // destructor then has nothing left to do.
  int close() noexcept {
    const int fd = release();
    return fd >= 0 ? ::close(fd) : 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace tavolin
