// The read-ahead with a fake producer: the hand-over order, a failure of the
// producer reaching the consumer, and a stop on either side. Its use by
// identity (which files get one, the CPU limits) is in container_test.cpp.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/unique_fd.hpp"
#include "identity/read_ahead.hpp"
#include "support/temp_dir.hpp"

using namespace tavolin;
using namespace tavolin::identity;

namespace {

using Piece = Result<std::optional<std::span<const std::uint8_t>>>;

// A file of counting bytes, read through a reader by the fake producers.
std::vector<std::uint8_t> counting(std::size_t size) {
  std::vector<std::uint8_t> out(size);
  std::iota(out.begin(), out.end(), std::uint8_t{0});
  return out;
}

struct Source {
  explicit Source(std::size_t size)
      : content(counting(size)),
        fd(::open(dir.file("data", content).c_str(), O_RDONLY | O_CLOEXEC)) {}
  // Fills the slot with up to `piece` bytes of the file.
  Piece next(SecretBytes& slot, std::size_t piece) {
    slot.resize(piece);
    const std::size_t n = TAVOLIN_TRY(reader.read(slot.span()));
    if (n == 0) return std::nullopt;
    return std::span<const std::uint8_t>(slot.data(), n);
  }

  test::TempDir dir{"read_ahead_test"};
  std::vector<std::uint8_t> content;
  UniqueFd fd;
  NoInterrupt never;
  sys::Reader reader{fd.get(), 4096, never};
};

// Counts the questions and the threads they came from; stops from the
// `stop_at`-th on.
class Asked final : public Interrupt {
 public:
  explicit Asked(std::size_t stop_at = SIZE_MAX) : stop_at_(stop_at) {}
  bool should_stop(InterruptMoment) override {
    if (std::this_thread::get_id() != caller_) ++elsewhere;
    return ++count >= stop_at_;
  }
  std::size_t count = 0;
  std::size_t elsewhere = 0;

 private:
  std::size_t stop_at_;
  std::thread::id caller_ = std::this_thread::get_id();
};

// The load check off, so that another process's load cannot refuse the start.
struct Started {
  Started() { set_read_ahead_load_check(false); }
  ~Started() { set_read_ahead_load_check(true); }
};

#define REQUIRE_READ_AHEAD() \
  if (read_ahead_limit() == 0) GTEST_SKIP() << "fewer than two CPUs"

TEST(ReadAhead, HandsThePiecesOverInOrder) {
  REQUIRE_READ_AHEAD();
  const Started started;
  for (std::size_t depth = 1; depth <= kReadAheadSlots; ++depth) {
    Source source(100'000);
    ReadAhead ahead([&](SecretBytes& slot) { return source.next(slot, 1000 + depth); }, depth);
    Asked asked;
    ASSERT_TRUE(ahead.start(source.reader, asked));
    std::vector<std::uint8_t> got;
    ASSERT_TRUE(ahead.drain([&](std::span<const std::uint8_t> piece) -> Result<void> {
      got.insert(got.end(), piece.begin(), piece.end());
      return {};
    }, asked));
    EXPECT_EQ(got, source.content) << "depth " << depth;
    EXPECT_GE(asked.count, (100'000 + 1000 + depth - 1) / (1000 + depth)) << "once a piece";
    EXPECT_EQ(asked.elsewhere, 0u) << "the caller's interrupt is asked on its thread only";
  }
}

TEST(ReadAhead, TheProducersFailureFollowsItsPieces) {
  REQUIRE_READ_AHEAD();
  const Started started;
  Source source(100'000);
  for (const bool throws : {false, true}) {
    std::size_t produced = 0;
    ReadAhead ahead([&](SecretBytes& slot) -> Piece {
      if (++produced <= 3) return source.next(slot, 100);
      if (throws) throw std::runtime_error("producer threw");
      return std::unexpected(Failure::value("producer failed"));
    }, kReadAheadSlots);
    NoInterrupt never;
    ASSERT_TRUE(ahead.start(source.reader, never));
    std::size_t consumed = 0;
    const auto count = [&](std::span<const std::uint8_t>) -> Result<void> {
      ++consumed;
      return {};
    };
    if (throws) {
      EXPECT_THROW((void)ahead.drain(count, never), std::runtime_error);
    } else {
      const auto result = ahead.drain(count, never);
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().text(), "producer failed");
    }
    EXPECT_EQ(consumed, 3u);
  }
}

TEST(ReadAhead, AStopOrAFailureOfTheConsumerEndsAnEndlessProducer) {
  REQUIRE_READ_AHEAD();
  const Started started;
  std::uint8_t byte = 0;
  const auto endless = [&](SecretBytes& slot) -> Piece {
    slot.resize(64);
    std::fill(slot.span().begin(), slot.span().end(), byte++);
    return std::span<const std::uint8_t>(slot.data(), slot.size());
  };
  Source source(1);
  const auto take = [](std::span<const std::uint8_t>) -> Result<void> { return {}; };
  {
    ReadAhead ahead(endless, kReadAheadSlots);
    Asked asked(2);
    ASSERT_TRUE(ahead.start(source.reader, asked));
    const auto result = ahead.drain(take, asked);
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().is_interruption());
    EXPECT_EQ(asked.count, 2u);
  }  // the helper is stopped and joined here
  ReadAhead ahead(endless, kReadAheadSlots);
  NoInterrupt never;
  ASSERT_TRUE(ahead.start(source.reader, never));
  const auto result = ahead.drain(
      [](std::span<const std::uint8_t>) -> Result<void> {
        return std::unexpected(Failure::value("consumer failed"));
      },
      never);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), "consumer failed");
}

}  // namespace
