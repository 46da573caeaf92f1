// The cores stop when their Interrupt asks: identity between chunks, the
// copy between steps and on an interrupted open, a batch between paths and
// inside a path. The Python side (signal handlers) is tested through Python.
#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "copy/copy.hpp"
#include "identity/batch_pool.hpp"
#include "identity/identity.hpp"
#include "support/temp_dir.hpp"

using namespace tavolin;

namespace {

// Asks to stop from the `after`-th question on; counts the questions.
class StopAfter final : public Interrupt {
 public:
  explicit StopAfter(int after) : after_(after) {}
  bool should_stop(InterruptMoment) override { return ++asked_ >= after_; }
  std::atomic<int> asked_{0};

 private:
  int after_;
};

class Scratch {
 public:
  std::string sparse(const std::string& name, off_t size) const {
    const std::string path = (std::filesystem::path(dir_) / name).string();
    std::ofstream(path, std::ios::binary).close();
    EXPECT_EQ(::truncate(path.c_str(), size), 0);
    return path;
  }
  test::TempDir temp_{"interrupt_test"};
  const std::string& dir_ = temp_.path();
};

}  // namespace

TEST(Interrupt, IdentityStopsBetweenChunks) {
  const Scratch scratch;
  const std::string path = scratch.sparse("big", off_t{64} << 20);
  StopAfter stop(3);
  const auto result = identity::derive_stable_identity(path, 1 << 20, {}, stop);
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().is_interruption());
  EXPECT_EQ(stop.asked_.load(), 3);  // asked once per chunk, and it stopped at once
}

TEST(Interrupt, CopyStopsAndLeavesTheTargetInPlace) {
  const Scratch scratch;
  const int zero = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);  // endless source
  ASSERT_GE(zero, 0);
  const std::string target = (std::filesystem::path(scratch.dir_) / "out").string();
  StopAfter stop(4);
  const auto copied = copy::copy_descriptor_to_path(zero, target, 65536, stop);
  ::close(zero);
  ASSERT_FALSE(copied);
  EXPECT_TRUE(copied.error().is_interruption());
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 3 * 65536);  // what was written before the stop stays
}

TEST(Interrupt, CopyOpeningAFifoTargetStopsOnlyWhenAsked) {
  const Scratch scratch;
  const std::string fifo = (std::filesystem::path(scratch.dir_) / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int source = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(source, 0);
  // The open waits for a reader; a signal interrupts it, the interrupt says stop.
  StopAfter stop(1);
  const pthread_t caller = ::pthread_self();
  struct sigaction action {};
  action.sa_handler = [](int) {};
  struct sigaction previous {};
  ::sigaction(SIGUSR1, &action, &previous);  // no SA_RESTART: the open fails with EINTR
  std::thread poker([&] {
    while (stop.asked_.load() == 0) {
      ::pthread_kill(caller, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  const auto copied = copy::copy_descriptor_to_path(source, fifo, 4096, stop);
  poker.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  ::close(source);
  ASSERT_FALSE(copied);
  EXPECT_TRUE(copied.error().is_interruption());
}

TEST(Interrupt, BatchStopsItsWorkersAndReportsTheStop) {
  const Scratch scratch;
  std::vector<std::string> paths;
  for (int i = 0; i < 6; ++i) paths.push_back(scratch.sparse(std::to_string(i), off_t{1} << 30));
  auto pool = identity::BatchWorkerPool::start(2);
  ASSERT_TRUE(pool);
  StopAfter stop(2);  // the caller asks every 50 ms; the second question stops the job
  const auto started = std::chrono::steady_clock::now();
  const auto result = (*pool)->run(paths, 1 << 20, {}, stop);
  const auto waited = std::chrono::steady_clock::now() - started;
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().is_interruption());
  // Hashing the six files takes many seconds; the stop ends it long before.
  EXPECT_LT(waited, std::chrono::seconds(5));
  (*pool)->shut_down();
}
