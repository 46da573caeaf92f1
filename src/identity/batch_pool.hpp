// The batch processor: a fixed-size pool of named worker threads that computes
// stable identities for many paths at once and returns them in path order.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "identity/identity.hpp"
#include "common/failure.hpp"

namespace tavolin::identity {

inline constexpr std::uint64_t kMaxWorkerThreads = 65535;

// The worker threads and their shared queue of batch jobs. Each thread holds
// a reference to the pool, so the pool outlives a shut-down until its last
// thread has left; nothing ever joins a busy thread.
class BatchWorkerPool : public std::enable_shared_from_this<BatchWorkerPool> {
 public:
  // Starts `thread_count` threads named "tavolin-batch-<index>". If one cannot
  // be started, the ones already running are stopped and joined, and the
  // result is a resource failure.
  static Result<std::shared_ptr<BatchWorkerPool>> start(std::size_t thread_count);

  BatchWorkerPool(const BatchWorkerPool&) = delete;
  BatchWorkerPool& operator=(const BatchWorkerPool&) = delete;

  // Computes the identity of every path on the pool threads and blocks until
  // the job completes. Identities come back in path order; on failure the
  // first stored failure is returned and every result is dropped.
  //
  // While it waits, the caller's `interrupt` is asked every kInterruptPollInterval
  // (from the calling thread, never from a pool thread). When it asks to
  // stop, no further path is handed out, the workers stop within one chunk,
  // and once they have left the job the result is Failure::interrupted().
  //
  // Concurrent calls share the threads: each free thread takes one path of
  // the running jobs in turn, each call waits only for its own job, and a
  // failure stops only the job it belongs to. If the interrupt forks (a
  // signal handler calling fork), the call goes on in the child by
  // computing the whole job on the calling thread there.
  Result<std::vector<StableIdentity>> run(std::vector<std::string> paths, std::uint64_t chunk_size,
                                          std::vector<SecretBytes> master_keys, Interrupt& interrupt);
  Result<std::vector<StableIdentity>> run(std::vector<std::string> paths, std::uint64_t chunk_size,
                                          std::vector<SecretBytes> master_keys) {
    NoInterrupt never;
    return run(std::move(paths), chunk_size, std::move(master_keys), never);
  }

  // Threads finish queued jobs, then exit. Does not wait for them.
  void shut_down();

  [[nodiscard]] std::size_t thread_count() const { return thread_count_; }

 private:
  struct Job;
  struct StartArgs;

  explicit BatchWorkerPool(std::size_t thread_count) : thread_count_(thread_count) {}
  static void* thread_entry(void* raw);
  void worker_loop();
  // With mutex_ held: marks a job that no thread works on any more as done.
  static void finish_if_idle(Job& job);
  // With mutex_ held: takes `job` off the queue, where it is, keeping the
  // turn on the job that was next.
  void unqueue(const std::shared_ptr<Job>& job);
  // Computes path `index` of `job` into its result slot; false when the job
  // is to stop (this path failed, or the job was stopped).
  static bool compute_path(Job& job, std::size_t index, Interrupt& interrupt);
  // Computes the remaining paths of `job` on the calling thread.
  static void work_on(Job& job, Interrupt& interrupt);
  // The caller's wait went on in a child forked by a signal handler.
  static Result<std::vector<StableIdentity>> run_in_forked_child(std::shared_ptr<Job> abandoned,
                                                                 bool interrupted,
                                                                 Interrupt& interrupt);

  const std::size_t thread_count_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable thread_started_;
  // Guarded by mutex_: the running jobs, and the one whose turn is next.
  std::deque<std::shared_ptr<Job>> queue_;
  std::size_t next_turn_ = 0;
  bool stopping_ = false;
  std::size_t live_threads_ = 0;   // started and not yet left worker_loop
  std::size_t named_threads_ = 0;  // have named themselves and are about to wait for work
};

// What a Python BatchProcessor object owns: the pool of the process it is
// used in. After a fork the child has none of the parent's threads, so the
// first use in the child starts a fresh pool.
class BatchProcessor {
 public:
  static Result<std::unique_ptr<BatchProcessor>> create(std::uint64_t worker_count);

  BatchProcessor(const BatchProcessor&) = delete;
  BatchProcessor& operator=(const BatchProcessor&) = delete;
  // Tells the pool to stop; never waits for busy threads.
  ~BatchProcessor();

  // The pool for this process, started anew after a fork. Calls must not run
  // concurrently with each other or with destruction (the binding holds the
  // interpreter lock around them).
  Result<std::shared_ptr<BatchWorkerPool>> current_pool();

 private:
  BatchProcessor(std::size_t threads, std::shared_ptr<BatchWorkerPool> pool)
      : threads_(threads), owner_pid_(::getpid()), pool_(std::move(pool)) {}

  std::size_t threads_;
  pid_t owner_pid_;
  std::shared_ptr<BatchWorkerPool> pool_;
};

}  // namespace tavolin::identity
