#include "common/syscall.hpp"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "common/messages.hpp"

namespace tavolin::sys {

Result<UniqueFd> open(const std::string& path, int flags, Interrupt& interrupt, mode_t mode) {
  if (path.find('\0') != std::string::npos) {
    return std::unexpected(Failure::io(messages::kPathNul));
  }
  const int fd =
      TAVOLIN_TRY(retry(interrupt, [&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); }));
  return UniqueFd(fd);
}

Result<struct ::stat> fstat(int fd) {
  struct ::stat st {};
  if (::fstat(fd, &st) != 0) return std::unexpected(Failure::from_errno(errno));
  return st;
}

Result<struct ::stat> lstat(const std::string& path) {
  struct ::stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::unexpected(Failure::from_errno(errno));
  return st;
}

Result<std::size_t> read_at(int fd, std::uint64_t offset,
                              std::span<const std::span<std::uint8_t>> parts,
                              Interrupt& interrupt) {
  constexpr std::size_t kMaxParts = 8;
  std::size_t total = 0;
  std::size_t part = 0;       // first part not yet filled
  std::size_t part_done = 0;  // bytes already in parts[part]
  while (part < parts.size()) {
    iovec vec[kMaxParts];
    int count = 0;
    for (std::size_t i = part; i < parts.size() && count < static_cast<int>(kMaxParts); ++i) {
      const std::size_t skip = (i == part) ? part_done : 0;
      if (parts[i].size() == skip) continue;
      vec[count].iov_base = parts[i].data() + skip;
      vec[count].iov_len = parts[i].size() - skip;
      ++count;
    }
    if (count == 0) break;
    if (offset > static_cast<std::uint64_t>(LLONG_MAX) - total) {
      return std::unexpected(Failure::from_errno(EINVAL));
    }
    const auto at = static_cast<off_t>(offset + total);
    const auto got =
        static_cast<std::size_t>(TAVOLIN_TRY(retry(interrupt, [&] { return ::preadv(fd, vec, count, at); })));
    if (got == 0) break;  // end of data
    total += got;
    std::size_t left = got;
    while (left > 0 && part < parts.size()) {
      const std::size_t room = parts[part].size() - part_done;
      if (left < room) {
        part_done += left;
        left = 0;
      } else {
        left -= room;
        ++part;
        part_done = 0;
      }
    }
    while (part < parts.size() && parts[part].size() == part_done) {
      ++part;
      part_done = 0;
    }
  }
  return total;
}

Reader::Reader(int fd, std::size_t capacity, Interrupt& interrupt, Source source,
               std::uint64_t offset)
    : fd_(fd),
      interrupt_(&interrupt),
      source_(source),
      offset_(offset),
      capacity_(std::max<std::size_t>(capacity, 1)),
      buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(capacity_)) {}

Result<std::size_t> Reader::fetch(std::span<std::uint8_t> out) {
  if (known_end()) return std::size_t{0};
  const std::size_t want = std::min<std::size_t>(out.size(), SSIZE_MAX);
  std::size_t got = 0;
  if (source_ == Source::sequential) {
    got = static_cast<std::size_t>(
        TAVOLIN_TRY(retry(*interrupt_, [&] { return ::read(fd_, out.data(), want); })));
  } else {
    if (offset_ > static_cast<std::uint64_t>(LLONG_MAX)) {
      return std::unexpected(Failure::from_errno(EINVAL));
    }
    const auto at = static_cast<off_t>(offset_);
    got = static_cast<std::size_t>(
        TAVOLIN_TRY(retry(*interrupt_, [&] { return ::pread(fd_, out.data(), want, at); })));
    offset_ += got;
  }
  fetched_ += got;
  last_short_ = got < want;
  return got;
}

Result<std::size_t> Reader::read(std::span<std::uint8_t> out) {
  if (out.empty()) return std::size_t{0};
  if (begin_ == end_) {
    begin_ = end_ = 0;
    if (out.size() >= capacity_) return fetch(out);
    end_ = TAVOLIN_TRY(fetch(std::span(buffer_.get(), capacity_)));
    if (end_ == 0) return std::size_t{0};
  }
  const std::size_t n = std::min(out.size(), end_ - begin_);
  std::memcpy(out.data(), buffer_.get() + begin_, n);
  begin_ += n;
  return n;
}

Result<std::span<const std::uint8_t>> Reader::peek(std::size_t count) {
  count = std::min(count, capacity_);
  if (end_ - begin_ < count && capacity_ - begin_ < count) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  while (end_ - begin_ < count) {
    const std::size_t got = TAVOLIN_TRY(fetch(std::span(buffer_.get() + end_, capacity_ - end_)));
    if (got == 0) break;
    end_ += got;
  }
  return std::span<const std::uint8_t>(buffer_.get() + begin_, end_ - begin_);
}

Result<std::span<const std::uint8_t>> Reader::next_block() {
  if (begin_ == end_) {
    begin_ = 0;
    end_ = TAVOLIN_TRY(fetch(std::span(buffer_.get(), capacity_)));
  }
  const std::span<const std::uint8_t> block(buffer_.get() + begin_, end_ - begin_);
  begin_ = end_;
  return block;
}

}  // namespace tavolin::sys
