// Helpers shared by the cores: secret bytes, text rendering for messages,
// trimming.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/failure.hpp"
#include "common/secret.hpp"
#include "common/text.hpp"

using namespace tavolin;

TEST(RenderPath, ReplacesEachMaximalInvalidSubpartOnce) {
  const std::string r = "\xEF\xBF\xBD";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/tmp/plain", "/tmp/plain"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},         // four-byte form
      {"a\xFF" "b", "a" + r + "b"},                      // never a lead byte
      {"\xE2\x82", r},                                   // truncated at the end
      {"\xE2\x82x", r + "x"},                            // truncated in the middle
      {"\xF0\x9F\x98", r},
      {"\xC0\xAF", r + r},                               // overlong
      {"\xE0\x80\x80", r + r + r},                       // overlong three-byte
      {"\xED\xA0\x80", r + r + r},                       // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},               // above U+10FFFF
      {"\x80\x80", r + r},                               // stray continuations
  };
  for (const auto& [raw, rendered] : cases) EXPECT_EQ(render_path(raw), rendered) << raw;
}

TEST(TrimUnicodeWhitespace, BothEndsOnly) {
  EXPECT_EQ(trim_unicode_whitespace("\u3000 a b \u00a0"), "a b");
  EXPECT_EQ(trim_unicode_whitespace(" \u2029 "), "");
}

// ---------------------------------------------------------------- errno texts

// The module's own wording, whatever the C library would say.
TEST(DescribeErrno, FixedWordingAndUnknownNumbers) {
  EXPECT_EQ(describe_errno(ENOENT), "No such file or directory");
  EXPECT_EQ(describe_errno(ELOOP), "Too many levels of symbolic links");
  EXPECT_EQ(describe_errno(EXDEV), "Invalid cross-device link");
  EXPECT_EQ(describe_errno(EHWPOISON), "Memory page has hardware error");
  EXPECT_EQ(describe_errno(41), "Unknown error 41");
  EXPECT_EQ(describe_errno(134), "Unknown error 134");
  EXPECT_EQ(describe_errno(-1), "Unknown error -1");
  EXPECT_EQ(Failure::from_errno(ENOTEMPTY).text(), "Directory not empty (os error 39)");
}

// ---------------------------------------------------------------- SecretBytes
//
// Array storage given back is inspected just before it is freed: the
// replacement array operators below (malloc/free underneath) copy out the
// first bytes of the one block a test watches. A sanitizer runtime brings its
// own allocation operators, which these would mismatch; there the freed
// storage is not observed.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAVOLIN_OBSERVES_FREES 0
#else
#define TAVOLIN_OBSERVES_FREES 1
#endif

namespace {
const void* g_watched = nullptr;
std::size_t g_watched_size = 0;
std::vector<std::uint8_t> g_seen_at_free;
}  // namespace

#if TAVOLIN_OBSERVES_FREES
void* operator new[](std::size_t size) {
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete[](void* p) noexcept {
  if (p != nullptr && p == g_watched) {
    const auto* bytes = static_cast<const std::uint8_t*>(p);
    g_seen_at_free.assign(bytes, bytes + g_watched_size);
    g_watched = nullptr;
  }
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept { operator delete[](p); }
#endif

namespace {

void watch(const SecretBytes& secret) {
  g_watched = secret.data();
  g_watched_size = secret.size();
  g_seen_at_free.clear();
}

bool freed_wiped(std::size_t size) {
  if (!TAVOLIN_OBSERVES_FREES) return true;  // see above
  return g_watched == nullptr && g_seen_at_free == std::vector<std::uint8_t>(size, 0);
}

const std::vector<std::uint8_t> kKey(32, 0x5A);

}  // namespace

TEST(SecretBytes, StorageIsWipedWhenReleasedMovedOverOrOutgrown) {
  {
    SecretBytes key(kKey);
    watch(key);
  }
  EXPECT_TRUE(freed_wiped(32)) << "released";

  SecretBytes target(std::vector<std::uint8_t>(16, 0x11));
  watch(target);
  target = SecretBytes(kKey);  // the old content goes
  EXPECT_TRUE(freed_wiped(16)) << "assigned over";
  EXPECT_EQ(std::vector<std::uint8_t>(target.span().begin(), target.span().end()), kKey);

  SecretBytes moved(std::move(target));  // the storage changes hands, no copy
  EXPECT_TRUE(target.empty());            // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(target.data(), nullptr);      // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(moved.size(), 32u);

  SecretBytes grown;
  for (int i = 0; i < 64; ++i) grown.push_back(0x77);
  watch(grown);
  grown.push_back(0x77);  // past the capacity: new storage
  EXPECT_TRUE(freed_wiped(64)) << "outgrown";
  EXPECT_EQ(grown.size(), 65u);
  EXPECT_EQ(grown.data()[64], 0x77);
}

TEST(SecretBytes, ClearWipesInPlaceAndKeepsTheStorage) {
  SecretBytes record(kKey);
  const std::uint8_t* storage = record.data();
  record.clear();
  EXPECT_TRUE(record.empty());
  record.resize(32);  // within the capacity: the same storage, now zeros
  EXPECT_EQ(record.data(), storage);
  EXPECT_EQ(std::vector<std::uint8_t>(record.span().begin(), record.span().end()),
            std::vector<std::uint8_t>(32, 0));
}
