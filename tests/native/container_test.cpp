// Cores of the encrypted container: base64, header validation, prefix reading,
// AES-GCM opening, key unwrapping, chunk opening and record geometry.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "container/base64.hpp"
#include "container/gcm.hpp"
#include "container/detection.hpp"
#include "container/geometry.hpp"
#include "container/file_io.hpp"
#include "container/range.hpp"
#include "support/container_support.hpp"
#include "support/temp_dir.hpp"

namespace tavolin {
// Key and plaintext results compared with plain byte vectors.
inline bool operator==(const SecretBytes& a, const std::vector<std::uint8_t>& b) {
  return std::equal(a.span().begin(), a.span().end(), b.begin(), b.end());
}
}  // namespace tavolin

namespace tavolin::container {
namespace {

// A file in memory: sequential reads (optionally a few bytes at a time) and
// positioned reads.
class MemoryFile final : public ByteSource, public RandomAccessSource {
 public:
  explicit MemoryFile(Bytes data, std::size_t step = SIZE_MAX) : data_(std::move(data)), step_(step) {}

  Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
    const std::size_t n = std::min({buffer.size(), data_.size() - position_, step_});
    std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(position_), n, buffer.begin());
    position_ += n;
    return n;
  }

  Result<std::size_t> read_at(std::uint64_t offset,
                                std::span<const std::span<std::uint8_t>> parts) override {
    std::size_t total = 0;
    for (const auto& part : parts) {
      if (offset >= data_.size()) break;
      const std::size_t n = std::min<std::size_t>(part.size(), data_.size() - offset);
      std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(offset), n, part.begin());
      offset += n;
      total += n;
      if (n < part.size()) break;
    }
    return total;
  }

  [[nodiscard]] std::size_t position() const { return position_; }

 private:
  Bytes data_;
  std::size_t step_;
  std::size_t position_ = 0;
};

class FailingSource final : public ByteSource {
 public:
  Result<std::size_t> read(std::span<std::uint8_t>) override {
    return std::unexpected(Failure::from_errno(EIO));
  }
};

template <class T>
std::string message_of(const Result<T>& r) {
  return r ? std::string("<ok>") : r.error().text();
}

// ---------------------------------------------------------------- base64

TEST(ContainerBase64, StrictDecodeTable) {
  struct Case {
    const char* text;
    std::optional<const char*> hex;
  };
  const Case cases[] = {
      {"", ""},
      {"AA==", "00"},
      {"AAA=", "0000"},
      {"AAAA", "000000"},
      {"-_-_", "fbffbf"},
      {"_w==", "ff"},
      {"__8=", "ffff"},
      {"AAECAwQFBgc=", "0001020304050607"},
      {"AA", std::nullopt},         // missing padding
      {"AA=", std::nullopt},        // missing padding
      {"AA===", std::nullopt},      // surplus padding
      {"AAAA====", std::nullopt},   // surplus padding
      {"AB==", std::nullopt},       // non-zero unused bits (4)
      {"AAB=", std::nullopt},       // non-zero unused bits (2)
      {"_x==", std::nullopt},
      {"A===", std::nullopt},
      {"====", std::nullopt},
      {"=AAA", std::nullopt},
      {"AA==AA==", std::nullopt},   // padding inside
      {"+/8=", std::nullopt},       // standard alphabet
      {"AA A", std::nullopt},
      {"AA\nA", std::nullopt},
      {"AA=A", std::nullopt},
      {"AA.=", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto decoded = base64url_decode_strict(c.text);
    if (c.hex) {
      ASSERT_TRUE(decoded) << c.text;
      EXPECT_EQ(*decoded, hex(*c.hex)) << c.text;
      EXPECT_EQ(base64url_encode(*decoded), c.text);
    } else {
      EXPECT_FALSE(decoded) << c.text;
    }
  }
}

TEST(ContainerBase64, RoundTripsEveryLengthAndByte) {
  Bytes data;
  for (std::size_t n = 0; n < 300; ++n) {
    const auto encoded = base64url_encode(data);
    EXPECT_EQ(encoded.size(), (n + 2) / 3 * 4);
    const auto decoded = base64url_decode_strict(encoded);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, data);
    data.push_back(static_cast<std::uint8_t>(n * 7 + 13));
  }
}

// ---------------------------------------------------------------- header

const std::string kWrapped = std::string(64, 'A');   // 48 zero bytes
const std::string kNonce = std::string(16, 'A');     // 12 zero bytes
const std::string kPrefix = "AAAAAAAAAAA=";           // 8 zero bytes

std::string header_with(const std::string& version, const std::string& algorithm,
                        const std::string& chunk, const std::string& wrapped,
                        const std::string& nonce, const std::string& prefix) {
  return "{\"version\":" + version + ",\"algorithm\":" + algorithm + ",\"chunk_size\":" + chunk +
         ",\"wrapped_dek\":" + wrapped + ",\"wrap_nonce\":" + nonce + ",\"nonce_prefix\":" +
         prefix + "}";
}
std::string q(const std::string& s) { return "\"" + s + "\""; }
std::string braced(const std::string& inner, const char* more) {
  std::string out = "{";
  out.append(inner).append(more).append("}");
  return out;
}
std::string valid_header() {
  return header_with("1", q("AESGCM-chunked-v1"), "1024", q(kWrapped), q(kNonce), q(kPrefix));
}

