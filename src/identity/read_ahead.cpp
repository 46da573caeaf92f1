#include "identity/read_ahead.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>

#include "common/forced_unwind.hpp"
#include "common/thread.hpp"

namespace tavolin::identity {

namespace {

// ---------------------------------------------------------------- CPUs

}  // namespace

std::size_t cgroup_folder_cpus(const std::string& folder) {
  long long quota = -1;
  long long period = 0;
  if (std::ifstream v2(folder + "/cpu.max"); v2) {
    std::string first;
    v2 >> first >> period;
    if (!v2 || first == "max") return 0;
    quota = std::strtoll(first.c_str(), nullptr, 10);
  } else if (std::ifstream v1q(folder + "/cpu.cfs_quota_us"); v1q) {
    std::ifstream v1p(folder + "/cpu.cfs_period_us");
    v1q >> quota;
    v1p >> period;
    if (!v1q || !v1p) return 0;
  }
  if (quota <= 0 || period <= 0) return 0;
  return std::max<std::size_t>(1, static_cast<std::size_t>(quota / period));
}

namespace {

// The smallest CPU quota on the way from the process's cgroup up to the
// root, in whole CPUs; 0 when none is set.
std::size_t cgroup_cpus() {
  std::ifstream cgroups("/proc/self/cgroup");
  std::string line;
  std::size_t smallest = 0;
  while (std::getline(cgroups, line)) {
    // "0::/path" (v2), or "N:cpu,cpuacct:/path" (v1).
    const auto first = line.find(':');
    const auto second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    std::string mount;
    if (controllers.empty()) {
      mount = "/sys/fs/cgroup";
    } else if (controllers == "cpu" || controllers.starts_with("cpu,") ||
               controllers.find(",cpu,") != std::string::npos ||
               controllers.ends_with(",cpu")) {
      mount = "/sys/fs/cgroup/" + controllers;
    } else {
      continue;
    }
    std::string path = line.substr(second + 1);
    for (;;) {
      const std::size_t cpus = cgroup_folder_cpus(mount + path);
      if (cpus != 0 && (smallest == 0 || cpus < smallest)) smallest = cpus;
      if (path.empty() || path == "/") break;
      path.resize(path.find_last_of('/'));
    }
  }
  return smallest;
}

// Whether the machine has a CPU to spare at this moment: fewer runnable
// threads, this one included, than online CPUs (the fourth field of
// /proc/loadavg, "runnable/total"). True when that cannot be told.
std::atomic<bool> g_load_checked{true};
bool machine_has_idle_cpu() {
  if (!g_load_checked.load(std::memory_order_relaxed)) return true;
  const int fd = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  char text[256];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return true;
  text[n] = '\0';
  long long runnable = 0;
  if (std::sscanf(text, "%*s %*s %*s %lld/", &runnable) != 1) return true;
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online <= 0 || runnable < online;
}

// ---------------------------------------------------------------- places

// The read-aheads running in this process: the process id in the high half
// (a child forked meanwhile starts from none), the count in the low half.
std::atomic<std::uint64_t> g_places{0};

bool take_place() {
  const std::size_t limit = read_ahead_limit();
  const auto pid = static_cast<std::uint64_t>(static_cast<std::uint32_t>(::getpid())) << 32;
  std::uint64_t seen = g_places.load();
  for (;;) {
    const std::uint64_t running = (seen & ~std::uint64_t{0xffffffff}) == pid ? seen & 0xffffffff : 0;
    if (running >= limit) return false;
    if (g_places.compare_exchange_weak(seen, pid | (running + 1))) return true;
  }
}

void release_place() {
  const auto pid = static_cast<std::uint64_t>(static_cast<std::uint32_t>(::getpid())) << 32;
  std::uint64_t seen = g_places.load();
  while ((seen & ~std::uint64_t{0xffffffff}) == pid && (seen & 0xffffffff) != 0) {
    if (g_places.compare_exchange_weak(seen, seen - 1)) return;
  }
}

// ---------------------------------------------------------------- waiting

// Waits for `ready()` for at most kReadAheadSpin, first with the processor's
// pause, then giving the CPU to whatever else may run on it; true once
// ready. The caller sleeps on the condition variable after a false.
template <class Ready>
bool spin_until(Ready ready) {
  const auto until = std::chrono::steady_clock::now() + kReadAheadSpin;
  for (unsigned i = 1;; ++i) {
    if (ready()) return true;
    if (i < 32) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#elif defined(__aarch64__)
      asm volatile("yield");
#endif
      continue;
    }
    ::sched_yield();
    if (std::chrono::steady_clock::now() >= until) return ready();
  }
}

}  // namespace

std::size_t available_cpus() {
  cpu_set_t mask;
  std::size_t cpus = 1;
  if (::sched_getaffinity(0, sizeof mask, &mask) == 0) {
    cpus = std::max(1, CPU_COUNT(&mask));
  }
  const std::size_t quota = cgroup_cpus();
  return quota != 0 ? std::min(cpus, quota) : cpus;
}

