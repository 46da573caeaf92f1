// Stable file identity: size, modification time and the SHA-256 digest of a
// file's content (of the decrypted plaintext for an encrypted container),
// with a check that the file did not change while it was read.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/failure.hpp"
#include "common/interrupt.hpp"
#include "common/secret.hpp"
#include "identity/read_ahead.hpp"

namespace tavolin::identity {

inline constexpr std::uint64_t kMaxReadChunkSize = 67108864;

struct StableIdentity {
  std::uint64_t size = 0;
  __int128 mtime_ns = 0;
  std::string digest;  // 64 lowercase hexadecimal characters

  bool operator==(const StableIdentity&) const = default;
};

struct IdentitySnapshot {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  __int128 mtime_ns = 0;

  static IdentitySnapshot of(const struct ::stat& st);
  bool operator==(const IdentitySnapshot&) const = default;
};

// 1 <= chunk_size <= kMaxReadChunkSize.
[[nodiscard]] constexpr bool chunk_size_accepted(std::uint64_t chunk_size) {
  return chunk_size >= 1 && chunk_size <= kMaxReadChunkSize;
}

// Computes the identity of `path` (raw file-system bytes). Precondition:
// chunk_size_accepted(chunk_size) (the binding refuses other sizes). Takes no
// lock and shares no mutable state.
// `interrupt` is asked once per chunk read and on every interrupted system
// call; when it asks to stop, the result is Failure::interrupted().
//
// A file of at least kReadAheadMinBytes bytes (a container also of at least
// kReadAheadMinRecords records of kReadAheadMinRecordBytes bytes or more) is
// read ahead on a helper thread of the call, where that pays (read_ahead.hpp);
// a container's records are checked and opened there too, a few pieces
// ahead, while the calling thread hashes in file order. ReadAheadUse::serial
// keeps it all on the calling thread (the batch workers, whose cores are busy
// already). The helper is joined before the call returns, on every path.
//
// A failure while the content is read, from a file whose status (device,
// inode, size, modification time) is no longer the one seen at open, is the
// "changed" failure: a writer raced the call.
enum class ReadAheadUse : bool { serial = false, allowed = true };
inline constexpr std::uint64_t kReadAheadMinRecords = 6;
inline constexpr std::uint64_t kReadAheadMinBytes = std::uint64_t{6} << 20;
// Records a container keeps in flight: they are whole chunks (1 MiB by
// default), so two keep them in the cores' caches.
inline constexpr std::size_t kReadAheadRecordsInFlight = 2;

Result<StableIdentity> derive_stable_identity(std::string_view path, std::uint64_t chunk_size,
                                                std::span<const SecretBytes> master_keys,
                                                Interrupt& interrupt,
                                                ReadAheadUse use = ReadAheadUse::allowed);
inline Result<StableIdentity> derive_stable_identity(std::string_view path,
                                                       std::uint64_t chunk_size,
                                                       std::span<const SecretBytes> master_keys) {
  NoInterrupt never;
  return derive_stable_identity(path, chunk_size, master_keys, never);
}

}  // namespace tavolin::identity