TEST(ContainerHeader, AcceptsTheDocumentForms) {
  const std::string forms[] = {
      valid_header(),
      " \t\r\n" + valid_header() + " \n\r\t",
      R"({"nonce_prefix":")" + kPrefix + R"(","chunk_size":1024,"wrap_nonce":")" + kNonce +
          R"(","version":1,"wrapped_dek":")" + kWrapped + R"(","algorithm":"AESGCM-chunked-v1"})",
      R"([1, "AESGCM-chunked-v1", 1024, ")" + kWrapped + R"(", ")" + kNonce + R"(", ")" + kPrefix + "\"]",
      // escapes are resolved before the values are checked
      header_with("1", q("AESGCM\\u002dchunked-v1"), "1024", q("\\u0041" + kWrapped.substr(1)),
                  q(kNonce), q(kPrefix)),
      R"({"vers\u0069on":1,"algorithm":"AESGCM-chunked-v1","chunk_size":1024,"wrapped_dek":")" +
          kWrapped + R"(","wrap_nonce":")" + kNonce + R"(","nonce_prefix":")" + kPrefix + "\"}",
  };
  for (const auto& text : forms) {
    const auto header = parse_header_payload(bytes_of(text));
    ASSERT_TRUE(header) << text << ": " << header.error().text();
    EXPECT_EQ(header->chunk_size, 1024u);
    EXPECT_EQ(header->wrapped_dek, decltype(header->wrapped_dek){});
  }
}

TEST(ContainerHeader, DecodesMembers) {
  const auto header = parse_header_payload(bytes_of(
      header_with("1", q("AESGCM-chunked-v1"), "67108864", q(kWrapped), q("AAECAwQFBgcICQoL"),
                  q("_-7dzLuqmYg="))));
  ASSERT_TRUE(header);
  EXPECT_EQ(header->chunk_size, 67108864u);
  EXPECT_EQ(Bytes(header->wrap_nonce.begin(), header->wrap_nonce.end()), hex("000102030405060708090a0b"));
  EXPECT_EQ(Bytes(header->nonce_prefix.begin(), header->nonce_prefix.end()), hex("ffeeddccbbaa9988"));
}

