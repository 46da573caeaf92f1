#include "common/crypto.hpp"

#include <array>
#include <mutex>
#include <new>
#include <utility>

#include "common/messages.hpp"
#include "common/text.hpp"

namespace tavolin {
namespace {

// The algorithms, fetched once by load_algorithms() and kept for the life of
// the process. Written only inside the call_once; read afterwards.
const EVP_CIPHER* g_aes128_gcm = nullptr;
const EVP_CIPHER* g_aes192_gcm = nullptr;
const EVP_CIPHER* g_aes256_gcm = nullptr;
const EVP_MD* g_sha256 = nullptr;
std::once_flag g_algorithms_loaded;

}  // namespace

void load_algorithms() {
  std::call_once(g_algorithms_loaded, [] {
    g_aes128_gcm = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
    g_aes192_gcm = EVP_CIPHER_fetch(nullptr, "AES-192-GCM", nullptr);
    g_aes256_gcm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    g_sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  });
}

const EVP_CIPHER* aes_gcm_algorithm(std::size_t key_length) {
  switch (key_length) {
    case 16: return g_aes128_gcm;
    case 24: return g_aes192_gcm;
    case 32: return g_aes256_gcm;
    default: return nullptr;
  }
}

const EVP_MD* sha256_algorithm() { return g_sha256; }

Result<Sha256> Sha256::create() {
  OpenSslPtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (!ctx) throw std::bad_alloc();
  const EVP_MD* md = sha256_algorithm();
  if (md == nullptr) return std::unexpected(failure(messages::kSha256Unavailable));
  if (EVP_DigestInit_ex2(ctx.get(), md, nullptr) != 1) {
    return std::unexpected(failure(messages::kSha256Init));
  }
  return Sha256(std::move(ctx));
}

Result<void> Sha256::update(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()) == 1) return {};
  return std::unexpected(failure(messages::kSha256Update));
}

Result<std::string> Sha256::hex_digest() {
  std::array<std::uint8_t, EVP_MAX_MD_SIZE> out{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx_.get(), out.data(), &length) != 1 || length != 32) {
    return std::unexpected(failure(messages::kSha256Final));
  }
  return to_hex(std::span<const std::uint8_t>(out.data(), length));
}

Failure Sha256::failure(std::string_view message) {
  return Failure::io(message);
}

}  // namespace tavolin
