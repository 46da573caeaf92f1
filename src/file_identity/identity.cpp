#include "file_identity/identity.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

#include "common/messages.hpp"
#include "common/openssl.hpp"
#include "common/text.hpp"
#include "common/syscall.hpp"
#include "common/unique_fd.hpp"
#include "encrypted_range/records.hpp"

namespace tavolin::file_identity {

namespace {

// SHA-256 over libcrypto's EVP, with the digest fetched once at load (the
// provider picks the processor's SHA instructions when it has them).
// Failures come back as values, like every other failure of the cores.
class Sha256 {
 public:
  static IoResult<Sha256> create() {
    OpenSslPtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
    if (!ctx) throw std::bad_alloc();
    const EVP_MD* md = encrypted_range::sha256_algorithm();
    if (md == nullptr) return std::unexpected(failure(messages::SHA256_UNAVAILABLE));
    if (EVP_DigestInit_ex2(ctx.get(), md, nullptr) != 1) {
      return std::unexpected(failure(messages::SHA256_INIT));
    }
    return Sha256(std::move(ctx));
  }

  IoResult<void> update(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()) == 1) return {};
    return std::unexpected(failure(messages::SHA256_UPDATE));
  }

  IoResult<std::string> hex_digest() {
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> out{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), out.data(), &length) != 1 || length != 32) {
      return std::unexpected(failure(messages::SHA256_FINAL));
    }
    return to_hex(std::span<const std::uint8_t>(out.data(), length));
  }

 private:
  explicit Sha256(OpenSslPtr<EVP_MD_CTX> ctx) : ctx_(std::move(ctx)) {}
  static IoFailure failure(std::string_view message) {
    return IoFailure{IoKind::other, 0, std::string(message)};
  }

  OpenSslPtr<EVP_MD_CTX> ctx_;
};

std::string with_path(std::string_view message, std::string_view path) {
  std::string text(message);
  text.append(render_path(path));
  return text;
}

// Hashes every byte the reader has left, a buffer (one read) at a time.
IoResult<void> hash_plain(sys::Reader& reader, Sha256& sha, Interrupt& interrupt) {
  for (;;) {
    if (interrupt.stop_between_steps()) return std::unexpected(interrupted_failure());
    const auto block = TAVOLIN_TRY(reader.next_block());
    if (block.empty()) return {};
    TAVOLIN_TRY(sha.update(block));
  }
}

// Hashes the plaintext of every record; `reader` is at the start of the
// file, which held `file_size` bytes when it was opened.
IoResult<void> hash_container(sys::Reader& reader, std::uint64_t file_size,
                              std::span<const SecretBytes> master_keys, Sha256& sha,
                              Interrupt& interrupt) {
  const auto prefix = TAVOLIN_TRY(encrypted_range::read_container_prefix(reader));
  const auto key = TAVOLIN_TRY(encrypted_range::unwrap_data_key_any(master_keys, prefix.header));
  auto opener = TAVOLIN_TRY(encrypted_range::ChunkOpener::create(key, prefix));  // once per file
  encrypted_range::RecordCursor records(reader, prefix, opener, file_size);
  SecretBytes record;  // one record at a time, wiped when the walk ends
  for (;;) {
    if (interrupt.stop_between_steps()) return std::unexpected(interrupted_failure());
    const auto plain = TAVOLIN_TRY(records.next(record));
    if (!plain) return {};  // the payload ends exactly after a record
    TAVOLIN_TRY(sha.update(*plain));
  }
}

}  // namespace

IdentitySnapshot IdentitySnapshot::of(const struct ::stat& st) {
  return IdentitySnapshot{
      static_cast<std::uint64_t>(st.st_dev),
      static_cast<std::uint64_t>(st.st_ino),
      static_cast<std::uint64_t>(st.st_size),
      static_cast<__int128>(st.st_mtim.tv_sec) * 1'000'000'000 +
          static_cast<__int128>(st.st_mtim.tv_nsec),
  };
}

IoResult<StableIdentity> derive_stable_identity(std::string_view path, std::uint64_t chunk_size,
                                                std::span<const SecretBytes> master_keys,
                                                Interrupt& interrupt) {
  if (!chunk_size_accepted(chunk_size)) {
    throw std::invalid_argument("stable identity chunk_size outside 1..64 MiB");  // precondition
  }
  const std::string c_path(path);

  // O_NONBLOCK keeps the open from waiting for a writer on a FIFO (the
  // regular-file check then refuses it); reads of a regular file ignore it.
  const UniqueFd fd =
      TAVOLIN_TRY(sys::open(c_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, interrupt));
  // One fstat: the regular-file check and the opening snapshot.
  const auto opening_status = TAVOLIN_TRY(sys::fstat(fd.get()));
  if (!S_ISREG(opening_status.st_mode)) {
    return std::unexpected(
        IoFailure::invalid_input(with_path(messages::IDENTITY_NOT_REGULAR, path)));
  }
  const IdentitySnapshot opening = IdentitySnapshot::of(opening_status);

  // The magic comes from the first read of the content, which stays in the
  // buffer for the hashing: every byte is read once.
  sys::Reader reader(fd.get(),
                     std::max<std::size_t>(static_cast<std::size_t>(chunk_size),
                                           encrypted_range::CONTAINER_MAGIC.size()),
                     interrupt);
  reader.expect_size(opening.size);
  auto sha = TAVOLIN_TRY(Sha256::create());
  const auto front = TAVOLIN_TRY(reader.peek(encrypted_range::CONTAINER_MAGIC.size()));
  const auto& magic = encrypted_range::CONTAINER_MAGIC;
  const bool is_container = front.size() >= magic.size() &&
                            std::equal(magic.begin(), magic.end(), front.begin());
  auto hashed = is_container ? hash_container(reader, opening.size, master_keys, sha, interrupt)
                             : hash_plain(reader, sha, interrupt);
  if (!hashed) {
    // A record that reaches past the size seen at open is refused before any
    // buffer is sized by it. If the file has grown since, a writer appended
    // to it meanwhile: that is a change, not a damaged container.
    if (hashed.error().kind == IoKind::unexpected_eof) {
      const auto now = sys::fstat(fd.get());
      if (now && static_cast<std::uint64_t>(now->st_size) > opening.size) {
        return std::unexpected(
            IoFailure::invalid_data(with_path(messages::IDENTITY_CHANGED, path)));
      }
    }
    return std::unexpected(std::move(hashed.error()));
  }

  const auto closing_fd = TAVOLIN_TRY(sys::fstat(fd.get()));
  const auto closing_path = TAVOLIN_TRY(sys::lstat(c_path));
  if (!S_ISREG(closing_path.st_mode) || IdentitySnapshot::of(closing_fd) != opening ||
      IdentitySnapshot::of(closing_path) != opening) {
    return std::unexpected(IoFailure::invalid_data(with_path(messages::IDENTITY_CHANGED, path)));
  }
  return StableIdentity{opening.size, opening.mtime_ns, TAVOLIN_TRY(sha.hex_digest())};
}

}  // namespace tavolin::file_identity