TEST(ContainerHeader, RefusalTable) {
  const char* kLength = "encrypted header length is invalid";
  const char* kJson = "encrypted header JSON is invalid";
  const char* kContract = "unsupported encrypted header contract";
  const char* kChunk = "encrypted chunk size exceeds the bounded contract";
  const char* kB64 = "encrypted header base64 is invalid";
  const char* kKeyLength = "encrypted header key material has invalid length";
  const std::string alg = q("AESGCM-chunked-v1");
  auto with_version = [&](const std::string& v) {
    return header_with(v, alg, "1024", q(kWrapped), q(kNonce), q(kPrefix));
  };
  auto with_chunk = [&](const std::string& c) {
    return header_with("1", alg, c, q(kWrapped), q(kNonce), q(kPrefix));
  };
  auto with_members = [&](const std::string& w, const std::string& n, const std::string& p) {
    return header_with("1", alg, "1024", w, n, p);
  };
  const std::string valid = valid_header();
  const std::string body = valid.substr(1, valid.size() - 2);
  struct Case {
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {"", kLength},
      {std::string(65537, ' '), kLength},
      {std::string(65536, ' '), kJson},
      {"\xEF\xBB\xBF" + valid, kJson},                      // byte order mark
      {valid + "x", kJson},
      {valid + "\f", kJson},                                // not JSON whitespace
      {valid + std::string(1, '\0'), kJson},               // the parser stops at a NUL
      {valid + std::string(1, '\0') + "garbage", kJson},
      {std::string(1, '\0') + valid, kJson},
      {valid + valid, kJson},
      {braced(body, ",\"extra\":1"), kJson},
      {braced(body, ",\"version\":1"), kJson},                // repeated member
      {braced(body.substr(body.find(',') + 1), ""), kJson},    // missing version
      {braced(body, ","), kJson},
      {braced(body, ",\"x\":{\"y\":[1]}"), kJson},
      {"[1,\"AESGCM-chunked-v1\",1024,\"" + kWrapped + "\",\"" + kNonce + "\"]", kJson},
      {"[1,\"AESGCM-chunked-v1\",1024,\"" + kWrapped + "\",\"" + kNonce + "\",\"" + kPrefix + "\",1]", kJson},
      {"[[1,\"AESGCM-chunked-v1\",1024,\"" + kWrapped + "\",\"" + kNonce + "\",\"" + kPrefix + "\"]]", kJson},
      {"1", kJson},
      {"null", kJson},
      {"{}", kJson},
      {"[]", kJson},
      {with_version("1.0"), kJson},
      {with_version("1e0"), kJson},
      {with_version("\"1\""), kJson},
      {with_version("-1"), kJson},
      {with_version("-0"), kJson},
      {with_version("01"), kJson},
      {with_version("null"), kJson},
      {with_version("true"), kJson},
      {with_version("[1]"), kJson},
      {with_version("18446744073709551616"), kJson},
      {with_version("18446744073709551615"), kContract},
      {with_version("2"), kContract},
      {with_version("0"), kContract},
      {header_with("1", q("AESGCM-chunked-v1 "), "1024", q(kWrapped), q(kNonce), q(kPrefix)), kContract},
      {header_with("1", q("aesgcm-chunked-v1"), "1024", q(kWrapped), q(kNonce), q(kPrefix)), kContract},
      {header_with("1", q("AESGCM-chunked-v1\xFF"), "1024", q(kWrapped), q(kNonce), q(kPrefix)), kJson},
      {header_with("1", q("AESGCM-chunked-v1\xC0\xAF"), "1024", q(kWrapped), q(kNonce), q(kPrefix)), kJson},
      {header_with("1", q("AESGCM-chunked-v1\xED\xA0\x80"), "1024", q(kWrapped), q(kNonce), q(kPrefix)), kJson},
      {header_with("1", q("AESGCM-chunked-v1\t"), "1024", q(kWrapped), q(kNonce), q(kPrefix)), kJson},
      {header_with("1", "1", "1024", q(kWrapped), q(kNonce), q(kPrefix)), kJson},
      {header_with("2", q("x"), "0", q("?"), q(kNonce), q(kPrefix)), kContract},
      {with_chunk("0"), kChunk},
      {with_chunk("67108865"), kChunk},
      {with_chunk("18446744073709551615"), kChunk},
      {with_chunk("1024.5"), kJson},
      {with_chunk("-1024"), kJson},
      {header_with("1", alg, "0", q("?"), q(kNonce), q(kPrefix)), kChunk},
      {with_members(q(kWrapped.substr(0, 62) + "="), q(kNonce), q(kPrefix)), kB64},
      {with_members(q(kWrapped.substr(0, 63) + "="), q(kNonce), q(kPrefix)), kKeyLength},  // 47
      {with_members(q(kWrapped), q("AAAAAAAAAAAAAAA"), q(kPrefix)), kB64},
      {with_members(q(kWrapped), q(kNonce), q("AAAAAAAAAAA")), kB64},
      {with_members(q(kWrapped), q(kNonce), q("AAAAAAAAAA+=")), kB64},
      {with_members(q(kWrapped), q(kNonce), q("AAAAAAAAAA/=")), kB64},
      {with_members(q(kWrapped), q(kNonce), q("AAAAAAAAAAB=")), kB64},
      {with_members(q(kWrapped), q(kNonce), q(" AAAAAAAAAAA=")), kB64},
      {with_members(q(kWrapped), q(kNonce), q("AAAAAAAAAA\\/=")), kB64},  // escaped "/"
      {with_members(q(std::string(43, 'A') + "="), q(kNonce), q(kPrefix)), kKeyLength},  // 32 bytes
      {with_members(q(kWrapped), q(std::string(22, 'A') + "=="), q(kPrefix)), kKeyLength},  // 16
      {with_members(q(kWrapped), q(kNonce), q("")), kKeyLength},
      // members are checked in order, each completely
      {with_members(q(std::string(43, 'A') + "="), q("!"), q(kPrefix)), kKeyLength},
      {with_members(q("!"), q(std::string(22, 'A') + "=="), q(kPrefix)), kB64},
  };
  for (const auto& c : cases) {
    const auto header = parse_header_payload(bytes_of(c.text));
    ASSERT_FALSE(header) << c.text.substr(0, 200);
    EXPECT_EQ(header.error().code, tavolin::FailureCode::os);
  EXPECT_EQ(header.error().os_error, 0);
    EXPECT_EQ(header.error().text(), c.message) << c.text.substr(0, 200);
  }
}

TEST(ContainerHeader, AcceptsExactlyTheLengthLimit) {
  std::string text = valid_header();
  text.append(kMaxHeaderLength - text.size(), ' ');
  EXPECT_TRUE(parse_header_payload(bytes_of(text)));
  text.push_back(' ');
  EXPECT_EQ(message_of(parse_header_payload(bytes_of(text))), "encrypted header length is invalid");
}

// ---------------------------------------------------------------- prefix

TEST(ContainerPrefixReader, ReadsFrontAndStopsAtPayload) {
  const auto c = make_container(bytes_of("hello, container"), 4);
  for (std::size_t step : {std::size_t{1}, std::size_t{3}, SIZE_MAX}) {
    MemoryFile file(c.file, step);
    const auto prefix = read_container_prefix(file);
    ASSERT_TRUE(prefix) << prefix.error().text();
    EXPECT_EQ(prefix->header_bytes, c.header);
    EXPECT_EQ(prefix->payload_offset, 12 + c.header.size());
    EXPECT_EQ(file.position(), prefix->payload_offset);
    EXPECT_EQ(prefix->header.chunk_size, 4u);
  }
}

