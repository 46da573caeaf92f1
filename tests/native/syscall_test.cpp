// The system-call layer: the EINTR retry and its two questions, the opener,
// and the buffered reader over both sources.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/syscall.hpp"
#include "support/temp_dir.hpp"

using namespace tavolin;

namespace {

// Records the questions; asks to stop from the `stop_at`-th one on.
class Recorder final : public Interrupt {
 public:
  explicit Recorder(int stop_at = 1 << 30) : stop_at_(stop_at) {}
  bool should_stop(InterruptMoment moment) override {
    moments.push_back(moment);
    return static_cast<int>(moments.size()) >= stop_at_;
  }
  std::vector<InterruptMoment> moments;

 private:
  int stop_at_;
};

std::string pattern(std::size_t n) {
  std::string data;
  for (std::size_t i = 0; i < n; ++i) data.push_back(static_cast<char>(i * 7 + i / 251));
  return data;
}

}  // namespace

TEST(Retry, RepeatsAfterEintrAskingThatQuestionEachTime) {
  Recorder recorder;
  int calls = 0;
  const auto result = sys::retry(recorder, [&]() -> int {
    if (++calls <= 3) {
      errno = EINTR;
      return -1;
    }
    return 42;
  });
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, 42);
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(recorder.moments, std::vector<InterruptMoment>(3, InterruptMoment::after_eintr));
}

TEST(Retry, StopsWhenAskedAndMapsOtherErrors) {
  Recorder stop_at_second(2);
  int calls = 0;
  const auto stopped = sys::retry(stop_at_second, [&]() -> ssize_t {
    ++calls;
    errno = EINTR;
    return -1;
  });
  ASSERT_FALSE(stopped);
  EXPECT_TRUE(stopped.error().is_interruption());
  EXPECT_EQ(calls, 2);

  Recorder never;
  const auto failed = sys::retry(never, []() -> int {
    errno = EIO;
    return -1;
  });
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().code, tavolin::FailureCode::os);
  EXPECT_EQ(failed.error().os_error, EIO);
  EXPECT_TRUE(never.moments.empty());
}

TEST(Opener, RefusesANulByteAndMapsTheErrno) {
  const test::TempDir dir("syscall_test");
  const std::string path = dir.file("a", "x");
  NoInterrupt never;
  const auto nul = sys::open(path + std::string(1, '\0') + "b", O_RDONLY, never);
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().code, tavolin::FailureCode::os);
  EXPECT_EQ(nul.error().os_error, 0);
  EXPECT_EQ(nul.error().message, "path contains a NUL byte");
  const auto missing = sys::open(path + "-missing", O_RDONLY, never);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().os_error, ENOENT);
  const auto opened = sys::open(path, O_RDONLY, never);
  ASSERT_TRUE(opened);
  EXPECT_NE(::fcntl(opened->get(), F_GETFD) & FD_CLOEXEC, 0);
  const auto st = sys::fstat(opened->get());
  ASSERT_TRUE(st);
  EXPECT_EQ(st->st_size, 1);
  EXPECT_EQ((sys::fstat(-1).error()).os_error, EBADF);
  EXPECT_EQ((sys::lstat(path + "-missing").error()).os_error, ENOENT);
}

TEST(Reader, ServesAnyRequestPatternInOrderFromEitherSource) {
  const test::TempDir dir("syscall_test");
  const std::string data = pattern(300);
  const std::string path = dir.file("data", data);
  for (const auto source : {sys::Reader::Source::sequential, sys::Reader::Source::positional}) {
    for (std::size_t capacity : {1U, 5U, 64U, 4096U}) {
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      NoInterrupt never;
      sys::Reader reader(fd, capacity, never, source);
      std::string got;
      const std::size_t sizes[] = {1, 3, 7, 5, 2, 100, 64, 1};
      for (std::size_t i = 0;; ++i) {
        if (i % 3 == 2) {  // whole buffers now and then
          const auto block = reader.next_block();
          ASSERT_TRUE(block.has_value());
          if (block->empty()) break;
          got.append(reinterpret_cast<const char*>(block->data()), block->size());
          continue;
        }
        std::vector<std::uint8_t> piece(sizes[i % std::size(sizes)]);
        auto n = reader.read(piece);
        ASSERT_TRUE(n.has_value());
        if (*n == 0) break;
        got.append(reinterpret_cast<const char*>(piece.data()), *n);
      }
      EXPECT_EQ(got, data) << "capacity " << capacity;
      EXPECT_EQ(reader.fetched(), data.size());
      EXPECT_EQ(::lseek(fd, 0, SEEK_CUR),
                source == sys::Reader::Source::positional ? 0 : static_cast<off_t>(data.size()));
      ::close(fd);
    }
  }
}

TEST(Reader, PeekKeepsTheBytesForTheNextRead) {
  const test::TempDir dir("syscall_test");
  const std::string data = pattern(20);
  const std::string path = dir.file("data", data);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  NoInterrupt never;
  sys::Reader reader(fd, 8, never);
  std::uint8_t first[3];
  ASSERT_EQ(*reader.read(first), 3U);  // 8 buffered, 5 left
  const auto front = reader.peek(8);   // moves the 5 to the front, reads 3 more
  ASSERT_TRUE(front);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(front->data()), front->size()),
            data.substr(3, 8));
  const auto block = reader.next_block();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block->data()), block->size()),
            data.substr(3, 8));
  EXPECT_EQ(reader.peek(8)->size(), 8U);
  EXPECT_EQ(reader.next_block()->size(), 8U);
  EXPECT_EQ(reader.peek(8)->size(), 1U);  // the end of the data comes first
  ::close(fd);
}

TEST(Reader, TheExpectedSizeEndsTheDataWithoutAnotherRead) {
  const test::TempDir dir("syscall_test");
  const std::string data = pattern(100);
  const std::string path = dir.file("data", data);
  NoInterrupt never;
  // Told the size: after a short read that completes it, no further read is
  // made, so bytes appended afterwards are not seen (the caller's closing
  // snapshot reports such a change).
  for (const std::uint64_t expected : {std::uint64_t{100}, std::uint64_t{0}, std::uint64_t{60}}) {
    (void)dir.file("data", data);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    sys::Reader reader(fd, 4096, never);
    reader.expect_size(expected);
    ASSERT_EQ(reader.next_block()->size(), 100U);
    std::ofstream(path, std::ios::binary | std::ios::app) << "more";
    const std::size_t after = reader.next_block()->size();
    // 0: procfs-like, read to the end; 60: more than the size came, read on.
    EXPECT_EQ(after, expected == 100 ? 0U : 4U) << expected;
    ::close(fd);
  }
  // A full read does not end the data: the next read finds the end itself.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  sys::Reader exact(fd, 104, never);
  exact.expect_size(104);
  ASSERT_EQ(exact.next_block()->size(), 104U);
  std::ofstream(path, std::ios::binary | std::ios::app) << "x";
  EXPECT_EQ(exact.next_block()->size(), 1U);
  ::close(fd);
}

TEST(Reader, ReadErrorCarriesTheErrorNumber) {
  NoInterrupt never;
  sys::Reader reader(-1, 16, never);
  std::uint8_t byte = 0;
  auto n = reader.read(std::span(&byte, 1));
  ASSERT_FALSE(n.has_value());
  EXPECT_EQ(n.error().code, tavolin::FailureCode::os);
  EXPECT_EQ(n.error().os_error, EBADF);
  sys::Reader positional(-1, 16, never, sys::Reader::Source::positional);
  EXPECT_EQ((positional.peek(8).error()).os_error, EBADF);
}