std::size_t read_ahead_limit() {
  const std::size_t cpus = available_cpus();
  return cpus < 2 ? 0 : cpus / 2;
}

// What the calling thread and its helper share. The helper fills the slots in
// order, at most `depth` ahead of the consumer, which takes them in order.
struct ReadAhead::State {
  State(Produce p, std::size_t slots_in_flight)
      : depth(std::clamp<std::size_t>(slots_in_flight, 1, kReadAheadSlots)), produce(std::move(p)) {}

  std::mutex mutex;
  std::condition_variable changed;
  const std::size_t depth;
  std::array<SecretBytes, kReadAheadSlots> slots;  // wiped when the state is released
  std::array<std::span<const std::uint8_t>, kReadAheadSlots> filled{};
  // Changed with the mutex held; read without it only while spinning.
  std::atomic<std::size_t> produced{0};
  std::atomic<std::size_t> consumed{0};
  std::atomic<bool> finished{false};
  std::atomic<bool> stop{false};
  // Guarded by mutex.
  std::optional<Failure> failure;
  std::exception_ptr exception;
  Produce produce;

  FlagInterrupt stop_flag{stop};

  void run_helper() {
    std::unique_lock lock(mutex);
    const auto slot_free = [&] { return produced - consumed < depth || stop.load(); };
    for (;;) {
      if (!slot_free()) {
        lock.unlock();
        spin_until(slot_free);
        lock.lock();
      }
      changed.wait(lock, slot_free);
      if (stop.load()) break;
      SecretBytes& slot = slots[produced % depth];
      lock.unlock();
      Result<std::optional<std::span<const std::uint8_t>>> next;
      try {
        next = produce(slot);
      } catch (const ForcedUnwind&) {
        throw;
      } catch (...) {
        pass_forced_unwind();
        lock.lock();
        exception = std::current_exception();
        break;
      }
      lock.lock();
      if (!next) {
        failure = std::move(next.error());
        break;
      }
      if (!*next) break;
      filled[produced % depth] = **next;
      produced.fetch_add(1, std::memory_order_release);
      changed.notify_all();
    }
    finished = true;
    changed.notify_all();
  }

  static void* entry(void* raw) {
    static_cast<State*>(raw)->run_helper();
    return nullptr;
  }
};

ReadAhead::ReadAhead(Produce produce, std::size_t depth)
    : state_(std::make_unique<State>(std::move(produce), depth)), pid_(::getpid()) {}

ReadAhead::~ReadAhead() {
  if (!started_) return;
  if (::getpid() != pid_) {
    (void)state_.release();
    return;
  }
  {
    const std::lock_guard lock(state_->mutex);
    state_->stop.store(true, std::memory_order_release);
  }
  state_->changed.notify_all();
  ::pthread_join(thread_, nullptr);
  release_place();
}

void set_read_ahead_load_check(bool enabled) { g_load_checked.store(enabled); }

bool ReadAhead::start(sys::Reader& reader, Interrupt& interrupt) {
  if (!machine_has_idle_cpu() || !take_place()) return false;
  reader.set_interrupt(state_->stop_flag);
  started_ = start_thread(&thread_, &State::entry, state_.get()) == 0;
  if (!started_) {
    reader.set_interrupt(interrupt);
    release_place();
  }
  return started_;
}

Result<void> ReadAhead::drain(const Consume& consume, Interrupt& interrupt) {
  State& st = *state_;
  std::unique_lock lock(st.mutex);
  for (;;) {
    if (st.consumed < st.produced) {
      const auto data = st.filled[st.consumed % st.depth];
      lock.unlock();
      auto taken = consume(data);
      const bool stop = interrupt.stop_between_steps();
      if (::getpid() != pid_) return std::unexpected(Failure::interrupted());
      lock.lock();
      st.consumed.fetch_add(1, std::memory_order_release);
      st.changed.notify_all();
      if (!taken) return std::unexpected(std::move(taken.error()));
      if (stop) return std::unexpected(Failure::interrupted());
      continue;
    }
    if (st.finished) {
      if (st.exception) std::rethrow_exception(st.exception);
      if (st.failure) return std::unexpected(*st.failure);
      return {};
    }
    const std::size_t taken = st.consumed;
    lock.unlock();
    // The helper's end counts too: no waiting on after its last piece.
    spin_until([&] {
      return st.produced.load(std::memory_order_acquire) > taken ||
             st.finished.load(std::memory_order_acquire);
    });
    lock.lock();
    if (st.changed.wait_for(lock, kInterruptPollInterval,
                            [&] { return st.consumed < st.produced || st.finished; })) {
      continue;
    }
    lock.unlock();
    const bool stop = interrupt.stop_between_steps();
    if (::getpid() != pid_) return std::unexpected(Failure::interrupted());
    lock.lock();
    if (stop) return std::unexpected(Failure::interrupted());
  }
}

}  // namespace tavolin::identity
