// What module initialisation does before any call, done once for the native
// tests before main runs: the libcrypto algorithms are loaded.
#include "encrypted_range/container.hpp"

namespace {
[[maybe_unused]] const bool kAlgorithmsLoaded = (tavolin::encrypted_range::load_algorithms(), true);
}  // namespace
