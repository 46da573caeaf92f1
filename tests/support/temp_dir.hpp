// A scratch directory of a native test: made below /tmp with `label` in its
// name, removed with everything in it when the object goes.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace tavolin::test {

class TempDir {
 public:
  explicit TempDir(std::string_view label = "native_test") {
    std::string pattern = "/tmp/";
    pattern.append(label).append("_XXXXXX");
    if (const char* made = ::mkdtemp(pattern.data())) path_ = made;
    EXPECT_FALSE(path_.empty()) << "mkdtemp " << pattern;
  }
  ~TempDir() {
    if (!path_.empty()) std::filesystem::remove_all(path_);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }

  // Writes `content` to the file `name` in the directory; returns its path.
  std::string file(const std::string& name, std::span<const std::uint8_t> content) const {
    std::string full = path_;
    full.append("/").append(name);
    const int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0) << full;
    if (fd < 0) return full;
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    return full;
  }
  std::string file(const std::string& name, std::string_view content) const {
    return file(name, std::span(reinterpret_cast<const std::uint8_t*>(content.data()),
                                content.size()));
  }

 private:
  std::string path_;
};

}  // namespace tavolin::test
