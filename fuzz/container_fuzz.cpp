// Fuzz target: the container reader behind range decryption and stable
// identity. The input is the whole file; the master key is fixed (32 bytes of
// 0x42, the key the seed containers are wrapped with).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/crypto.hpp"
#include "container/range.hpp"
#include "identity/identity.hpp"
#include "support/container_support.hpp"

namespace {

const std::string& scratch_path() {
  static const std::string path = [] {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/tavolin-container-fuzz-" + std::to_string(getpid());
  }();
  return path;
}

bool write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  close(fd);
  return done == size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavolin;
  load_algorithms();  // as module initialisation does; once
  const std::string& path = scratch_path();
  if (!write_file(path, data, size)) return 0;
  const std::vector<std::uint8_t> key(32, 0x42);
  std::vector<SecretBytes> keys;
  keys.emplace_back(std::vector<std::uint8_t>(16, 1));
  keys.emplace_back(key);

  // Whole-plaintext identity, then ranges that must agree with each other.
  const auto identity = identity::derive_stable_identity(path, 4096, keys);
  const auto first = container::decrypt_file_range(path, key, 0, 0);
  const auto wide = container::decrypt_file_range(path, key, 0, 99);
  if (first && wide && (*wide)[0] != (*first)[0]) std::abort();
  if (wide && wide->size() != 100) std::abort();
  const auto tail = container::decrypt_file_range(path, key, 70000, 70000 + 5000);
  if (tail && tail->size() != 5001) std::abort();
  (void)identity;
  return 0;
}
