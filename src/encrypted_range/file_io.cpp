#include "encrypted_range/file_io.hpp"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "common/messages.hpp"

namespace tavolin::encrypted_range {

IoResult<UniqueFd> open_file(const std::string& path, int flags) {
  if (path.find('\0') != std::string::npos) {
    return std::unexpected(IoFailure::invalid_input(std::string(messages::PATH_NUL)));
  }
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(IoFailure::from_errno(errno));
  return UniqueFd(fd);
}

IoResult<std::size_t> FdSource::read(std::span<std::uint8_t> buffer) {
  const std::size_t want = std::min<std::size_t>(buffer.size(), SSIZE_MAX);
  for (;;) {
    const ssize_t got = ::read(fd_, buffer.data(), want);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return std::unexpected(IoFailure::from_errno(errno));
  }
}

IoResult<std::size_t> FdRandomAccess::read_at(std::uint64_t offset,
                                              std::span<const std::span<std::uint8_t>> parts) {
  constexpr std::size_t kMaxParts = 8;
  std::size_t total = 0;
  std::size_t part = 0;      // first part not yet filled
  std::size_t part_done = 0; // bytes already in parts[part]
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
      return std::unexpected(IoFailure::from_errno(EINVAL));
    }
    const ssize_t got = ::preadv(fd_, vec, count, static_cast<off_t>(offset + total));
    if (got < 0) {
      if (errno != EINTR) return std::unexpected(IoFailure::from_errno(errno));
      if (interrupt_ != nullptr && interrupt_->should_stop(true)) {
        return std::unexpected(interrupted_failure());
      }
      continue;
    }
    if (got == 0) break;  // end of data
    total += static_cast<std::size_t>(got);
    std::size_t left = static_cast<std::size_t>(got);
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

IoResult<void> read_exact_at(RandomAccessSource& source, std::uint64_t offset,
                             std::span<std::uint8_t> buffer) {
  const std::span<std::uint8_t> parts[1] = {buffer};
  const auto got = TAVOLIN_TRY(source.read_at(offset, parts));
  if (got != buffer.size()) return std::unexpected(IoFailure::unexpected_eof());
  return {};
}

}  // namespace tavolin::encrypted_range
