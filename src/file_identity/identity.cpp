#include "file_identity/identity.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "common/text.hpp"
#include "common/unique_fd.hpp"

namespace tavolin::file_identity {

namespace {

constexpr std::string_view kNotRegular = "stable identity source is not a regular file: ";
constexpr std::string_view kChanged =
    "file changed or was replaced while deriving stable identity: ";
constexpr std::string_view kGeometry = "encrypted chunk length does not match chunk geometry";

class Sha256 {
 public:
  Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (ctx_ == nullptr) throw std::bad_alloc();
    // Fetched once at load (the provider picks the processor's SHA
    // instructions when it has them).
    const EVP_MD* md = encrypted_range::sha256_algorithm();
    if (md == nullptr) {
      EVP_MD_CTX_free(ctx_);
      throw std::runtime_error("SHA-256 is not available from libcrypto");
    }
    if (EVP_DigestInit_ex2(ctx_, md, nullptr) != 1) {
      EVP_MD_CTX_free(ctx_);
      throw std::runtime_error("SHA-256 initialisation failed");
    }
  }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256() { EVP_MD_CTX_free(ctx_); }

  void update(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    if (EVP_DigestUpdate(ctx_, bytes.data(), bytes.size()) != 1) {
      throw std::runtime_error("SHA-256 update failed");
    }
  }

  std::string hex_digest() {
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> out{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx_, out.data(), &length) != 1 || length != 32) {
      throw std::runtime_error("SHA-256 finalisation failed");
    }
    return to_hex(std::span<const std::uint8_t>(out.data(), length));
  }

 private:
  EVP_MD_CTX* ctx_;
};

std::string with_path(std::string_view message, std::string_view path) {
  std::string text(message);
  text.append(render_path(path));
  return text;
}

IoResult<struct ::stat> fstat_of(int fd) {
  struct ::stat st {};
  if (::fstat(fd, &st) != 0) return std::unexpected(IoFailure::from_errno(errno));
  return st;
}

IoResult<int> open_no_follow(const std::string& path, Interrupt& interrupt) {
  // O_NONBLOCK keeps the open from waiting for a writer on a FIFO (the
  // regular-file check then refuses it); reads of a regular file ignore it.
  for (;;) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) return fd;
    if (errno != EINTR) return std::unexpected(IoFailure::from_errno(errno));
    if (interrupt.should_stop(true)) return std::unexpected(interrupted_failure());
  }
}

// Hashes every byte from the current offset to the end, in requests of the
// whole buffer.
IoResult<void> hash_plain(int fd, std::span<std::uint8_t> buffer, Sha256& sha,
                          Interrupt& interrupt) {
  for (;;) {
    if (interrupt.should_stop(false)) return std::unexpected(interrupted_failure());
    auto n = read_retrying(fd, buffer, interrupt);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return {};
    sha.update(buffer.first(*n));
  }
}

