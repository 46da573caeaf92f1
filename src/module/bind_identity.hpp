// Binding of stable file identity, and what the BatchProcessor type shares
// with it.
#pragma once

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "common/messages.hpp"
#include "common/secret.hpp"
#include "file_identity/identity.hpp"
#include "module/bindings.hpp"

namespace tavolin::py {
namespace identity_binding {

using file_identity::StableIdentity;

using KeyList = std::optional<std::vector<SecretBytes>>;

inline PyObject* identity_tuple(const StableIdentity& id) {
  return to_python(
      std::tuple<std::uint64_t, __int128, const std::string&>(id.size, id.mtime_ns, id.digest));
}

// The chunk_size default and check shared by both entries; raises on refusal.
inline std::optional<std::uint64_t> checked_chunk_size(const std::optional<std::uint64_t>& given) {
  const std::uint64_t chunk_size = given.value_or(file_identity::DEFAULT_READ_CHUNK_SIZE);
  if (!file_identity::chunk_size_accepted(chunk_size)) {
    raise_failure(Failure(ValidationFailure{std::string(messages::CHUNK_SIZE)}), IoRoute::os_error);
    return std::nullopt;
  }
  return chunk_size;
}

}  // namespace identity_binding

template <>
struct Binding<"stable_file_identity"> {
  using Args = Converts<Path, Opt<U64>, Opt<ListOf<ByteSequence>>>;
  static constexpr auto run = [](std::string path, std::optional<std::uint64_t> chunk_size,
                                 identity_binding::KeyList master_keys) -> PyObject* {
    const auto checked = identity_binding::checked_chunk_size(chunk_size);
    if (!checked) return nullptr;
    std::vector<SecretBytes> keys =
        master_keys ? std::move(*master_keys) : std::vector<SecretBytes>{};
    SignalWatch watch;
    auto result = released(
        [&] { return file_identity::derive_stable_identity(path, *checked, keys, watch); });
    if (watch.raised()) return nullptr;  // a signal handler's exception ended the call
    if (!result) return raise_failure(Failure(result.error()), IoRoute::os_error);
    return identity_binding::identity_tuple(*result);
  };
};

}  // namespace tavolin::py