TEST(ContainerPrefixReader, TruncationsAndBadFronts) {
  const auto c = make_container({}, 16);
  ASSERT_EQ(c.file.size(), 12 + c.header.size());  // an empty plaintext has no records
  for (std::size_t cut = 0; cut < c.file.size(); ++cut) {
    MemoryFile file(Bytes(c.file.begin(), c.file.begin() + static_cast<std::ptrdiff_t>(cut)));
    const auto prefix = read_container_prefix(file);
    ASSERT_FALSE(prefix);
    EXPECT_TRUE(prefix.error().is_short_read()) << cut;
    EXPECT_EQ(prefix.error().text(), "failed to fill whole buffer");
  }
  const Bytes magic(kContainerMagic.begin(), kContainerMagic.end());
  struct Case {
    Bytes file;
    const char* message;
  };
  Bytes cr_magic = magic;
  cr_magic[7] = '\r';
  const Case cases[] = {
      {concat(cr_magic, be32(2)), "unsupported encrypted file format"},
      {bytes_of("plain text file"), "unsupported encrypted file format"},
      {concat(magic, be32(0)), "encrypted header length is invalid"},
      {concat(magic, be32(65537)), "encrypted header length is invalid"},
      {concat(magic, be32(0xFFFFFFFF)), "encrypted header length is invalid"},
      {concat(concat(magic, be32(2)), bytes_of("{}")), "encrypted header JSON is invalid"},
  };
  for (const auto& k : cases) {
    MemoryFile file(k.file);
    EXPECT_EQ(message_of(read_container_prefix(file)), k.message);
  }
  FailingSource failing;
  const auto failed = read_container_prefix(failing);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().code, tavolin::FailureCode::os);
  EXPECT_EQ(failed.error().os_error, EIO);
}

TEST(ContainerPrefixReader, ChunkNonceIsPrefixAndBigEndianIndex) {
  const std::array<std::uint8_t, 8> prefix = {1, 2, 3, 4, 5, 6, 7, 8};
  const auto n = chunk_nonce(prefix, 0x0A0B0C0Du);
  EXPECT_EQ(Bytes(n.begin(), n.end()), hex("01020304050607080a0b0c0d"));
  const auto last = chunk_nonce(prefix, 0xFFFFFFFFu);
  EXPECT_EQ(Bytes(last.begin(), last.end()), hex("0102030405060708ffffffff"));
}

// ---------------------------------------------------------------- AES-GCM

struct GcmVector {
  const char* key;
  const char* ciphertext;
  const char* tag;
};

const char* kVectorIv = "cafebabefacedbaddecaf888";
const char* kVectorAad = "feedfacedeadbeeffeedfacedeadbeefabaddad2";
const char* kVectorPlain =
    "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e24"
    "49a6b525b16aedf5aa0de657ba637b39";
// The AES-128, -192 and -256 cases with associated data of the GCM test vectors.
const GcmVector kVectors[] = {
    {"feffe9928665731c6d6a8f9467308308",
     "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e21d514b25466931c7d8f6a5aac"
     "84aa051ba30b396a0aac973d58e091",
     "5bc94fbc3221a5db94fae95ae7121a47"},
    {"feffe9928665731c6d6a8f9467308308feffe9928665731c",
     "3980ca0b3c00e841eb06fac4872a2757859e1ceaa6efd984628593b40ca1e19c7d773d00c144c525ac619d18c8"
     "4a3f4718e2448b2fe324d9ccda2710",
     "2519498e80f1478f37ba55bd6d27618c"},
    {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056"
     "828838c5f61e6393ba7a0abcc9f662",
     "76fc6ece0f4e1768cddf8853bb2d551b"},
};

