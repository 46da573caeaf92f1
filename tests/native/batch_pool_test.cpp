// Batch worker pool: ordering, first failures, concurrent jobs, thread names,
// failed thread starts and shutdown while a job runs.
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

#include "file_identity/batch_pool.hpp"

using namespace tavolin;
using namespace tavolin::identity;

namespace {

class Corpus {
 public:
  Corpus() {
    std::string pattern = "/tmp/batch_test_XXXXXX";
    dir_ = ::mkdtemp(pattern.data());
    std::mt19937 rng(7);
    const std::size_t sizes[] = {0, 1, 4096, 3 << 20, 17, 700000, 9};
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
      std::string content(sizes[i], '\0');
      for (char& c : content) c = static_cast<char>(rng());
      paths_.push_back(dir_ + "/f" + std::to_string(i));
      std::ofstream(paths_.back(), std::ios::binary) << content;
    }
  }
  ~Corpus() { std::filesystem::remove_all(dir_); }
  [[nodiscard]] const std::vector<std::string>& paths() const { return paths_; }
  [[nodiscard]] const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
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
  return start_default_thread(thread, entry, arg);
}

}  // namespace

TEST(BatchPool, ResultsFollowPathOrderForEveryThreadCount) {
  Corpus corpus;
  std::vector<std::string> paths = corpus.paths();
  paths.insert(paths.end(), {corpus.paths()[3], corpus.paths()[0], corpus.paths()[3]});
  std::shuffle(paths.begin(), paths.end(), std::mt19937(3));
  const auto wanted = one_by_one(paths);
  for (std::uint64_t workers : {1, 2, 5}) {
    auto processor = BatchProcessor::create(workers);
    ASSERT_TRUE(processor.has_value());
    auto got = (*processor)->stable_file_identities(paths, 1 << 20, {});
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, wanted) << workers << " workers";
    auto empty = (*processor)->stable_file_identities({}, 1 << 20, {});
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());
  }
  ASSERT_TRUE(pool_threads_gone());
}

TEST(BatchPool, ArgumentRefusals) {
  auto zero = BatchProcessor::create(0);
  ASSERT_FALSE(zero.has_value());
  EXPECT_EQ(std::get<ValidationFailure>(zero.error()).message,
            "worker_count must be greater than zero");
  auto processor = BatchProcessor::create(1);
  ASSERT_TRUE(processor.has_value());
  for (std::uint64_t chunk : {std::uint64_t{0}, MAX_READ_CHUNK_SIZE + 1}) {
    auto refused = (*processor)->stable_file_identities({"/nonexistent"}, chunk, {});
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(std::get<ValidationFailure>(refused.error()).message,
              "chunk_size must be greater than zero");
  }
}

TEST(BatchPool, OneWorkerReportsTheFirstFailureInPathOrder) {
  Corpus corpus;
  auto processor = BatchProcessor::create(1);
  ASSERT_TRUE(processor.has_value());
  auto failed = (*processor)->stable_file_identities(
      {corpus.paths()[0], corpus.dir(), corpus.dir() + "/missing"}, 1 << 20, {});
  ASSERT_FALSE(failed.has_value());
  const auto& io = std::get<IoFailure>(failed.error());
  EXPECT_EQ(io.message, "stable identity source is not a regular file: " + corpus.dir());
  // The pool stays usable.
  auto again = (*processor)->stable_file_identities(corpus.paths(), 1 << 20, {});
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(*again, one_by_one(corpus.paths()));
}

TEST(BatchPool, SeveralWorkersStillFailTheWholeBatch) {
  Corpus corpus;
  std::vector<std::string> paths;
  for (int i = 0; i < 20; ++i) paths.insert(paths.end(), corpus.paths().begin(), corpus.paths().end());
  paths.insert(paths.begin() + 40, corpus.dir() + "/missing");
  auto processor = BatchProcessor::create(3);
  ASSERT_TRUE(processor.has_value());
  auto failed = (*processor)->stable_file_identities(paths, 4096, {});
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(std::get<IoFailure>(failed.error()).os_error, ENOENT);
}

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

TEST(BatchPool, ThreadsAreNamedAndStopWithTheProcessor) {
  ASSERT_TRUE(pool_threads_gone());
  {
    auto processor = BatchProcessor::create(12);
    ASSERT_TRUE(processor.has_value());
    std::vector<std::string> expected;
    for (int i = 0; i < 10; ++i) expected.push_back("tavolin-batch-" + std::to_string(i));
    expected.insert(expected.end(), 2, "tavolin-batch-1");  // 10 and 11, cut to 15 bytes
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(thread_names(), expected);
  }
  EXPECT_TRUE(pool_threads_gone());
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
  auto processor = BatchProcessor::create(6, fail_at_nth_start);
  ASSERT_FALSE(processor.has_value());
  EXPECT_EQ(std::get<ResourceFailure>(processor.error()).message,
            "failed to create Rayon batch processor: Resource temporarily unavailable (os error 11)");
  EXPECT_EQ(g_starts.load(), 4);
  // The three started threads were joined before the failure was returned.
  EXPECT_TRUE(thread_names().empty());
}