// Hashes the plaintext of every record; `reader` is at the start of the
// file, which held `file_size` bytes when it was opened.
IoResult<void> hash_container(FdReader& reader, std::uint64_t file_size,
                              std::span<const Bytes> master_keys, Sha256& sha,
                              Interrupt& interrupt) {
  auto prefix = encrypted_range::read_container_prefix(reader);
  if (!prefix) return std::unexpected(prefix.error());
  auto key = encrypted_range::unwrap_data_key_any(master_keys, prefix->header);
  if (!key) return std::unexpected(key.error());

  auto opener = encrypted_range::ChunkOpener::create(*key, *prefix);  // keyed once per file
  if (!opener) return std::unexpected(opener.error());

  const std::uint64_t full = prefix->header.chunk_size + encrypted_range::GCM_TAG_LENGTH;
  std::uint64_t offset = prefix->payload_offset;  // of the next record
  Bytes sealed;  // one record at a time; its plaintext is wiped when the walk ends
  const encrypted_range::WipedOnExit wipe_on_exit(sealed);
  bool short_before = false;
  for (std::uint64_t index = 0;; ++index) {
    if (interrupt.should_stop(false)) return std::unexpected(interrupted_failure());
    std::array<std::uint8_t, 4> length_field{};
    auto first = reader.read(std::span(length_field).first(1));
    if (!first) return std::unexpected(first.error());
    if (*first == 0) return {};  // the payload ends exactly after a record
    auto rest = encrypted_range::read_exact(reader, std::span(length_field).subspan(1));
    if (!rest) return std::unexpected(rest.error());
    const std::uint32_t sealed_length =
        (std::uint32_t{length_field[0]} << 24) | (std::uint32_t{length_field[1]} << 16) |
        (std::uint32_t{length_field[2]} << 8) | std::uint32_t{length_field[3]};
    if (sealed_length <= encrypted_range::GCM_TAG_LENGTH || short_before || sealed_length > full) {
      return std::unexpected(IoFailure::invalid_data(std::string(kGeometry)));
    }
    short_before = sealed_length < full;
    // A length field may claim more than the file still holds: that read
    // would come up short, so fail as it would before sizing a buffer by it.
    offset += sizeof length_field;
    if (offset > file_size || sealed_length > file_size - offset) {
      return std::unexpected(IoFailure::unexpected_eof());
    }
    offset += sealed_length;

    sealed.resize(sealed_length);  // never above the first record's size: no reallocation
    auto body = encrypted_range::read_exact(reader, sealed);
    if (!body) return std::unexpected(body.error());
    const std::size_t length = sealed_length - encrypted_range::GCM_TAG_LENGTH;
    const std::span<std::uint8_t> plain(sealed.data(), length);
    auto opened = opener->open_in_place(
        index, plain,
        std::span<const std::uint8_t, encrypted_range::GCM_TAG_LENGTH>(sealed.data() + length,
                                                                 encrypted_range::GCM_TAG_LENGTH));
    if (!opened) return std::unexpected(opened.error());
    sha.update(plain);
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

IoResult<std::size_t> read_retrying(int fd, std::span<std::uint8_t> out, Interrupt& interrupt) {
  for (;;) {
    const ssize_t n = ::read(fd, out.data(), out.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return std::unexpected(IoFailure::from_errno(errno));
    if (interrupt.should_stop(true)) return std::unexpected(interrupted_failure());
  }
}

FdReader::FdReader(int fd, std::size_t capacity, Interrupt& interrupt)
    : fd_(fd),
      interrupt_(&interrupt),
      capacity_(capacity),
      buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(capacity)) {}

IoResult<std::size_t> FdReader::read(std::span<std::uint8_t> out) {
  if (out.empty()) return std::size_t{0};
  if (begin_ == end_) {
    if (out.size() >= capacity_) return read_retrying(fd_, out, *interrupt_);
    auto filled = read_retrying(fd_, std::span(buffer_.get(), capacity_), *interrupt_);
    if (!filled) return std::unexpected(filled.error());
    begin_ = 0;
    end_ = *filled;
    if (end_ == 0) return std::size_t{0};
  }
  const std::size_t n = std::min(out.size(), end_ - begin_);
  std::memcpy(out.data(), buffer_.get() + begin_, n);
  begin_ += n;
  return n;
}

IoResult<StableIdentity> derive_stable_identity(std::string_view path, std::uint64_t chunk_size,
                                                std::span<const Bytes> master_keys,
                                                Interrupt& interrupt) {
  if (!chunk_size_accepted(chunk_size)) {
    return std::unexpected(IoFailure::invalid_input(std::string(CHUNK_SIZE_MESSAGE)));
  }
  if (path.find('\0') != std::string_view::npos) {
    return std::unexpected(IoFailure::invalid_input("path contains a NUL byte"));
  }
  const std::string c_path(path);

  auto opened = open_no_follow(c_path, interrupt);
  if (!opened) return std::unexpected(opened.error());
  const UniqueFd fd(*opened);

  auto type_status = fstat_of(fd.get());
  if (!type_status) return std::unexpected(type_status.error());
  if (!S_ISREG(type_status->st_mode)) {
    return std::unexpected(IoFailure::invalid_input(with_path(kNotRegular, path)));
  }
  auto opening_status = fstat_of(fd.get());
  if (!opening_status) return std::unexpected(opening_status.error());
  const IdentitySnapshot opening = IdentitySnapshot::of(*opening_status);

  FdReader reader(fd.get(), static_cast<std::size_t>(chunk_size), interrupt);
  Sha256 sha;

  std::array<std::uint8_t, encrypted_range::CONTAINER_MAGIC.size()> magic{};
  bool is_container = false;
  if (auto probe = encrypted_range::read_exact(reader, magic); probe) {
    is_container = magic == encrypted_range::CONTAINER_MAGIC;
  } else if (probe.error().kind != IoKind::unexpected_eof) {
    return std::unexpected(probe.error());
  }
  if (::lseek(fd.get(), 0, SEEK_SET) < 0) return std::unexpected(IoFailure::from_errno(errno));
  reader.discard();

  auto hashed = is_container ? hash_container(reader, opening.size, master_keys, sha, interrupt)
                             : hash_plain(fd.get(), reader.storage(), sha, interrupt);
  if (!hashed) return std::unexpected(hashed.error());

  auto closing_fd = fstat_of(fd.get());
  if (!closing_fd) return std::unexpected(closing_fd.error());
  struct ::stat closing_path {};
  if (::lstat(c_path.c_str(), &closing_path) != 0) {
    return std::unexpected(IoFailure::from_errno(errno));
  }
  if (!S_ISREG(closing_path.st_mode) || IdentitySnapshot::of(*closing_fd) != opening ||
      IdentitySnapshot::of(closing_path) != opening) {
    return std::unexpected(IoFailure::invalid_data(with_path(kChanged, path)));
  }

  return StableIdentity{opening.size, opening.mtime_ns, sha.hex_digest()};
}

}  // namespace tavolin::file_identity
