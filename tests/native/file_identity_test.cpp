// Stable identity core: path rendering, the buffered reader, digests and the
// refusals that happen before any content is read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "file_identity/identity.hpp"

using namespace tavolin;
using namespace tavolin::identity;

namespace {

class TempDir {
 public:
  TempDir() {
    std::string pattern = "/tmp/identity_test_XXXXXX";
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  [[nodiscard]] std::string file(const std::string& name, const std::string& content) const {
    const std::string full = path_ + "/" + name;
    std::ofstream(full, std::ios::binary) << content;
    return full;
  }
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

IoResult<StableIdentity> identity_of(const std::string& path, std::uint64_t chunk_size = 1 << 20) {
  return derive_stable_identity(path, chunk_size, {});
}

}  // namespace

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

TEST(Snapshot, ModificationTimeUses128BitNanoseconds) {
  struct ::stat st {};
  st.st_mtim.tv_sec = -2;
  st.st_mtim.tv_nsec = 5;
  EXPECT_EQ(IdentitySnapshot::of(st).mtime_ns, static_cast<__int128>(-1'999'999'995));
  st.st_mtim.tv_sec = LONG_MAX;
  st.st_mtim.tv_nsec = 999'999'999;
  const __int128 expected = static_cast<__int128>(LONG_MAX) * 1'000'000'000 + 999'999'999;
  EXPECT_EQ(IdentitySnapshot::of(st).mtime_ns, expected);
  EXPECT_GT(IdentitySnapshot::of(st).mtime_ns, static_cast<__int128>(LONG_MAX));
}

TEST(FdReader, ServesAnyRequestPatternInOrder) {
  TempDir dir;
  std::string data;
  for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i * 7));
  const std::string path = dir.file("data", data);
  for (std::size_t capacity : {1U, 5U, 64U, 4096U}) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    FdReader reader(fd, capacity);
    std::string got;
    const std::size_t pattern[] = {1, 3, 7, 5, 2, 100, 64, 1};
    for (std::size_t i = 0;; ++i) {
      std::vector<std::uint8_t> piece(pattern[i % std::size(pattern)]);
      auto n = reader.read(piece);
      ASSERT_TRUE(n.has_value());
      if (*n == 0) break;
      got.append(reinterpret_cast<const char*>(piece.data()), *n);
    }
    ::close(fd);
    EXPECT_EQ(got, data) << "capacity " << capacity;
  }
}

TEST(FdReader, ReadErrorCarriesTheErrorNumber) {
  FdReader reader(-1, 16);
  std::uint8_t byte = 0;
  auto n = reader.read(std::span(&byte, 1));
  ASSERT_FALSE(n.has_value());
  EXPECT_EQ(n.error().kind, IoKind::os);
  EXPECT_EQ(n.error().os_error, EBADF);
}

TEST(StableIdentity, DigestsMatchKnownVectorsForEveryChunkSize) {
  TempDir dir;
  const std::string empty = dir.file("empty", "");
  const std::string abc = dir.file("abc", "abc");
  const std::string million = dir.file("million", std::string(1'000'000, 'a'));
  for (std::uint64_t chunk : {std::uint64_t{7}, std::uint64_t{4096}, std::uint64_t{1} << 20,
                              MAX_READ_CHUNK_SIZE}) {
    EXPECT_EQ(identity_of(empty, chunk)->digest,
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(identity_of(abc, chunk)->digest,
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(identity_of(million, chunk)->digest,
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  }
}

TEST(StableIdentity, SizeAndTimeComeFromTheFile) {
  TempDir dir;
  const std::string path = dir.file("f", "12345");
  const struct timespec times[2] = {{0, 0}, {-86400, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  auto id = identity_of(path);
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(id->size, 5U);
  EXPECT_EQ(id->mtime_ns, static_cast<__int128>(-86400) * 1'000'000'000 + 123456789);
}

TEST(StableIdentity, PrefixOfTheMagicIsPlain) {
  TempDir dir;
  const std::string path = dir.file("f", "QVENC01");
  for (std::uint64_t chunk : {1, 4096}) {
    auto id = identity_of(path, chunk);
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(id->digest, "f511388fd6b867cd622084281897553a2be2031f103efa72eba0a3a1ca15428c");
    EXPECT_EQ(id->size, 7U);
  }
}

TEST(StableIdentity, RefusalsBeforeContent) {
  TempDir dir;
  const std::string target = dir.file("target", "x");
  const std::string link = dir.path() + "/link";
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  auto loop = identity_of(link);
  ASSERT_FALSE(loop.has_value());
  EXPECT_EQ(loop.error().kind, IoKind::os);
  EXPECT_EQ(loop.error().os_error, ELOOP);

  auto missing = identity_of(dir.path() + "/missing");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().os_error, ENOENT);

  for (const std::string& path : {dir.path(), fifo}) {  // the FIFO open must not block
    auto refused = identity_of(path);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind, IoKind::invalid_input);
    EXPECT_EQ(refused.error().message, "stable identity source is not a regular file: " + path);
  }

  auto nul = identity_of(std::string("/tmp/a\0b", 8));
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ(nul.error().kind, IoKind::invalid_input);

  auto zero = identity_of(target, 0);
  ASSERT_FALSE(zero.has_value());
  EXPECT_EQ(zero.error().message, "chunk_size must be greater than zero");
}

TEST(StableIdentity, NoDescriptorLeftOpen) {
  TempDir dir;
  const std::string plain = dir.file("plain", "data");
  const std::string garbage = dir.file("garbage", std::string("QVENC01\n", 8) + "junk");
  const int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(probe, 0);
  ::close(probe);
  for (const std::string& path : {plain, garbage, dir.path(), dir.path() + "/missing"}) {
    (void)identity_of(path);
  }
  // The lowest free descriptor is unchanged: nothing stayed open.
  const int next = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(next, probe);
  ::close(next);
}