TEST(ContainerAesGcm, OpensKnownVectors) {
  for (const auto& v : kVectors) {
    const auto plain = aes_gcm_open(hex(v.key), hex(kVectorIv), concat(hex(v.ciphertext), hex(v.tag)),
                                    hex(kVectorAad));
    ASSERT_TRUE(plain) << v.key << ": " << plain.error().text();
    EXPECT_EQ(*plain, hex(kVectorPlain));
  }
  // AES-256, zero key and nonce: one zero block, and the empty message.
  const auto block = aes_gcm_open(Bytes(32), Bytes(12),
                                  hex("cea7403d4d606b6e074ec5d3baf39d18d0d1c8a799996bf0265b98b5d48ab919"), {});
  ASSERT_TRUE(block);
  EXPECT_EQ(*block, Bytes(16));
  const auto empty = aes_gcm_open(Bytes(32), Bytes(12), hex("530f8afbc74536b9a963b4f1c4cb738b"), {});
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(ContainerAesGcm, EveryAlteredByteFails) {
  const auto& v = kVectors[2];
  const Bytes sealed = concat(hex(v.ciphertext), hex(v.tag));
  const Bytes aad = hex(kVectorAad);
  for (std::size_t i = 0; i < sealed.size(); ++i) {
    Bytes altered = sealed;
    altered[i] ^= 0x01;
    EXPECT_EQ(message_of(aes_gcm_open(hex(v.key), hex(kVectorIv), altered, aad)),
              "AES-GCM authentication failed") << i;
  }
  for (std::size_t i = 0; i < aad.size(); ++i) {
    Bytes altered = aad;
    altered[i] ^= 0x80;
    EXPECT_EQ(message_of(aes_gcm_open(hex(v.key), hex(kVectorIv), sealed, altered)),
              "AES-GCM authentication failed");
  }
  Bytes iv = hex(kVectorIv);
  iv[11] ^= 1;
  EXPECT_EQ(message_of(aes_gcm_open(hex(v.key), iv, sealed, aad)), "AES-GCM authentication failed");
  EXPECT_EQ(message_of(aes_gcm_open(hex(v.key), hex(kVectorIv), Bytes(sealed.begin(), sealed.end() - 1), aad)),
            "AES-GCM authentication failed");
}

TEST(ContainerAesGcm, ArgumentChecksInOrder) {
  const Bytes sealed = concat(hex(kVectors[2].ciphertext), hex(kVectors[2].tag));
  EXPECT_EQ(message_of(aes_gcm_open(Bytes(20), Bytes(11), sealed, {})), "AES-GCM nonce must contain 12 bytes");
  EXPECT_EQ(message_of(aes_gcm_open(Bytes(32), Bytes(13), sealed, {})), "AES-GCM nonce must contain 12 bytes");
  for (std::size_t n : {0, 15, 20, 31, 33, 64}) {
    EXPECT_EQ(message_of(aes_gcm_open(Bytes(n), Bytes(12), Bytes(3), {})),
              "AES-GCM key must contain 16, 24, or 32 bytes") << n;
  }
  for (std::size_t n : {0, 1, 15}) {
    EXPECT_EQ(message_of(aes_gcm_open(Bytes(32), Bytes(12), Bytes(n), {})), "AES-GCM authentication failed");
  }
}

TEST(ContainerAesGcm, FailedOpeningWipesTheBuffer) {
  const auto& v = kVectors[2];
  auto decryptor = GcmDecryptor::create(hex(v.key));
  ASSERT_TRUE(decryptor);
  Bytes data = hex(v.ciphertext);
  Bytes tag = hex(v.tag);
  tag[0] ^= 1;
  const Bytes iv = hex(kVectorIv);
  const auto r = decryptor->open_in_place(std::span<const std::uint8_t, 12>(iv.data(), 12), data,
                                          std::span<const std::uint8_t, 16>(tag.data(), 16), hex(kVectorAad));
  ASSERT_FALSE(r);
  EXPECT_EQ(data, Bytes(data.size()));
  // The same context opens the untouched value afterwards.
  Bytes again = hex(v.ciphertext);
  tag[0] ^= 1;
  ASSERT_TRUE(decryptor->open_in_place(std::span<const std::uint8_t, 12>(iv.data(), 12), again,
                                       std::span<const std::uint8_t, 16>(tag.data(), 16), hex(kVectorAad)));
  EXPECT_EQ(again, hex(kVectorPlain));
}

// ---------------------------------------------------------------- keys and chunks

TEST(ContainerKeys, UnwrapWithOneKeyAndWithGenerations) {
  for (std::size_t length : {16, 24, 32}) {
    const auto c = make_container({}, 8, length);
    MemoryFile file(c.file);
    const auto prefix = read_container_prefix(file);
    ASSERT_TRUE(prefix);
    const auto key = unwrap_data_key(c.master_key, prefix->header);
    ASSERT_TRUE(key) << key.error().text();
    EXPECT_EQ(*key, c.data_key);

    Bytes wrong = c.master_key;
    wrong[0] ^= 1;
    EXPECT_EQ(message_of(unwrap_data_key(wrong, prefix->header)), "AES-GCM authentication failed");
    EXPECT_EQ(message_of(unwrap_data_key(Bytes(20), prefix->header)),
              "AES-GCM key must contain 16, 24, or 32 bytes");

    const std::vector<Bytes> generations = {wrong, Bytes(20), Bytes{}, c.master_key, wrong};
    const auto any = unwrap_data_key_any(secrets(generations), prefix->header);
    ASSERT_TRUE(any);
    EXPECT_EQ(*any, c.data_key);
    const std::vector<Bytes> none = {wrong, Bytes(20)};
    EXPECT_EQ(message_of(unwrap_data_key_any(secrets(none), prefix->header)),
              "No configured generation authenticated the file");
    EXPECT_EQ(message_of(unwrap_data_key_any({}, prefix->header)),
              "No configured generation authenticated the file");

    ContainerHeader damaged = prefix->header;
    damaged.wrap_nonce[0] ^= 1;
    EXPECT_EQ(message_of(unwrap_data_key(c.master_key, damaged)), "AES-GCM authentication failed");
  }
}

TEST(ContainerKeys, ChunksOpenOnlyUnderTheirIndexAndHeader) {
  Bytes plain;
  for (int i = 0; i < 40; ++i) plain.push_back(static_cast<std::uint8_t>(i));
  const auto c = make_container(plain, 16);
  MemoryFile file(c.file);
  const auto prefix = read_container_prefix(file);
  ASSERT_TRUE(prefix);
  const auto key = unwrap_data_key(c.master_key, prefix->header);
  ASSERT_TRUE(key);
  const std::size_t record = 16 + 20;
  auto sealed_of = [&](std::size_t i, std::size_t length) {
    const auto at = c.file.begin() + static_cast<std::ptrdiff_t>(prefix->payload_offset + i * record + 4);
    return Bytes(at, at + static_cast<std::ptrdiff_t>(length + 16));
  };
  const auto first = open_chunk(*key, *prefix, 0, sealed_of(0, 16));
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, Bytes(plain.begin(), plain.begin() + 16));
  const auto last = open_chunk(*key, *prefix, 2, sealed_of(2, 8));
  ASSERT_TRUE(last);
  EXPECT_EQ(*last, Bytes(plain.begin() + 32, plain.end()));
  EXPECT_EQ(message_of(open_chunk(*key, *prefix, 1, sealed_of(0, 16))), "AES-GCM authentication failed");
  EXPECT_EQ(message_of(open_chunk(*key, *prefix, 0x100000000ull, sealed_of(0, 16))),
            "encrypted chunk counter overflowed");
  ContainerPrefix changed = *prefix;
  changed.header_bytes.push_back(' ');
  EXPECT_EQ(message_of(open_chunk(*key, changed, 0, sealed_of(0, 16))), "AES-GCM authentication failed");

  auto opener = ChunkOpener::create(*key, *prefix);
  ASSERT_TRUE(opener);
  for (std::size_t i : {1, 0, 1}) {
    Bytes sealed = sealed_of(i, 16);
    const auto body = std::span(sealed).first(16);
    ASSERT_TRUE(opener->open_in_place(i, body, std::span(sealed).subspan(16).first<16>()));
    EXPECT_EQ(Bytes(body.begin(), body.end()),
              Bytes(plain.begin() + static_cast<std::ptrdiff_t>(16 * i),
                    plain.begin() + static_cast<std::ptrdiff_t>(16 * i + 16)));
  }
}

