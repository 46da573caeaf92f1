// Lets libFuzzer drive code instrumented by g++. The cores need g++ (its
// standard library's std::expected), and g++ emits only the trace-pc and
// trace-cmp coverage callbacks. libFuzzer implements the trace-cmp callbacks
// itself; this file maps trace-pc onto libFuzzer's inline 8-bit counters: each
// (previous pc, pc) pair hashes to one counter, which approximates edge
// coverage. Linked before the libFuzzer archive with
// --allow-multiple-definition, so this trace-pc replaces libFuzzer's stub.
#include <cstddef>
#include <cstdint>

extern "C" void __sanitizer_cov_8bit_counters_init(std::uint8_t* start, std::uint8_t* stop);
extern "C" void __sanitizer_cov_pcs_init(const std::uintptr_t* begin, const std::uintptr_t* end);

namespace {

constexpr std::size_t kSlots = std::size_t{1} << 18;
alignas(64) std::uint8_t g_counters[kSlots];
std::uintptr_t g_pcs[kSlots * 2];  // (pseudo pc, flags) per counter
thread_local std::uintptr_t t_previous = 0;

struct Registration {
  Registration() {
    for (std::size_t i = 0; i < kSlots; ++i) {
      g_pcs[2 * i] = i + 1;
      g_pcs[2 * i + 1] = 0;
    }
    __sanitizer_cov_8bit_counters_init(g_counters, g_counters + kSlots);
    __sanitizer_cov_pcs_init(g_pcs, g_pcs + 2 * kSlots);
  }
} g_registration;

}  // namespace

extern "C" __attribute__((no_sanitize_coverage, no_sanitize_address, no_sanitize_undefined)) void
__sanitizer_cov_trace_pc() {
  const auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  const std::uintptr_t edge = (pc ^ (t_previous >> 1)) * 0x9E3779B97F4A7C15ull;
  t_previous = pc;
  std::uint8_t& counter = g_counters[(edge >> 40) & (kSlots - 1)];
  counter = static_cast<std::uint8_t>(counter + 1);
}

// g++ also reports floating-point comparisons; libFuzzer has no use for them.
extern "C" __attribute__((no_sanitize_coverage)) void __sanitizer_cov_trace_cmpf(float, float) {}
extern "C" __attribute__((no_sanitize_coverage)) void __sanitizer_cov_trace_cmpd(double, double) {}
