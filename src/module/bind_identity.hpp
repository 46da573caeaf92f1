// Binding of stable file identity, and what the BatchProcessor type shares
// with it.
#pragma once

#include <string>
#include <tuple>
#include <vector>

#include "common/messages.hpp"
#include "common/secret.hpp"
#include "identity/identity.hpp"
#include "module/bindings.hpp"

namespace tavolin::py {
namespace identity_binding {

using identity::StableIdentity;

inline PyObject* identity_tuple(const StableIdentity& id) {
  return to_python(
      std::tuple<std::uint64_t, __int128, const std::string&>(id.size, id.mtime_ns, id.digest));
}

// The chunk_size check shared by both entries.
inline Result<void> check_chunk_size(std::uint64_t chunk_size) {
  if (!identity::chunk_size_accepted(chunk_size)) {
    return std::unexpected(Failure::value(messages::kChunkSize));
  }
  return {};
}

}  // namespace identity_binding

template <>
struct Binding<"stable_file_identity"> {
  TAVOLIN_BODY(std::string path, std::uint64_t chunk_size,
               std::vector<SecretBytes> master_keys) -> Reply {
    if (auto checked = identity_binding::check_chunk_size(chunk_size); !checked) {
      return std::unexpected(checked.error());
    }
    SignalWatch watch;
    auto result = released([&] {
      return identity::derive_stable_identity(path, chunk_size, master_keys, watch);
    });
    if (watch.raised()) return nullptr;  // a signal handler's exception ended the call
    if (!result) return std::unexpected(result.error());
    return identity_binding::identity_tuple(*result);
  };
};

}  // namespace tavolin::py
