#include "identity/batch_pool.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <utility>

#include "common/forced_unwind.hpp"
#include "common/messages.hpp"
#include "common/thread.hpp"

namespace tavolin::identity {

// One batch: the converted arguments, a claim counter that free threads take
// the next index from, one at a time and in turn with the other running jobs
// (so files of very different sizes spread across the threads), the stop
// flag and the error slot shared by its workers, and one output slot per
// path.
struct BatchWorkerPool::Job {
  std::vector<std::string> paths;
  std::uint64_t chunk_size = 0;
  std::vector<SecretBytes> master_keys;  // wiped when the job is released

  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex error_slot;  // only ever tried, never waited for
  std::optional<Failure> failure;
  std::exception_ptr exception;
  std::vector<std::optional<StableIdentity>> results;

  // Guarded by the pool mutex.
  std::size_t participants = 0;
  bool done = false;
  std::condition_variable finished;

  [[nodiscard]] bool exhausted() const {
    return stop.load(std::memory_order_acquire) ||
           next.load(std::memory_order_relaxed) >= paths.size();
  }

  // Stores the first failure that wins the slot; the rest are dropped.
  template <class Store>
  void record_failure(Store&& store) {
    if (error_slot.try_lock()) {
      if (!failure && !exception) store();
      error_slot.unlock();
    }
    stop.store(true, std::memory_order_release);
  }
};

struct BatchWorkerPool::StartArgs {
  std::shared_ptr<BatchWorkerPool> pool;
  std::size_t index;
};

Result<std::shared_ptr<BatchWorkerPool>> BatchWorkerPool::start(std::size_t thread_count) {
  std::shared_ptr<BatchWorkerPool> pool(new BatchWorkerPool(thread_count));
  std::vector<pthread_t> started;
  started.reserve(thread_count);

  // A worker is never interrupted: the signals are for the interpreter's thread.
  const auto stop_started = [&] {
    pool->shut_down();
    for (pthread_t thread : started) ::pthread_join(thread, nullptr);  // idle: they leave at once
  };
  int start_error = 0;
  try {
    for (std::size_t i = 0; i < thread_count; ++i) {
      auto args = std::make_unique<StartArgs>(StartArgs{pool, i});
      pthread_t thread{};
      {
        const std::lock_guard lock(pool->mutex_);
        ++pool->live_threads_;
      }
      start_error = start_thread(&thread, &BatchWorkerPool::thread_entry, args.get());
      if (start_error != 0) {
        const std::lock_guard lock(pool->mutex_);
        --pool->live_threads_;
        break;
      }
      args.release();  // owned by the new thread
      started.push_back(thread);
    }
  } catch (...) {
    stop_started();
    throw;
  }

  if (start_error != 0) {
    stop_started();
    return std::unexpected(
        Failure::resource(messages::pool_not_started(Failure::from_errno(start_error).text())));
  }
  for (pthread_t thread : started) ::pthread_detach(thread);
  // Every thread carries its name before the pool is handed out.
  std::unique_lock lock(pool->mutex_);
  pool->thread_started_.wait(lock, [&] { return pool->named_threads_ == started.size(); });
  lock.unlock();
  return pool;
}

void* BatchWorkerPool::thread_entry(void* raw) {
  const std::unique_ptr<StartArgs> args(static_cast<StartArgs*>(raw));
  char name[16];  // the kernel's limit: 15 bytes and the terminator; longer names are cut
  std::snprintf(name, sizeof name, "tavolin-batch-%zu", args->index);
  ::pthread_setname_np(::pthread_self(), name);
  {
    const std::lock_guard lock(args->pool->mutex_);
    ++args->pool->named_threads_;
  }
  args->pool->thread_started_.notify_all();
  args->pool->worker_loop();
  return nullptr;
}

void BatchWorkerPool::shut_down() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
}

void BatchWorkerPool::finish_if_idle(Job& job) {
  if (job.participants == 0 && !job.done) {
    job.done = true;
    job.finished.notify_all();
  }
}

