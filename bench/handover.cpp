// The cheapest reading and hashing of a page-cached file, on one core and on
// two, for bench/bench_identity.py's limits:
//   one core:  pread(2) into one buffer, then SHA-256 of it, in turn;
//   two cores: a second thread preads into a ring of buffers while this one
//              hashes them in order; the two hand buffers over by spinning on
//              atomics, the cheapest hand-over there is, so what this costs
//              over SHA-256 of a buffer in the cache is the moving of every
//              byte from the reading core's cache to the hashing core's.
// Usage: bench_handover <path> <buffer bytes> <rounds>
// Prints the best time of each way in seconds: "<one core> <two cores>".
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "common/crypto.hpp"

namespace {

void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

using Clock = std::chrono::steady_clock;
constexpr std::size_t kSlots = 3;

std::size_t read_at(int fd, std::uint8_t* out, std::size_t size, std::uint64_t offset) {
  const ssize_t got = ::pread(fd, out, size, static_cast<off_t>(offset));
  if (got < 0) {
    std::perror("pread");
    std::exit(1);
  }
  return static_cast<std::size_t>(got);
}

void hash(tavolin::Sha256& sha, const std::uint8_t* data, std::size_t size) {
  if (!sha.update({data, size})) std::exit(1);
}

double one_core(int fd, std::size_t piece) {
  std::vector<std::uint8_t> buffer(piece);
  auto sha = tavolin::Sha256::create();
  if (!sha) std::exit(1);
  const auto start = Clock::now();
  std::uint64_t offset = 0;
  while (const std::size_t got = read_at(fd, buffer.data(), piece, offset)) {
    hash(*sha, buffer.data(), got);
    offset += got;
  }
  if (!sha->hex_digest()) std::exit(1);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double two_cores(int fd, std::size_t piece) {
  std::array<std::vector<std::uint8_t>, kSlots> slots;
  for (auto& slot : slots) slot.resize(piece);
  // filled[i]: bytes in slot i plus one, 0 while the slot is free.
  std::array<std::atomic<std::size_t>, kSlots> filled{};
  auto sha = tavolin::Sha256::create();
  if (!sha) std::exit(1);
  const auto start = Clock::now();
  std::thread reader([&] {
    std::uint64_t offset = 0;
    for (std::size_t n = 0;; ++n) {
      auto& flag = filled[n % kSlots];
      while (flag.load(std::memory_order_acquire) != 0) relax();
      const std::size_t got = read_at(fd, slots[n % kSlots].data(), piece, offset);
      offset += got;
      flag.store(got + 1, std::memory_order_release);
      if (got == 0) return;
    }
  });
  for (std::size_t n = 0;; ++n) {
    auto& flag = filled[n % kSlots];
    std::size_t got;
    while ((got = flag.load(std::memory_order_acquire)) == 0) relax();
    if (got == 1) break;
    hash(*sha, slots[n % kSlots].data(), got - 1);
    flag.store(0, std::memory_order_release);
  }
  reader.join();
  if (!sha->hex_digest()) std::exit(1);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: bench_handover <path> <buffer bytes> <rounds>\n", stderr);
    return 2;
  }
  tavolin::load_algorithms();
  const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  const std::size_t piece = std::strtoull(argv[2], nullptr, 10);
  const int rounds = std::atoi(argv[3]);
  double one = 1e30;
  double two = 1e30;
  for (int i = 0; i < rounds; ++i) {
    one = std::min(one, one_core(fd, piece));
    two = std::min(two, two_cores(fd, piece));
  }
  std::printf("%.6f %.6f\n", one, two);
  ::close(fd);
  return 0;
}
