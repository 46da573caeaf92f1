// The libcrypto algorithms the module uses, fetched once per process, and
// SHA-256 over them.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/failure.hpp"
#include "common/openssl.hpp"

namespace tavolin {

// Fetches the libcrypto algorithms the module uses (AES-GCM for 16, 24 and
// 32-byte keys, SHA-256) once per process. Called at module initialisation,
// with the interpreter lock held, and by the native test and fuzz set-ups:
// no call ever fetches lazily, so a fork by another thread never meets a
// fetch in progress. Until it has run, and for an algorithm libcrypto does
// not provide, the operations that need it fail ("... is unavailable").
void load_algorithms();

// AES-GCM for a key of `key_length` bytes (16, 24 or 32), as loaded by
// load_algorithms() (nullptr before, for another length, or if libcrypto
// has none).
const EVP_CIPHER* aes_gcm_algorithm(std::size_t key_length);

// The SHA-256 digest loaded by load_algorithms() (nullptr before, or if
// libcrypto has none).
const EVP_MD* sha256_algorithm();

// SHA-256 over libcrypto's EVP, with the digest fetched once at load (the
// provider picks the processor's SHA instructions when it has them).
// Failures come back as values, like every other failure of the cores.
class Sha256 {
 public:
  static Result<Sha256> create();
  Result<void> update(std::span<const std::uint8_t> bytes);
  Result<std::string> hex_digest();

 private:
  explicit Sha256(OpenSslPtr<EVP_MD_CTX> ctx) : ctx_(std::move(ctx)) {}
  static Failure failure(std::string_view message);

  OpenSslPtr<EVP_MD_CTX> ctx_;
};

}  // namespace tavolin