void BatchWorkerPool::unqueue(const std::shared_ptr<Job>& job) {
  if (const auto at = std::find(queue_.begin(), queue_.end(), job); at != queue_.end()) {
    if (static_cast<std::size_t>(at - queue_.begin()) < next_turn_) --next_turn_;
    queue_.erase(at);
  }
}

void BatchWorkerPool::worker_loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [&] { return !queue_.empty() || stopping_; });
    if (queue_.empty()) {  // told to stop and nothing left to do
      --live_threads_;
      return;
    }

    // The running jobs take turns: each free thread takes one path of the
    // next job in order, so a small job started behind a large one waits
    // about one file of each thread, not for the large job to end.
    if (next_turn_ >= queue_.size()) next_turn_ = 0;
    const std::shared_ptr<Job> job = queue_[next_turn_];
    const std::size_t index = job->exhausted() ? job->paths.size()
                                               : job->next.fetch_add(1, std::memory_order_relaxed);
    if (index >= job->paths.size()) {
      // Every index is claimed (or the job stopped): no thread joins it again.
      unqueue(job);
      finish_if_idle(*job);
      continue;
    }
    ++next_turn_;
    ++job->participants;
    lock.unlock();
    FlagInterrupt stop_flag(job->stop);
    compute_path(*job, index, stop_flag);
    lock.lock();
    --job->participants;
    if (job->exhausted()) {
      unqueue(job);
      finish_if_idle(*job);
    }
  }
}

TAVOLIN_LETS_FORCED_UNWIND_THROUGH bool BatchWorkerPool::compute_path(Job& job, std::size_t index, Interrupt& interrupt) {
  Result<StableIdentity> identity;
  try {
    // The workers keep every call on their own thread: their cores are busy.
    identity = derive_stable_identity(job.paths[index], job.chunk_size, job.master_keys,
                                      interrupt, ReadAheadUse::serial);
  } catch (const ForcedUnwind&) {
    throw;  // the thread is being ended: let it unwind
  } catch (...) {
    pass_forced_unwind();
    job.record_failure([&] { job.exception = std::current_exception(); });
    return false;
  }
  if (!identity && identity.error().is_interruption()) {
    job.stop.store(true, std::memory_order_release);  // the job was stopped; nothing to report
    return false;
  }
  if (!identity) {
    job.record_failure([&] { job.failure = std::move(identity.error()); });
    return false;
  }
  if (job.stop.load(std::memory_order_acquire)) return false;  // another path failed: drop it
  job.results[index] = std::move(*identity);
  return true;
}

void BatchWorkerPool::work_on(Job& job, Interrupt& interrupt) {
  const std::size_t count = job.paths.size();
  while (!job.stop.load(std::memory_order_acquire)) {
    const std::size_t index = job.next.fetch_add(1, std::memory_order_relaxed);
    if (index >= count) return;
    if (!compute_path(job, index, interrupt)) return;
  }
}

namespace {

// The outcome of a job whose workers have all left it.
Result<std::vector<StableIdentity>> job_outcome(
    bool interrupted, const std::exception_ptr& exception, std::optional<Failure>& failure,
    std::vector<std::optional<StableIdentity>>& results) {
  if (interrupted) return std::unexpected(Failure::interrupted());
  if (exception) std::rethrow_exception(exception);
  if (failure) return std::unexpected(Failure(std::move(*failure)));
  std::vector<StableIdentity> out;
  out.reserve(results.size());
  for (auto& slot : results) {
    if (!slot) {
      return std::unexpected(
          Failure::internal("batch job completed without a result for a path"));
    }
    out.push_back(std::move(*slot));
  }
  return out;
}

}  // namespace

