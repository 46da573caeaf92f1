// Stable identity core: path rendering and 128-bit times.
// Digests, file types and change detection are tested through Python.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "identity/identity.hpp"

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
