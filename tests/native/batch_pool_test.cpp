// Batch worker pool internals that Python cannot reach: failed thread starts,
// many concurrent jobs on one pool, and a shutdown while a job runs. Order,
// failures, names and fork are tested through Python.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/thread.hpp"
#include "identity/batch_pool.hpp"
#include "support/temp_dir.hpp"

using namespace tavolin;
using namespace tavolin::identity;

namespace {

class Corpus {
 public:
  Corpus() {
    std::mt19937 rng(7);
    const std::size_t sizes[] = {0, 1, 4096, 3 << 20, 17, 700000, 9};
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
      std::string content(sizes[i], '\0');
      for (char& c : content) c = static_cast<char>(rng());
      paths_.push_back(dir_.file(std::string("f").append(std::to_string(i)), content));
    }
  }
  [[nodiscard]] const std::vector<std::string>& paths() const { return paths_; }
  [[nodiscard]] const std::string& dir() const { return dir_.path(); }

 private:
  test::TempDir dir_{"batch_test"};
  std::vector<std::string> paths_;
};

std::vector<StableIdentity> one_by_one(const std::vector<std::string>& paths) {
  std::vector<StableIdentity> out;
  for (const auto& path : paths) out.push_back(*derive_stable_identity(path, 1 << 20, {}));
  return out;
}

std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name) && name.starts_with("tavolin-batch")) names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// Waits until no pool thread of this process is left.
bool pool_threads_gone() {
  for (int i = 0; i < 500; ++i) {
    if (thread_names().empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::atomic<int> g_starts{0};
int g_fail_at = 0;
int fail_at_nth_start(pthread_t* thread, void* (*entry)(void*), void* arg) {
  if (g_starts.fetch_add(1) == g_fail_at) return EAGAIN;
  return ::pthread_create(thread, nullptr, entry, arg);
}

}  // namespace

TEST(BatchPool, ConcurrentJobsShareThePool) {
  Corpus corpus;
  auto processor = BatchProcessor::create(2);
  ASSERT_TRUE(processor.has_value());
  auto pool = (*processor)->current_pool();
  ASSERT_TRUE(pool.has_value());
  std::vector<std::vector<std::string>> lists;
  for (int i = 0; i < 4; ++i) {
    std::vector<std::string> paths = corpus.paths();
    std::shuffle(paths.begin(), paths.end(), std::mt19937(i));
    lists.push_back(paths);
  }
  std::atomic<int> mismatches{0};
  std::vector<std::thread> callers;
  for (const auto& paths : lists) {
    callers.emplace_back([&, paths] {
      const auto wanted = one_by_one(paths);
      for (int round = 0; round < 3; ++round) {
        auto got = (*pool)->run(paths, 1 << 20, {});
        if (!got || *got != wanted) ++mismatches;
      }
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(BatchPool, DestroyedProcessorLetsARunningJobFinish) {
  Corpus corpus;
  std::vector<std::string> paths;
  for (int i = 0; i < 30; ++i) paths.insert(paths.end(), corpus.paths().begin(), corpus.paths().end());
  auto processor = BatchProcessor::create(2);
  ASSERT_TRUE(processor.has_value());
  auto pool = (*processor)->current_pool();
  ASSERT_TRUE(pool.has_value());
  Result<std::vector<StableIdentity>> result = std::vector<StableIdentity>{};
  std::thread caller([&] { result = (*pool)->run(paths, 4096, {}); });
  processor->reset();  // tells the pool to stop; must not wait for or break the job
  caller.join();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(*result, one_by_one(paths));
  pool->reset();
  EXPECT_TRUE(pool_threads_gone());
}

TEST(BatchPool, FailedThreadStartStopsTheStartedThreads) {
  ASSERT_TRUE(pool_threads_gone());
  g_starts = 0;
  g_fail_at = 3;
  set_thread_starter(&fail_at_nth_start);
  auto processor = BatchProcessor::create(6);
  set_thread_starter(nullptr);
  ASSERT_FALSE(processor.has_value());
  EXPECT_EQ(processor.error().code, tavolin::FailureCode::resource);
  EXPECT_EQ(processor.error().message,
            "failed to create Rayon batch processor: Resource temporarily unavailable (os error 11)");
  EXPECT_EQ(g_starts.load(), 4);
  // The three started threads were joined before the failure was returned.
  EXPECT_TRUE(thread_names().empty());
}