// ---------------------------------------------------------------- geometry and ranges

ContainerPrefix prefix_for(std::uint64_t chunk_size, std::uint64_t payload_offset) {
  ContainerPrefix prefix;
  prefix.header.chunk_size = chunk_size;
  prefix.payload_offset = payload_offset;
  return prefix;
}

TEST(ContainerGeometry, PlaintextSizeTable) {
  // G = 10, payload at 100: R = 30. Final record length fields are placed
  // where the geometry reads them; other bytes are irrelevant.
  struct Case {
    std::uint64_t payload;                  // P
    std::optional<std::uint32_t> final_len; // h, written at 100 + F*R
    std::string expected;                   // size or message
  };
  const Case cases[] = {
      {0, std::nullopt, "0"},
      {30, std::nullopt, "10"},
      {90, std::nullopt, "30"},
      {30 + 21, 17, "11"},
      {30 + 29, 25, "19"},
      {60 + 25, 21, "25"},
      {1, std::nullopt, "encrypted final chunk record is truncated"},
      {30 + 20, std::nullopt, "encrypted final chunk record is truncated"},
      {30 + 25, 20, "encrypted final chunk length does not match file size"},
      {30 + 25, 22, "encrypted final chunk length does not match file size"},
      {30 + 25, 0xFFFFFFFF, "encrypted final chunk length does not match file size"},
  };
  for (const auto& c : cases) {
    Bytes data(100 + c.payload);
    const std::uint64_t final_at = 100 + c.payload / 30 * 30;
    if (c.final_len) {
      const Bytes field = be32(*c.final_len);
      std::copy(field.begin(), field.end(), data.begin() + static_cast<std::ptrdiff_t>(final_at));
    }
    MemoryFile file(data);
    const auto size = RecordGeometry(prefix_for(10, 100)).plaintext_size(file, data.size());
    EXPECT_EQ(size ? std::to_string(*size) : size.error().text(), c.expected) << c.payload;
  }
  MemoryFile small(Bytes(50));
  EXPECT_EQ(message_of(RecordGeometry(prefix_for(10, 100)).plaintext_size(small, 99)), "encrypted payload size is invalid");
  // A file reported longer than what can be read: the final length field is missing.
  MemoryFile short_file(Bytes(120));
  EXPECT_EQ(message_of(RecordGeometry(prefix_for(10, 100)).plaintext_size(short_file, 155)), "failed to fill whole buffer");
  // A chunk size at the top of the 64-bit range (only reachable with a
  // header the parser would refuse) is caught, not wrapped.
  MemoryFile any(Bytes(200));
  EXPECT_EQ(message_of(RecordGeometry(prefix_for(UINT64_MAX - 10, 100)).plaintext_size(any, 200)),
            "encrypted chunk geometry overflowed");
  EXPECT_EQ(message_of(RecordGeometry(prefix_for(UINT64_MAX - 17, 100)).plaintext_size(any, 200)),
            "encrypted record geometry overflowed");
}