Result<std::vector<StableIdentity>> BatchWorkerPool::run_in_forked_child(
    std::shared_ptr<Job> abandoned, bool interrupted, Interrupt& interrupt) {
  // The parent's workers do not exist here, and the job and the pool are as
  // they were at the fork: a worker may have held the pool's mutex or been
  // writing a result. Neither is touched again. The job is let go without
  // being destroyed; only its arguments, fixed before it was submitted, are
  // taken from it, and the whole batch is computed anew on this thread.
  auto* leaked = new std::shared_ptr<Job>(std::move(abandoned));
  Job& old = **leaked;
  if (interrupted) {
    for (SecretBytes& key : old.master_keys) key.release();
    return std::unexpected(Failure::interrupted());
  }
  Job fresh;
  fresh.paths = std::move(old.paths);
  fresh.chunk_size = old.chunk_size;
  fresh.master_keys = std::move(old.master_keys);
  fresh.results.resize(fresh.paths.size());
  work_on(fresh, interrupt);
  const bool stopped =
      fresh.stop.load(std::memory_order_acquire) && !fresh.failure && !fresh.exception;
  return job_outcome(stopped, fresh.exception, fresh.failure, fresh.results);
}

Result<std::vector<StableIdentity>> BatchWorkerPool::run(std::vector<std::string> paths,
                                                         std::uint64_t chunk_size,
                                                         std::vector<SecretBytes> master_keys,
                                                         Interrupt& interrupt) {
  if (paths.empty()) return std::vector<StableIdentity>{};
  auto job = std::make_shared<Job>();
  job->results.resize(paths.size());
  job->paths = std::move(paths);
  job->chunk_size = chunk_size;
  job->master_keys = std::move(master_keys);
  bool interrupted = false;
  std::unique_lock lock(mutex_);
  if (live_threads_ == 0) {
    // Every thread has already left after a shut-down: the caller computes
    // the job itself rather than waiting for threads that will not come.
    lock.unlock();
    work_on(*job, interrupt);
    interrupted = job->stop.load(std::memory_order_acquire) && !job->failure && !job->exception;
  } else {
    // A live thread leaves only once the queue is empty, so it takes this job.
    const pid_t submitted_in = ::getpid();
    queue_.push_back(job);
    lock.unlock();
    work_ready_.notify_all();
    lock.lock();
    while (!job->finished.wait_for(lock, kInterruptPollInterval, [&] { return job->done; })) {
      if (interrupted) continue;  // already stopping: wait for the workers to leave
      lock.unlock();  // the interrupt may take the interpreter lock
      interrupted = interrupt.stop_between_steps();
      // A signal handler may have forked: this thread then goes on in the
      // child, where no worker will ever finish the job.
      if (::getpid() != submitted_in) {
        return run_in_forked_child(std::move(job), interrupted, interrupt);
      }
      lock.lock();
      if (!interrupted) continue;
      job->stop.store(true, std::memory_order_release);
      if (job->participants == 0 && !job->done) {
        // Still waiting behind other jobs: no worker will ever need it.
        unqueue(job);
        job->done = true;
      }
    }
    lock.unlock();
  }
  return job_outcome(interrupted, job->exception, job->failure, job->results);
}

Result<std::unique_ptr<BatchProcessor>> BatchProcessor::create(std::uint64_t worker_count) {
  if (worker_count == 0) return std::unexpected(Failure::value(messages::kWorkerCount));
  const auto threads = static_cast<std::size_t>(std::min(worker_count, kMaxWorkerThreads));
  auto pool = TAVOLIN_TRY(BatchWorkerPool::start(threads));
  return std::unique_ptr<BatchProcessor>(new BatchProcessor(threads, std::move(pool)));
}

BatchProcessor::~BatchProcessor() {
  // In a forked child that never used this processor, the pool is the
  // parent's copy: its threads do not exist here and its mutex may have been
  // held at the fork, so it is left untouched. Dropping the reference cannot
  // free it, since the parent's threads' references were copied too.
  if (pool_ && ::getpid() == owner_pid_) pool_->shut_down();
}

Result<std::shared_ptr<BatchWorkerPool>> BatchProcessor::current_pool() {
  const pid_t pid = ::getpid();
  if (pid != owner_pid_) {
    auto fresh = TAVOLIN_TRY(BatchWorkerPool::start(threads_));
    pool_ = std::move(fresh);  // see the destructor on the parent's copy
    owner_pid_ = pid;
  }
  return pool_;
}

}  // namespace tavolin::identity
