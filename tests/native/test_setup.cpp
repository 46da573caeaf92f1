// What module initialisation does before any call, done once for the native
// tests before main runs: the libcrypto algorithms are loaded.
#include "common/crypto.hpp"

namespace {
[[maybe_unused]] const bool kAlgorithmsLoaded = (tavolin::load_algorithms(), true);
}  // namespace
