#include "container/detection.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

#include "common/messages.hpp"
#include "container/format.hpp"
#include "common/syscall.hpp"

namespace tavolin::container {

std::string_view token(EncryptionStatus status) {
  return status == EncryptionStatus::encrypted ? "encrypted" : "plaintext";
}

bool has_container_magic(std::span<const std::uint8_t> head) {
  return head.size() >= kContainerMagic.size() &&
         std::equal(kContainerMagic.begin(), kContainerMagic.end(), head.begin());
}

Result<EncryptionStatus> probe_container_magic(const std::string& path) {
  NoInterrupt retry_always;
  const auto file = TAVOLIN_TRY(sys::open(path, O_RDONLY | O_NONBLOCK, retry_always));
  const auto st = TAVOLIN_TRY(sys::fstat(file.get()));
  if (!S_ISREG(st.st_mode)) {
    return std::unexpected(Failure::io(messages::kProbeNotRegular));
  }

  // Up to 8 bytes; the end of the file before them means plaintext. The
  // descriptor is this call's own, so its position needs no restoring.
  sys::Reader reader(file.get(), kContainerMagic.size(), retry_always);
  reader.expect_size(static_cast<std::uint64_t>(st.st_size));
  const auto head = TAVOLIN_TRY(reader.peek(kContainerMagic.size()));
  return has_container_magic(head) ? EncryptionStatus::encrypted : EncryptionStatus::plaintext;
}

}  // namespace tavolin::container
