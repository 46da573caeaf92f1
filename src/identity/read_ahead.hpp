// Read-ahead for a large identity: a helper thread of the call produces the
// data in pieces (reads a plain file, checks and opens a container's
// records) while the calling thread consumes them (hashes) in order.
//
// A read-ahead only starts where it can pay: the process may run on at least
// two CPUs (its affinity mask, and its cgroup's CPU quota where one is set),
// the machine is not saturated (fewer runnable threads than CPUs at that
// moment), and fewer than read_ahead_limit() read-aheads run in the process
// already.
// Otherwise, or when the thread cannot be started, the caller reads serially
// with the same result. The two threads wait for each other by spinning for
// at most kReadAheadSpin, yielding the CPU to anything else that may run on
// it, and then sleep.
#pragma once

#include <pthread.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "common/failure.hpp"
#include "common/interrupt.hpp"
#include "common/secret.hpp"
#include "common/syscall.hpp"

namespace tavolin::identity {

// At most this many pieces are ready ahead of the consumer; they are kept
// small enough to stay in the cores' caches (bench/ has the measurements).
inline constexpr std::size_t kReadAheadSlots = 3;
// A plain file is handed over in pieces of this size, whatever its reads.
inline constexpr std::size_t kReadAheadPiece = std::size_t{256} << 10;
// A container is handed over a record at a time: only records of at least
// this many plaintext bytes are worth a hand-over each.
inline constexpr std::uint64_t kReadAheadMinRecordBytes = std::uint64_t{64} << 10;
inline constexpr std::chrono::microseconds kReadAheadSpin{50};

// Whether a start first looks at how busy the machine is (by default it
// does); tests that count starts turn that off, so that another process's
// load does not change their count.
void set_read_ahead_load_check(bool enabled);

// The CPUs this process may use: the CPUs of the calling thread's affinity
// mask, bounded by the CPU quota of its cgroup and of every cgroup above it
// (rounded down), at least 1.
std::size_t available_cpus();
// The CPU quota set in one cgroup folder (cpu.max, or the older
// cpu.cfs_quota_us and cpu.cfs_period_us), in whole CPUs, at least 1; 0 when
// none is set there.
std::size_t cgroup_folder_cpus(const std::string& folder);
// How many read-aheads may run at once in this process: half the available
// CPUs, at least one; none with fewer than two.
std::size_t read_ahead_limit();

// Fills the given slot with the next piece and returns its bytes (inside the
// slot), or no value at the end of the data. Runs on the helper thread.
using Produce = std::function<Result<std::optional<std::span<const std::uint8_t>>>(SecretBytes&)>;
// Takes one piece, in order, on the calling thread.
using Consume = std::function<Result<void>(std::span<const std::uint8_t>)>;

class ReadAhead {
 public:
  // `depth`: pieces in flight, 1 to kReadAheadSlots.
  ReadAhead(Produce produce, std::size_t depth);
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  // Stops and joins the helper, on every path. In a child forked meanwhile
  // (by a signal handler the interrupt ran) the helper does not exist and
  // the shared state may be locked: both are left alone.
  ~ReadAhead();

  // Takes a place among the process's read-aheads and starts the helper
  // with asynchronous signals blocked (they are for the calling thread).
  // `reader`, which the producer reads with, asks the helper's stop from
  // then on, never the caller's `interrupt` (Python's): that one is asked
  // on the calling thread alone, and stays the reader's when no helper
  // starts. False when the read-ahead does not pay here or cannot start.
  bool start(sys::Reader& reader, Interrupt& interrupt);

  // Consumes every piece in order until the end of the data or the first
  // failure (the producer's or the consumer's). `interrupt` is asked after
  // every piece and while waiting. In a child that the interrupt forked,
  // nothing more is done and the call is interrupted.
  Result<void> drain(const Consume& consume, Interrupt& interrupt);

 private:
  struct State;
  std::unique_ptr<State> state_;
  pid_t pid_;
  pthread_t thread_{};
  bool started_ = false;
};

}  // namespace tavolin::identity
