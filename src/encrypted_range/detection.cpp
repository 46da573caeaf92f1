#include "encrypted_range/detection.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "common/messages.hpp"
#include "encrypted_range/container.hpp"
#include "encrypted_range/file_io.hpp"

namespace tavolin::encrypted_range {

std::string_view token(EncryptionStatus status) {
  return status == EncryptionStatus::encrypted ? "encrypted" : "plaintext";
}

IoResult<EncryptionStatus> probe_container_magic(const std::string& path) {
  auto file = TAVOLIN_TRY(open_file(path, O_RDONLY | O_NONBLOCK));
  const int fd = file.get();

  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::unexpected(IoFailure::from_errno(errno));
  if (!S_ISREG(st.st_mode)) {
    return std::unexpected(IoFailure::invalid_input(std::string(messages::PROBE_NOT_REGULAR)));
  }

  // Up to 8 bytes; the end of the file before them means plaintext. The
  // descriptor is this call's own, so its position needs no restoring.
  std::array<std::uint8_t, CONTAINER_MAGIC.size()> head{};
  std::size_t filled = 0;
  FdSource source(fd);
  while (filled < head.size()) {
    const std::size_t got = TAVOLIN_TRY(source.read(std::span(head).subspan(filled)));
    if (got == 0) break;
    filled += got;
  }
  return (filled == head.size() && head == CONTAINER_MAGIC) ? EncryptionStatus::encrypted
                                                            : EncryptionStatus::plaintext;
}

}  // namespace tavolin::encrypted_range
