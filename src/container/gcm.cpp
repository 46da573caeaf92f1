// AES-GCM opening through libcrypto's EVP interface, the data key and its
// unwrapping, and chunk opening.
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <new>
#include <string_view>

#include "common/crypto.hpp"
#include "common/messages.hpp"
#include "container/gcm.hpp"

namespace tavolin::container {
namespace {

constexpr std::string_view kWrapLabel = "qv-annotate:dek-wrap:v1";
constexpr std::size_t kMaxUpdate = std::size_t{1} << 30;  // stays below INT_MAX per call

Failure authentication_failed() { return Failure::io(messages::kAuthenticationFailed); }
Failure cipher_unavailable() { return Failure::io(messages::kAesUnavailable); }

}  // namespace

// ---------------------------------------------------------------- GcmDecryptor

Result<GcmDecryptor> GcmDecryptor::create(std::span<const std::uint8_t> key) {
  if (key.size() != 16 && key.size() != 24 && key.size() != 32) {
    return std::unexpected(Failure::io(messages::kAesKeyLength));
  }
  const EVP_CIPHER* cipher = aes_gcm_algorithm(key.size());
  if (cipher == nullptr) {
    return std::unexpected(cipher_unavailable());
  }
  GcmDecryptor decryptor;
  decryptor.ctx_.reset(EVP_CIPHER_CTX_new());
  if (!decryptor.ctx_) throw std::bad_alloc();
  if (EVP_DecryptInit_ex2(decryptor.ctx_.get(), cipher, key.data(), nullptr, nullptr) != 1) {
    return std::unexpected(cipher_unavailable());
  }
  return decryptor;
}

Result<void> GcmDecryptor::begin(std::span<const std::uint8_t, kNonceLength> nonce,
                                   std::span<const std::uint8_t> associated_data) {
  EVP_CIPHER_CTX* ctx = ctx_.get();
  if (EVP_DecryptInit_ex2(ctx, nullptr, nullptr, nonce.data(), nullptr) != 1) {
    return std::unexpected(authentication_failed());
  }
  int written = 0;
  for (std::size_t at = 0; at < associated_data.size(); at += kMaxUpdate) {
    const std::size_t n = std::min(kMaxUpdate, associated_data.size() - at);
    if (EVP_DecryptUpdate(ctx, nullptr, &written, associated_data.data() + at,
                          static_cast<int>(n)) != 1) {
      return std::unexpected(authentication_failed());
    }
  }
  return {};
}

Result<void> GcmDecryptor::update_in_place(std::span<std::uint8_t> piece) {
  int written = 0;
  for (std::size_t at = 0; at < piece.size(); at += kMaxUpdate) {
    const std::size_t n = std::min(kMaxUpdate, piece.size() - at);
    std::uint8_t* p = piece.data() + at;
    if (EVP_DecryptUpdate(ctx_.get(), p, &written, p, static_cast<int>(n)) != 1 ||
        written != static_cast<int>(n)) {
      return std::unexpected(authentication_failed());
    }
  }
  return {};
}

Result<void> GcmDecryptor::finish(std::span<const std::uint8_t, kGcmTagLength> tag) {
  EVP_CIPHER_CTX* ctx = ctx_.get();
  std::uint8_t tail[16];
  int written = 0;
  if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kGcmTagLength),
                          const_cast<std::uint8_t*>(tag.data())) != 1 ||
      EVP_DecryptFinal_ex(ctx, tail, &written) != 1) {  // constant-time tag check
    return std::unexpected(authentication_failed());
  }
  return {};
}

Result<void> GcmDecryptor::open_in_place(std::span<const std::uint8_t, kNonceLength> nonce,
                                           std::span<std::uint8_t> data,
                                           std::span<const std::uint8_t, kGcmTagLength> tag,
                                           std::span<const std::uint8_t> associated_data) {
  auto result = begin(nonce, associated_data);
  if (result) result = update_in_place(data);
  if (result) result = finish(tag);
  if (!result) wipe(data);  // nothing of a failed opening is released
  return result;
}

// ---------------------------------------------------------------- aes_gcm_open

Result<SecretBytes> aes_gcm_open(std::span<const std::uint8_t> key,
                                   std::span<const std::uint8_t> nonce,
                                   std::span<const std::uint8_t> sealed,
                                   std::span<const std::uint8_t> associated_data) {
  if (nonce.size() != kNonceLength) {
    return std::unexpected(Failure::io(messages::kAesNonceLength));
  }
  auto decryptor = TAVOLIN_TRY(GcmDecryptor::create(key));
  if (sealed.size() < kGcmTagLength) return std::unexpected(authentication_failed());
  const std::size_t length = sealed.size() - kGcmTagLength;
  SecretBytes plain(sealed.first(length));
  const std::span<const std::uint8_t, kGcmTagLength> tag(sealed.data() + length, kGcmTagLength);
  TAVOLIN_TRY(decryptor.open_in_place(nonce.first<kNonceLength>(), plain.span(), tag,
                                       associated_data));
  return plain;
}

// ---------------------------------------------------------------- unwrapping

namespace {

Result<SecretBytes> open_wrapped_key(std::span<const std::uint8_t> master_key,
                                       const ContainerHeader& header) {
  const auto* label = reinterpret_cast<const std::uint8_t*>(kWrapLabel.data());
  return aes_gcm_open(master_key, header.wrap_nonce, header.wrapped_dek,
                      std::span(label, kWrapLabel.size()));
}

}  // namespace

Result<DataEncryptionKey> unwrap_data_key(std::span<const std::uint8_t> master_key,
                                            const ContainerHeader& header) {
  auto key = TAVOLIN_TRY(open_wrapped_key(master_key, header));
  if (key.size() != kDataKeyLength) {
    return std::unexpected(Failure::io(messages::kDataKeyLength));
  }
  return key;
}

Result<DataEncryptionKey> unwrap_data_key_any(std::span<const SecretBytes> master_keys,
                                                const ContainerHeader& header) {
  for (const SecretBytes& master_key : master_keys) {
    auto key = open_wrapped_key(master_key, header);
    // Wrong key, wrong key length or failed tag: try the next.
    if (key && key->size() == kDataKeyLength) return key;
  }
  return std::unexpected(Failure::io(messages::kNoGeneration));
}

// ---------------------------------------------------------------- chunks

Result<ChunkOpener> ChunkOpener::create(const DataEncryptionKey& data_key,
                                          const ContainerPrefix& prefix) {
  auto decryptor = TAVOLIN_TRY(GcmDecryptor::create(data_key));
  return ChunkOpener(std::move(decryptor), prefix);
}

Result<void> ChunkOpener::open_in_place(std::uint64_t index, std::span<std::uint8_t> ciphertext,
                                          std::span<const std::uint8_t, kGcmTagLength> tag) {
  if (index > UINT32_MAX) {
    return std::unexpected(Failure::io(messages::kChunkCounter));
  }
  const auto nonce = chunk_nonce(prefix_->header.nonce_prefix, static_cast<std::uint32_t>(index));
  return decryptor_.open_in_place(nonce, ciphertext, tag, prefix_->header_bytes);
}

}  // namespace tavolin::container
