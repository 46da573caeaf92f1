#include "support/container_support.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/interrupt.hpp"
#include "common/messages.hpp"
#include "container/range.hpp"

namespace tavolin::container {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

}  // namespace

std::string base64url_encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t at = 0;
  for (; at + 3 <= bytes.size(); at += 3) {
    const std::uint32_t q = (std::uint32_t{bytes[at]} << 16) | (std::uint32_t{bytes[at + 1]} << 8) |
                            bytes[at + 2];
    out.push_back(kAlphabet[(q >> 18) & 0x3F]);
    out.push_back(kAlphabet[(q >> 12) & 0x3F]);
    out.push_back(kAlphabet[(q >> 6) & 0x3F]);
    out.push_back(kAlphabet[q & 0x3F]);
  }
  const std::size_t rest = bytes.size() - at;
  if (rest == 1) {
    const std::uint32_t q = std::uint32_t{bytes[at]} << 16;
    out.push_back(kAlphabet[(q >> 18) & 0x3F]);
    out.push_back(kAlphabet[(q >> 12) & 0x3F]);
    out.append("==");
  } else if (rest == 2) {
    const std::uint32_t q = (std::uint32_t{bytes[at]} << 16) | (std::uint32_t{bytes[at + 1]} << 8);
    out.push_back(kAlphabet[(q >> 18) & 0x3F]);
    out.push_back(kAlphabet[(q >> 12) & 0x3F]);
    out.push_back(kAlphabet[(q >> 6) & 0x3F]);
    out.push_back('=');
  }
  return out;
}

Result<SecretBytes> open_chunk(const DataEncryptionKey& data_key, const ContainerPrefix& prefix,
                                 std::uint64_t index, std::span<const std::uint8_t> sealed) {
  if (index > UINT32_MAX) {
    return std::unexpected(Failure::io(messages::kChunkCounter));
  }
  const auto nonce = chunk_nonce(prefix.header.nonce_prefix, static_cast<std::uint32_t>(index));
  return aes_gcm_open(data_key, nonce, sealed, prefix.header_bytes);
}

Result<Bytes> decrypt_file_range(const std::string& path, std::span<const std::uint8_t> master_key,
                                   std::uint64_t start, std::uint64_t end) {
  const auto range = TAVOLIN_TRY(check_byte_range(start, end));
  Bytes out(static_cast<std::size_t>(range.length));
  NoInterrupt never;
  TAVOLIN_TRY(decrypt_file_range_into(path, master_key, range, out, never));
  return out;
}

std::vector<SecretBytes> secrets(const std::vector<Bytes>& keys) {
  std::vector<SecretBytes> out;
  for (const Bytes& key : keys) out.emplace_back(key);
  return out;
}

Bytes hex(std::string_view text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes be32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

namespace {

// AES-GCM sealing for building test containers (the reader only opens).
Bytes seal(const Bytes& key, const Bytes& nonce, const Bytes& plaintext, const Bytes& aad) {
  const char* name = key.size() == 16 ? "AES-128-GCM" : key.size() == 24 ? "AES-192-GCM" : "AES-256-GCM";
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(plaintext.size() + 16);
  int n = 0;
  if (EVP_EncryptInit_ex2(ctx, cipher, key.data(), nonce.data(), nullptr) != 1) std::abort();
  if (!aad.empty()) EVP_EncryptUpdate(ctx, nullptr, &n, aad.data(), static_cast<int>(aad.size()));
  if (!plaintext.empty()) {
    EVP_EncryptUpdate(ctx, out.data(), &n, plaintext.data(), static_cast<int>(plaintext.size()));
  }
  EVP_EncryptFinal_ex(ctx, out.data() + plaintext.size(), &n);
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out.data() + plaintext.size());
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  return out;
}

const Bytes kLabel = bytes_of("qv-annotate:dek-wrap:v1");

std::string header_json(std::uint64_t chunk_size, const Bytes& wrapped, const Bytes& wrap_nonce,
                        const Bytes& nonce_prefix) {
  return R"({"version": 1, "algorithm": "AESGCM-chunked-v1", "chunk_size": )" +
         std::to_string(chunk_size) + R"(, "wrapped_dek": ")" + base64url_encode(wrapped) +
         R"(", "wrap_nonce": ")" + base64url_encode(wrap_nonce) + R"(", "nonce_prefix": ")" +
         base64url_encode(nonce_prefix) + "\"}";
}

}  // namespace

TestContainer make_container(const Bytes& plaintext, std::uint64_t chunk_size,
                             std::size_t master_length) {
  TestContainer c;
  for (std::size_t i = 0; i < master_length; ++i) c.master_key.push_back(static_cast<std::uint8_t>(3 * i + 1));
  for (std::size_t i = 0; i < 32; ++i) c.data_key.push_back(static_cast<std::uint8_t>(200 - i));
  c.nonce_prefix = hex("0102030405060708");
  const Bytes wrap_nonce = hex("a0a1a2a3a4a5a6a7a8a9aaab");
  const Bytes wrapped = seal(c.master_key, wrap_nonce, c.data_key, kLabel);
  c.header = bytes_of(header_json(chunk_size, wrapped, wrap_nonce, c.nonce_prefix));
  c.file = concat(Bytes(kContainerMagic.begin(), kContainerMagic.end()),
                  be32(static_cast<std::uint32_t>(c.header.size())));
  c.file = concat(c.file, c.header);
  for (std::size_t at = 0, index = 0; at < plaintext.size(); at += chunk_size, ++index) {
    const std::size_t end = std::min<std::size_t>(plaintext.size(), at + chunk_size);
    const auto nonce_array = chunk_nonce(
        [&] {
          std::array<std::uint8_t, 8> p{};
          std::copy(c.nonce_prefix.begin(), c.nonce_prefix.end(), p.begin());
          return p;
        }(),
        static_cast<std::uint32_t>(index));
    const Bytes nonce(nonce_array.begin(), nonce_array.end());
    const Bytes sealed = seal(c.data_key, nonce, Bytes(plaintext.begin() + at, plaintext.begin() + end), c.header);
    const Bytes field = be32(static_cast<std::uint32_t>(sealed.size()));
    c.file.insert(c.file.end(), field.begin(), field.end());
    c.file.insert(c.file.end(), sealed.begin(), sealed.end());
  }
  return c;
}

Bytes counting(std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 13 + i / 256);
  return out;
}

}  // namespace tavolin::container
