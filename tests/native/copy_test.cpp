#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <variant>

#include "copy/copy.hpp"
#include "support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using tavolin::Failure;
using tavolin::FailureCode;
using tavolin::copy::copy_descriptor_to_path;

std::size_t open_descriptor_count() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const fs::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

std::string pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
  return data;
}

class FileCopy : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    dir_ = temp_.path();
    descriptors_before_ = open_descriptor_count();
  }
  void TearDown() override {
    EXPECT_EQ(open_descriptor_count(), descriptors_before_) << "descriptor leaked";
  }

  tavolin::test::TempDir temp_{"file_copy_test"};
  fs::path dir_;
  std::size_t descriptors_before_ = 0;
};

TEST_F(FileCopy, RegularFileFromItsCurrentOffset) {
  const std::string data = pattern(1000);
  write_file(dir_ / "src", data);
  const int fd = ::open((dir_ / "src").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::lseek(fd, 100, SEEK_SET), 100);
  const auto copied = copy_descriptor_to_path(fd, dir_ / "dst", 1048576);
  ASSERT_TRUE(copied.has_value()) << copied.error().text();
  EXPECT_EQ(*copied, 900u);
  EXPECT_EQ(read_file(dir_ / "dst"), data.substr(100));
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 1000);  // shared offset advanced
  // Still open and usable.
  char first = 0;
  ASSERT_EQ(::pread(fd, &first, 1, 0), 1);
  EXPECT_EQ(first, data[0]);
  ::close(fd);
}

TEST_F(FileCopy, EndOfFileTruncatesAnExistingTarget) {
  write_file(dir_ / "src", "abc");
  write_file(dir_ / "dst", "old content");
  const int fd = ::open((dir_ / "src").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::lseek(fd, 0, SEEK_END), 3);
  const auto copied = copy_descriptor_to_path(fd, dir_ / "dst", 1);
  ASSERT_TRUE(copied.has_value());
  EXPECT_EQ(*copied, 0u);
  EXPECT_EQ(fs::file_size(dir_ / "dst"), 0u);
  ::close(fd);
}

TEST_F(FileCopy, PipeAndSocketSourcesForEveryChunkSize) {
  const std::string data = pattern(300000);
  for (std::uint64_t chunk : {std::uint64_t{1}, std::uint64_t{8191}, std::uint64_t{65536}}) {
    for (const bool socket : {false, true}) {
      int ends[2];
      ASSERT_EQ(socket ? ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends)
                       : ::pipe2(ends, O_CLOEXEC),
                0);
      std::thread writer([&] {
        std::size_t done = 0;
        while (done < data.size()) {
          const ssize_t n = ::write(ends[1], data.data() + done, data.size() - done);
          if (n <= 0) break;
          done += static_cast<std::size_t>(n);
        }
        ::close(ends[1]);
      });
      const auto copied = copy_descriptor_to_path(ends[0], dir_ / "dst", chunk);
      writer.join();
      ::close(ends[0]);
      ASSERT_TRUE(copied.has_value()) << copied.error().text();
      EXPECT_EQ(*copied, data.size());
      EXPECT_EQ(read_file(dir_ / "dst"), data) << "chunk " << chunk << " socket " << socket;
    }
  }
}

TEST_F(FileCopy, ProcFileIsReadThroughTheLoop) {
  // procfs reports size 0 and end of data to the kernel routes.
  const int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const auto copied = copy_descriptor_to_path(fd, dir_ / "dst", 1);
  ::close(fd);
  ASSERT_TRUE(copied.has_value());
  EXPECT_GT(*copied, 0u);
  EXPECT_EQ(fs::file_size(dir_ / "dst"), *copied);
  EXPECT_NE(read_file(dir_ / "dst").find(" / "), std::string::npos);
}

TEST_F(FileCopy, CharacterDeviceTargetNeedsNoSync) {
  write_file(dir_ / "src", pattern(5000));
  const int fd = ::open((dir_ / "src").c_str(), O_RDONLY | O_CLOEXEC);
  const auto copied = copy_descriptor_to_path(fd, "/dev/null", 4096);
  ::close(fd);
  ASSERT_TRUE(copied.has_value()) << copied.error().text();
  EXPECT_EQ(*copied, 5000u);
}