TEST(ContainerRange, ArgumentChecks) {
  EXPECT_EQ(message_of(check_byte_range(5, 4)), "encrypted byte range end precedes start");
  EXPECT_EQ(message_of(check_byte_range(0, UINT64_MAX)), "encrypted byte range length overflowed");
  EXPECT_EQ(message_of(check_byte_range(1, 8388608)), "<ok>");
  EXPECT_EQ(message_of(check_byte_range(0, 8388608)), "native encrypted byte range exceeds 8388608 bytes");
  const auto r = check_byte_range(UINT64_MAX, UINT64_MAX);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->length, 1u);
}

TEST(ContainerRange, DecryptsEveryRangeOfASmallContainer) {
  Bytes plain;
  for (int i = 0; i < 37; ++i) plain.push_back(static_cast<std::uint8_t>(i * 5 + 1));
  const auto c = make_container(plain, 8);
  MemoryFile file(c.file);
  const auto prefix = read_container_prefix(file);
  ASSERT_TRUE(prefix);
  for (std::uint64_t start = 0; start < plain.size(); ++start) {
    for (std::uint64_t end = start; end < plain.size(); ++end) {
      const auto range = check_byte_range(start, end);
      ASSERT_TRUE(range);
      Bytes out(range->length);
      const auto r = decrypt_records(file, *prefix, c.file.size(), c.master_key, *range, out);
      ASSERT_TRUE(r) << start << "-" << end << ": " << r.error().text();
      ASSERT_EQ(out, Bytes(plain.begin() + static_cast<std::ptrdiff_t>(start),
                           plain.begin() + static_cast<std::ptrdiff_t>(end + 1)));
    }
  }
  const auto beyond = check_byte_range(30, 37);
  Bytes out(beyond->length, 0xEE);
  EXPECT_EQ(message_of(decrypt_records(file, *prefix, c.file.size(), c.master_key, *beyond, out)),
            "requested byte range 30-37 exceeds plaintext size 37");
  EXPECT_EQ(out, Bytes(out.size()));  // wiped
}

TEST(ContainerRange, FailedChunkWipesWhatWasDecrypted) {
  Bytes plain(64, 0x77);
  auto c = make_container(plain, 16);
  MemoryFile intact(c.file);
  const auto prefix = read_container_prefix(intact);
  ASSERT_TRUE(prefix);
  Bytes damaged = c.file;
  damaged[prefix->payload_offset + 3 * 36 + 10] ^= 1;  // body of the last chunk
  MemoryFile file(damaged);
  const auto range = check_byte_range(0, 63);
  Bytes out(64);
  EXPECT_EQ(message_of(decrypt_records(file, *prefix, damaged.size(), c.master_key, *range, out)),
            "AES-GCM authentication failed");
  EXPECT_EQ(out, Bytes(64));
  Bytes first_three(48);
  ASSERT_TRUE(decrypt_records(file, *prefix, damaged.size(), c.master_key, *check_byte_range(0, 47),
                              first_three));
  EXPECT_EQ(first_three, Bytes(48, 0x77));
}

// Counts the positioned reads made of a file in memory.
class CountingFile final : public RandomAccessSource {
 public:
  explicit CountingFile(Bytes data) : file_(std::move(data)) {}
  Result<std::size_t> read_at(std::uint64_t offset,
                                std::span<const std::span<std::uint8_t>> parts) override {
    ++reads;
    return file_.read_at(offset, parts);
  }
  std::size_t reads = 0;

 private:
  MemoryFile file_;
};

TEST(ContainerRange, SmallRecordsAreFetchedTogetherAndTheInterruptIsAsked) {
  const Bytes plain = [] {
    Bytes out(120'000);
    for (std::size_t i = 0; i < out.size(); ++i) {
      out[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    return out;
  }();
  const auto c = make_container(plain, 1);  // 120,000 records of 21 bytes
  MemoryFile front(c.file);
  const auto prefix = read_container_prefix(front);
  ASSERT_TRUE(prefix);
  const auto range = check_byte_range(0, plain.size() - 1);
  ASSERT_TRUE(range);

  CountingFile file(c.file);
  StopAfter never(SIZE_MAX);
  Bytes out(range->length);
  ASSERT_TRUE(decrypt_records(file, *prefix, c.file.size(), c.master_key, *range, out, never));
  EXPECT_EQ(out, plain);
  // Every record is full, so the size costs no read; the records come up to
  // 1 MiB at a time.
  const std::size_t per_read = (std::size_t{1} << 20) / 21;
  const std::size_t record_reads = (120'000 + per_read - 1) / per_read;
  EXPECT_EQ(file.reads, record_reads);
  EXPECT_EQ(never.asked, record_reads);

  StopAfter second(2);
  Bytes stopped(range->length);
  const auto r =
      decrypt_records(file, *prefix, c.file.size(), c.master_key, *range, stopped, second);
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().is_interruption());
  EXPECT_EQ(second.asked, 2u);
  EXPECT_EQ(stopped, Bytes(stopped.size()));  // what was decrypted before the stop is wiped
}

// ---------------------------------------------------------------- files

TEST(ContainerFiles, VectoredPositionedReads) {
  const test::TempDir dir("container_test");
  const Bytes data = counting(100);
  const auto path = dir.file("data", data);
  tavolin::NoInterrupt never;
  auto fd = tavolin::sys::open(path, O_RDONLY, never);
  ASSERT_TRUE(fd);
  tavolin::sys::Reader file(fd->get(), 1, never, tavolin::sys::Reader::Source::positional);
  Bytes a(3), empty, b(5);
  const std::span<std::uint8_t> parts[3] = {a, empty, b};
  auto got = file.read_at(10, parts);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, 8u);
  EXPECT_EQ(a, Bytes(data.begin() + 10, data.begin() + 13));
  EXPECT_EQ(b, Bytes(data.begin() + 13, data.begin() + 18));
  // Short at the end of the file: parts fill in order, the count says how far.
  Bytes c(3, 0xEE), d(5, 0xEE);
  const std::span<std::uint8_t> tail_parts[2] = {c, d};
  got = file.read_at(96, tail_parts);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, 4u);
  EXPECT_EQ(c, Bytes(data.begin() + 96, data.begin() + 99));
  EXPECT_EQ(d[0], data[99]);
  got = file.read_at(1000, tail_parts);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, 0u);
  Bytes exact(4);
  EXPECT_EQ(message_of(read_exact_at(file, 97, exact)), "failed to fill whole buffer");
  EXPECT_TRUE(read_exact_at(file, 96, exact));
}

