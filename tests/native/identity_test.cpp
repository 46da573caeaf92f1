// Stable identity core: 128-bit times, the read-ahead of large files (which
// files get one, the same result and failures, stops, the CPU limits) and
// the change check while a container is read. Digests, file types and the
// rest of change detection are tested through Python.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "common/messages.hpp"
#include "common/text.hpp"
#include "common/thread.hpp"
#include "identity/identity.hpp"
#include "support/container_support.hpp"
#include "support/temp_dir.hpp"

using namespace tavolin;
using namespace tavolin::identity;

TEST(Snapshot, ModificationTimeUses128BitNanoseconds) {
  struct ::stat st {};
  st.st_mtim.tv_sec = -2;
  st.st_mtim.tv_nsec = 5;
  EXPECT_EQ(IdentitySnapshot::of(st).mtime_ns, static_cast<__int128>(-1'999'999'995));
  st.st_mtim.tv_sec = LONG_MAX;
  st.st_mtim.tv_nsec = 999'999'999;
  const __int128 expected = static_cast<__int128>(LONG_MAX) * 1'000'000'000 + 999'999'999;
  EXPECT_EQ(IdentitySnapshot::of(st).mtime_ns, expected);
  EXPECT_GT(IdentitySnapshot::of(st).mtime_ns, static_cast<__int128>(LONG_MAX));
}

TEST(StableIdentity, AnUncheckedChunkSizeIsABrokenPrecondition) {
  // The binding refuses such sizes; below it they are a broken invariant.
  for (std::uint64_t chunk : {std::uint64_t{0}, kMaxReadChunkSize + 1}) {
    EXPECT_THROW((void)derive_stable_identity("/nonexistent/path", chunk, {}),
                 std::invalid_argument);
  }
}

namespace tavolin::container {
namespace {

TEST(ContainerFiles, IdentityRefusesARecordLongerThanTheFile) {
  // The first record of a few hundred bytes claims a whole 64 MiB chunk: the
  // identity walk fails as the short read would, without sizing a buffer by
  // the claim (peak memory is checked through Python).
  const test::TempDir dir("container_test");
  auto c = make_container(counting(40), kMaxChunkSize);
  const std::size_t field = kContainerMagic.size() + 4 + c.header.size();
  const Bytes claim = be32(static_cast<std::uint32_t>(kMaxChunkSize + kGcmTagLength));
  std::copy(claim.begin(), claim.end(), c.file.begin() + static_cast<std::ptrdiff_t>(field));
  const auto path = dir.file("hostile", c.file);
  const auto result = identity::derive_stable_identity(path, 1 << 20, secrets({c.master_key}));
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().is_short_read());
}

// ---------------------------------------------------------------- the identity helper

// Skips a test that needs a read-ahead where the process may not have one.
#define REQUIRE_READ_AHEAD()                                                       \
  if (identity::read_ahead_limit() == 0) GTEST_SKIP() << "fewer than two CPUs"

std::atomic<int> g_helper_starts{0};
int counting_start(pthread_t* thread, void* (*entry)(void*), void* arg) {
  ++g_helper_starts;
  return ::pthread_create(thread, nullptr, entry, arg);
}
int refusing_start(pthread_t*, void* (*)(void*), void*) {
  ++g_helper_starts;
  return EAGAIN;
}

// Installs a helper starter for one test.
class HelperStarterFor {
 public:
  explicit HelperStarterFor(ThreadStarter starter) {
    g_helper_starts = 0;
    set_thread_starter(starter);
    identity::set_read_ahead_load_check(false);
  }
  ~HelperStarterFor() {
    set_thread_starter(nullptr);
    identity::set_read_ahead_load_check(true);
  }
};

using identity::derive_stable_identity;
using identity::ReadAheadUse;
using identity::kReadAheadPiece;

TEST(IdentityHelper, GivesTheSerialResultAndIsStartedOnlyForLargeFiles) {
  REQUIRE_READ_AHEAD();
  const test::TempDir dir("container_test");
  const Bytes plain = counting(6 << 20);
  const auto c = make_container(plain, 1 << 20);
  const auto keys = secrets({c.master_key});
  const auto sealed = dir.file("sealed", c.file);
  const HelperStarterFor counted(&counting_start);
  NoInterrupt never;
  // The records decide, not the reading granularity.
  for (const std::uint64_t chunk : {std::uint64_t{1} << 20, std::uint64_t{65536}, std::uint64_t{64} << 20}) {
    const int before = g_helper_starts;
    const auto ahead = derive_stable_identity(sealed, chunk, keys, never, ReadAheadUse::allowed);
    EXPECT_EQ(g_helper_starts, before + 1);
    const auto serial = derive_stable_identity(sealed, chunk, keys, never, ReadAheadUse::serial);
    EXPECT_EQ(g_helper_starts, before + 1);
    ASSERT_TRUE(ahead) << ahead.error().text();
    ASSERT_TRUE(serial);
    EXPECT_EQ(*ahead, *serial) << "chunk " << chunk;
  }
  // A plain file as large is read on the helper too, unless one read takes it whole.
  const auto plain_path = dir.file("plain", plain);
  for (const std::uint64_t chunk : {std::uint64_t{1} << 20, std::uint64_t{65536}, std::uint64_t{4096}}) {
    const int before = g_helper_starts;
    const auto ahead = derive_stable_identity(plain_path, chunk, {}, never, ReadAheadUse::allowed);
    EXPECT_EQ(g_helper_starts, before + 1);
    const auto serial = derive_stable_identity(plain_path, chunk, {}, never, ReadAheadUse::serial);
    ASSERT_TRUE(ahead && serial);
    EXPECT_EQ(*ahead, *serial) << "chunk " << chunk;
  }
  const int before = g_helper_starts;
  // A plain file read whole at once or smaller, a container of fewer
  // records, or of fewer bytes stays on the calling thread.
  const auto few = make_container(plain, 2 << 20);
  const auto tiny = make_container(counting(64 << 10), 4096);
  ASSERT_TRUE(derive_stable_identity(plain_path, 64 << 20, {}, never));
  for (const auto& path : {dir.file("smaller", counting((6 << 20) - 1)), dir.file("few", few.file),
                           dir.file("tiny", tiny.file)}) {
    ASSERT_TRUE(derive_stable_identity(path, 4096, secrets({few.master_key, tiny.master_key}),
                                       never));
  }
  EXPECT_EQ(g_helper_starts, before);
}

TEST(IdentityHelper, FailuresAreTheSerialFailures) {
  REQUIRE_READ_AHEAD();
  const test::TempDir dir("container_test");
  auto c = make_container(counting(9 << 20), 1 << 20);
  const auto keys = secrets({c.master_key});
  const std::size_t record = (1 << 20) + kRecordOverhead;
  const std::size_t payload = c.file.size() - 9 * record;
  Bytes flipped = c.file;
  flipped[payload + 3 * record + 100] ^= 1;  // inside record 3
  const Bytes cut(c.file.begin(), c.file.begin() + static_cast<std::ptrdiff_t>(payload + 7 * record + 77));
  const HelperStarterFor counted(&counting_start);
  NoInterrupt never;
  for (const auto& [name, data, message] :
       {std::tuple{"flipped", flipped, std::string("AES-GCM authentication failed")},
        std::tuple{"cut", cut, std::string("failed to fill whole buffer")}}) {
    const auto path = dir.file(name, data);
    const auto ahead = derive_stable_identity(path, 1 << 20, keys, never, ReadAheadUse::allowed);
    const auto serial = derive_stable_identity(path, 1 << 20, keys, never, ReadAheadUse::serial);
    ASSERT_FALSE(ahead);
    ASSERT_FALSE(serial);
    EXPECT_EQ(ahead.error().text(), message) << name;
    EXPECT_EQ(serial.error().text(), message) << name;
  }
  EXPECT_EQ(g_helper_starts, 2);
}

TEST(IdentityHelper, StopsWhenAskedWithTheHelperJoined) {
  REQUIRE_READ_AHEAD();
  const test::TempDir dir("container_test");
  const Bytes plain = counting(32 << 20);
  const auto c = make_container(plain, 1 << 20);
  const auto keys = secrets({c.master_key});
  const HelperStarterFor counted(&counting_start);
  for (const auto& path : {dir.file("sealed", c.file), dir.file("plain", plain)}) {
    for (std::size_t stop_at : {1U, 3U, 20U}) {
      StopAfter stop(stop_at);
      const auto result = derive_stable_identity(path, 1 << 20, keys, stop, ReadAheadUse::allowed);
      ASSERT_FALSE(result);
      EXPECT_TRUE(result.error().is_interruption());
      EXPECT_EQ(stop.asked, stop_at);
    }
  }
  EXPECT_EQ(g_helper_starts, 5);  // the plain file's first question comes before its helper
}

TEST(IdentityHelper, AHelperThatCannotStartLeavesTheCallSerial) {
  REQUIRE_READ_AHEAD();
  const test::TempDir dir("container_test");
  const Bytes plain = counting(6 << 20);
  const auto c = make_container(plain, 1 << 20);
  const auto keys = secrets({c.master_key});
  NoInterrupt never;
  for (const auto& path : {dir.file("sealed", c.file), dir.file("plain", plain)}) {
    const auto serial = derive_stable_identity(path, 1 << 20, keys, never, ReadAheadUse::serial);
    const HelperStarterFor refused(&refusing_start);
    const int before = g_helper_starts;
    const auto fallback = derive_stable_identity(path, 1 << 20, keys, never, ReadAheadUse::allowed);
    EXPECT_EQ(g_helper_starts, before + 1);
    ASSERT_TRUE(serial);
    ASSERT_TRUE(fallback);
    EXPECT_EQ(*fallback, *serial);
  }
}

}  // namespace

// ---------------------------------------------------------------- read-ahead policy


// Counts the questions and, at its `at`-th, changes the file once.
class ChangeAt final : public tavolin::Interrupt {
 public:
  ChangeAt(std::size_t at, std::function<void()> change) : at_(at), change_(std::move(change)) {}
  bool should_stop(InterruptMoment) override {
    if (++asked == at_) change_();
    return false;
  }
  std::size_t asked = 0;

 private:
  std::size_t at_;
  std::function<void()> change_;
};

void set_old_mtime(const std::string& path) {
  const struct timespec old[2] = {{1'000'000, 0}, {1'000'000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
}

TEST(IdentityReadAhead, AContainerChangedWhileReadIsChangedWithOrWithoutHelper) {
  const test::TempDir dir("container_test");
  const Bytes plain = counting(10 << 20);
  const auto c = make_container(plain, 1 << 20);
  // Another container of the same size: none of its records opens as this one's.
  Bytes other = c.file;
  const std::size_t payload = 12 + c.header.size();
  for (std::size_t at = payload + 100; at < other.size(); at += (1 << 20) + kRecordOverhead) other[at] ^= 1;
  const auto keys = secrets({c.master_key});
  const auto rewrite = [](const std::string& path, const Bytes& data, off_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    if (!data.empty()) {
      ASSERT_EQ(::pwrite(fd, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    }
    if (size >= 0) {
      ASSERT_EQ(::ftruncate(fd, size), 0);
    }
    ::close(fd);
  };
  const auto half = static_cast<off_t>(c.file.size() / 2);
  const auto longer = static_cast<off_t>(c.file.size() + 4096);
  const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> changes = {
      {"rewritten", [&](const std::string& p) { rewrite(p, other, -1); }},
      {"halved", [&](const std::string& p) { rewrite(p, {}, half); }},
      {"appended", [&](const std::string& p) { rewrite(p, {}, longer); }},
  };
  for (const auto& [name, change] : changes) {
    for (const ReadAheadUse use : {ReadAheadUse::allowed, ReadAheadUse::serial}) {
      const auto path = dir.file(name, c.file);
      set_old_mtime(path);
      ChangeAt at(2, [&, &change = change] { change(path); });
      const auto result = derive_stable_identity(path, 1 << 20, keys, at, use);
      ASSERT_FALSE(result) << name;
      EXPECT_EQ(result.error().text(), messages::identity_changed(render_path(path))) << name;
    }
  }
}

TEST(IdentityReadAhead, PlainPiecesAreOneSizeWhateverTheReads) {
  REQUIRE_READ_AHEAD();
  const test::TempDir dir("container_test");
  const std::size_t size = 8 << 20;
  const auto path = dir.file("plain", counting(size));
  const HelperStarterFor counted(&counting_start);
  for (const std::uint64_t chunk : {std::uint64_t{512}, std::uint64_t{65536}, std::uint64_t{1} << 20}) {
    StopAfter never(SIZE_MAX);
    ASSERT_TRUE(derive_stable_identity(path, chunk, {}, never, ReadAheadUse::allowed));
    // One question for the first read, then one a piece (and one for every
    // 50 ms the hashing waits, on a busy machine), where the serial walk
    // asks once a read.
    const std::size_t pieces = (size - chunk + kReadAheadPiece - 1) / kReadAheadPiece;
    EXPECT_GE(never.asked, 1 + pieces) << "chunk " << chunk;
    EXPECT_LE(never.asked, 1 + pieces + 20) << "chunk " << chunk;
  }
  EXPECT_EQ(g_helper_starts, 3);
}

TEST(IdentityReadAhead, NoneOnOneCpuNorForSmallRecords) {
  const test::TempDir dir("container_test");
  const Bytes plain = counting(8 << 20);
  const auto small = make_container(plain, 4096);
  const auto large = make_container(plain, 1 << 20);
  const auto keys = secrets({small.master_key, large.master_key});
  const auto plain_path = dir.file("plain", plain);
  const auto small_path = dir.file("small", small.file);
  const auto large_path = dir.file("large", large.file);
  const HelperStarterFor counted(&counting_start);
  NoInterrupt never;
  ASSERT_TRUE(derive_stable_identity(small_path, 1 << 20, keys, never, ReadAheadUse::allowed));
  EXPECT_EQ(g_helper_starts, 0) << "records of 4 KiB";

  cpu_set_t all;
  ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &all)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);  // this thread only
  EXPECT_EQ(identity::available_cpus(), 1u);
  EXPECT_EQ(identity::read_ahead_limit(), 0u);
  const auto pinned_plain = derive_stable_identity(plain_path, 1 << 20, keys, never, ReadAheadUse::allowed);
  const auto pinned_large = derive_stable_identity(large_path, 1 << 20, keys, never, ReadAheadUse::allowed);
  ASSERT_EQ(::sched_setaffinity(0, sizeof all, &all), 0);
  EXPECT_EQ(g_helper_starts, 0) << "one CPU";
  ASSERT_TRUE(pinned_plain && pinned_large);
  EXPECT_EQ(pinned_large->digest, pinned_plain->digest);
}

TEST(IdentityReadAhead, CgroupQuotaInWholeCpus) {
  const test::TempDir dir("container_test");
  for (const auto& [text, cpus] : std::vector<std::pair<std::string, std::size_t>>{
           {"max 100000\n", 0}, {"50000 100000\n", 1}, {"100000 100000\n", 1},
           {"250000 100000\n", 2}, {"garbage\n", 0}}) {
    dir.file("cpu.max", text);
    EXPECT_EQ(identity::cgroup_folder_cpus(dir.path()), cpus) << text;
  }
  EXPECT_EQ(identity::cgroup_folder_cpus(dir.path() + "/absent"), 0u);
}

// Starts helpers that count how many of them run at once.
std::atomic<int> g_live{0};
std::atomic<int> g_most_live{0};
struct Tracked {
  void* (*entry)(void*);
  void* arg;
};
void* tracked_entry(void* raw) {
  const Tracked tracked = *static_cast<Tracked*>(raw);
  delete static_cast<Tracked*>(raw);
  const int now = ++g_live;
  int most = g_most_live.load();
  while (now > most && !g_most_live.compare_exchange_weak(most, now)) {
  }
  void* out = tracked.entry(tracked.arg);
  --g_live;
  return out;
}
int tracking_start(pthread_t* thread, void* (*entry)(void*), void* arg) {
  ++g_helper_starts;
  auto* tracked = new Tracked{entry, arg};
  const int error = ::pthread_create(thread, nullptr, &tracked_entry, tracked);
  if (error != 0) delete tracked;
  return error;
}

TEST(IdentityReadAhead, AtMostTheLimitRunAtOnce) {
  REQUIRE_READ_AHEAD();
  const test::TempDir dir("container_test");
  const Bytes plain = counting(8 << 20);
  const auto path = dir.file("plain", plain);
  const HelperStarterFor tracked(&tracking_start);
  g_most_live = 0;
  std::vector<std::thread> callers;
  std::atomic<int> good{0};
  for (int i = 0; i < 8; ++i) {
    callers.emplace_back([&] {
      for (int round = 0; round < 4; ++round) {
        if (derive_stable_identity(path, 1 << 20, {})) ++good;
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(good, 32);
  EXPECT_GE(g_helper_starts, 1);
  EXPECT_LE(static_cast<std::size_t>(g_most_live.load()), identity::read_ahead_limit());
}

}  // namespace tavolin::container