TEST_F(FileCopy, FailuresBeforeTheTargetLeaveItUntouched) {
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ::close(fd);  // a closed descriptor number
  const auto closed = copy_descriptor_to_path(fd, dir_ / "dst", 1);
  ASSERT_FALSE(closed.has_value());
  EXPECT_EQ(closed.error().code, FailureCode::os);
  EXPECT_EQ(closed.error().os_error, EBADF);
  EXPECT_FALSE(fs::exists(dir_ / "dst"));

  write_file(dir_ / "src", "data");
  const int src = ::open((dir_ / "src").c_str(), O_RDONLY | O_CLOEXEC);
  const auto missing = copy_descriptor_to_path(src, dir_ / "no" / "dst", 1);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().os_error, ENOENT);
  EXPECT_EQ(::lseek(src, 0, SEEK_CUR), 0);
  const auto directory = copy_descriptor_to_path(src, dir_.string(), 1);
  ASSERT_FALSE(directory.has_value());
  EXPECT_EQ(directory.error().os_error, EISDIR);
  ::close(src);
}

TEST_F(FileCopy, SameFileIsRefusedBeforeTruncation) {
  write_file(dir_ / "src", "precious");
  fs::create_symlink(dir_ / "src", dir_ / "link");
  fs::create_hard_link(dir_ / "src", dir_ / "hard");
  const int fd = ::open((dir_ / "src").c_str(), O_RDONLY | O_CLOEXEC);
  for (const char* name : {"src", "link", "hard"}) {
    const std::string target = (dir_ / name).string();
    const auto got = copy_descriptor_to_path(fd, target, 1048576);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().code, FailureCode::os);
    EXPECT_EQ(got.error().os_error, 0);
    EXPECT_EQ(got.error().text(), "copy source and target are the same file: " + target);
  }
  ::close(fd);
  EXPECT_EQ(read_file(dir_ / "src"), "precious");
}

TEST_F(FileCopy, SymlinkTargetWritesTheLinkedFile) {
  write_file(dir_ / "src", "new");
  write_file(dir_ / "real", "old old old");
  fs::create_symlink(dir_ / "real", dir_ / "link");
  const int fd = ::open((dir_ / "src").c_str(), O_RDONLY | O_CLOEXEC);
  const auto copied = copy_descriptor_to_path(fd, dir_ / "link", 1048576);
  ::close(fd);
  ASSERT_TRUE(copied.has_value());
  EXPECT_TRUE(fs::is_symlink(dir_ / "link"));
  EXPECT_EQ(read_file(dir_ / "real"), "new");
}

TEST_F(FileCopy, NewTargetModeFollowsTheUmask) {
  write_file(dir_ / "src", "x");
  const mode_t old = ::umask(027);
  const int fd = ::open((dir_ / "src").c_str(), O_RDONLY | O_CLOEXEC);
  const auto copied = copy_descriptor_to_path(fd, dir_ / "dst", 1);
  ::close(fd);
  ::umask(old);
  ASSERT_TRUE(copied.has_value());
  struct stat st {};
  ASSERT_EQ(::stat((dir_ / "dst").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(FileCopy, UnallocatableBufferThrowsBadAllocAndClosesEverything) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's allocator aborts on such requests unless told otherwise.
  const char* options = std::getenv("ASAN_OPTIONS");
  if (options == nullptr || std::string_view(options).find("allocator_may_return_null=1") ==
                                std::string_view::npos) {
    GTEST_SKIP() << "needs ASAN_OPTIONS=allocator_may_return_null=1";
  }
#endif
  // The read/write loop (taken for procfs) needs the buffer; the kernel
  // routes need none, so a regular file copies with the same chunk size.
  const std::uint64_t huge = std::uint64_t{1} << 62;
  const int proc = ::open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
  EXPECT_THROW((void)copy_descriptor_to_path(proc, dir_ / "dst", huge), std::bad_alloc);
  EXPECT_THROW((void)copy_descriptor_to_path(proc, dir_ / "dst", UINT64_MAX), std::bad_alloc);
  ::close(proc);
  write_file(dir_ / "src", pattern(10000));
  const int fd = ::open((dir_ / "src").c_str(), O_RDONLY | O_CLOEXEC);
  const auto copied = copy_descriptor_to_path(fd, dir_ / "dst", huge);
  ::close(fd);
  ASSERT_TRUE(copied.has_value());
  EXPECT_EQ(*copied, 10000u);
}

TEST(FileCopyArguments, CheckedInOrder) {
  using tavolin::copy::check_copy_arguments;
  const auto message = [](const tavolin::Result<void>& r) {
    return r.error().code == FailureCode::value ? r.error().message
                                                : std::string("<not a value failure>");
  };
  EXPECT_EQ(message(check_copy_arguments(-1, 0)), "source_fd must be non-negative");
  EXPECT_EQ(message(check_copy_arguments(0, 0)), "chunk_size must be greater than zero");
  EXPECT_TRUE(check_copy_arguments(0, 1).has_value());
}

}  // namespace