TEST(ContainerFiles, DescriptorReadersReadTheFront) {
  const test::TempDir dir("container_test");
  const auto c = make_container(counting(100), 16);
  const auto path = dir.file("c", c.file);
  tavolin::NoInterrupt never;
  auto fd = tavolin::sys::open(path, O_RDONLY, never);
  ASSERT_TRUE(fd);
  // Positional: the descriptor's position stays where it was.
  tavolin::sys::Reader positional(fd->get(), 7, never, tavolin::sys::Reader::Source::positional);
  const auto prefix = read_container_prefix(positional);
  ASSERT_TRUE(prefix);
  EXPECT_EQ(prefix->header_bytes, c.header);
  EXPECT_EQ(::lseek(fd->get(), 0, SEEK_CUR), 0);
  // Sequential, unbuffered requests at least as large as the buffer: the
  // position ends at the payload.
  tavolin::sys::Reader sequential(fd->get(), 1, never);
  const auto again = read_container_prefix(sequential);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->header_bytes, c.header);
  EXPECT_EQ(::lseek(fd->get(), 0, SEEK_CUR), static_cast<off_t>(prefix->payload_offset));
}

TEST(ContainerFiles, ProbeOutcomesAndFailures) {
  const test::TempDir dir("container_test");
  const Bytes magic(kContainerMagic.begin(), kContainerMagic.end());
  EXPECT_EQ(*probe_container_magic(dir.file("empty", Bytes{})), EncryptionStatus::plaintext);
  EXPECT_EQ(*probe_container_magic(dir.file("seven", Bytes(magic.begin(), magic.end() - 1))),
            EncryptionStatus::plaintext);
  EXPECT_EQ(*probe_container_magic(dir.file("magic", magic)), EncryptionStatus::encrypted);
  EXPECT_EQ(*probe_container_magic(dir.file("more", concat(magic, Bytes(3)))), EncryptionStatus::encrypted);
  EXPECT_EQ(token(EncryptionStatus::encrypted), "encrypted");
  EXPECT_EQ(token(EncryptionStatus::plaintext), "plaintext");

  const auto directory = probe_container_magic(dir.path());
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().code, tavolin::FailureCode::os);
  EXPECT_EQ(directory.error().os_error, 0);
  EXPECT_EQ(directory.error().text(), "Encryption probes require a regular file");
  const auto missing = probe_container_magic(dir.path() + "/missing");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code, tavolin::FailureCode::os);
  EXPECT_EQ(missing.error().os_error, ENOENT);
  const auto with_nul = probe_container_magic(dir.path() + "/magic" + std::string(1, '\0') + "x");
  ASSERT_FALSE(with_nul);
  EXPECT_EQ(with_nul.error().code, tavolin::FailureCode::os);
  EXPECT_EQ(with_nul.error().os_error, 0);
}

TEST(ContainerFiles, RangeOfAFile) {
  const test::TempDir dir("container_test");
  const Bytes plain = counting(5000);
  const auto c = make_container(plain, 512);
  const auto path = dir.file("c", c.file);
  const auto r = decrypt_file_range(path, c.master_key, 500, 2100);
  ASSERT_TRUE(r) << r.error().text();
  EXPECT_EQ(*r, Bytes(plain.begin() + 500, plain.begin() + 2101));
  EXPECT_EQ(message_of(decrypt_file_range(path, c.master_key, 0, 5000)),
            "requested byte range 0-5000 exceeds plaintext size 5000");
  EXPECT_EQ(message_of(decrypt_file_range(dir.path() + "/missing", c.master_key, 0, 0)),
            "No such file or directory (os error 2)");
  EXPECT_EQ(message_of(decrypt_file_range(dir.path() + "/missing", c.master_key, 0, 8388608)),
            "native encrypted byte range exceeds 8388608 bytes");
}

}  // namespace
}  // namespace tavolin::container
