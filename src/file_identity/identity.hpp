// Stable file identity: size, modification time and the SHA-256 digest of a
// file's content (of the decrypted plaintext for an encrypted container),
// with a check that the file did not change while it was read.
#pragma once

#include <pthread.h>
#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/interrupt.hpp"
#include "common/secret.hpp"
#include "encrypted_range/gcm.hpp"
#include "common/failure.hpp"
#include "common/messages.hpp"

namespace tavolin::file_identity {

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
// A file of at least kHelperMinBytes bytes (a container also of at least
// kHelperMinRecords records) is read on a helper thread of the call, and a
// container's records are checked and opened there too, at most
// a few chunks ahead, while the calling thread hashes in file order;
// `helper` serial keeps it all on the calling thread (the batch workers,
// whose cores are busy already). The two threads hand a chunk over by
// spinning for up to kHelperSpin before they sleep. The helper is joined
// before the call returns, on every path; when it cannot be started the call
// runs serially with the same result. Measured on two cores with 1 MiB
// chunks, the helper beats the serial walk of a container from about 4 to 6
// records on, and by 1.3x from 16.
enum class Helper : bool { serial = false, allowed = true };
inline constexpr std::uint64_t kHelperMinRecords = 6;
inline constexpr std::uint64_t kHelperMinBytes = std::uint64_t{6} << 20;
// What the helper may have ready ahead of the hashing is kept small enough
// to stay in the cores' caches: for a plain file, kHelperSlots pieces of at
// most kHelperPlainSlot bytes; for a container, whose records are whole
// chunks (1 MiB by default), kHelperRecordsInFlight records. Measured on two
// cores, as fractions of SHA-256 over memory: a plain file 0.9 to 1.0 with
// 256 KiB pieces, 0.66 to 0.78 with 1 MiB and 0.85 with 64 KiB; a container
// of 1 MiB records 0.86 to 0.96 with two in flight, 0.72 with three.
inline constexpr std::size_t kHelperSlots = 3;
inline constexpr std::size_t kHelperPlainSlot = std::size_t{256} << 10;
inline constexpr std::size_t kHelperRecordsInFlight = 2;
// Longer than hashing one 1 MiB chunk takes (about 0.6 ms), so that in a
// steady run neither thread sleeps; 0.2 ms was too short to help.
inline constexpr std::chrono::microseconds kHelperSpin{2000};

// Starts the helper thread like pthread_create (0 or an error number).
// Replaceable so that tests can make the start fail; not to be changed while
// identities are computed.
using HelperStarter = int (*)(pthread_t* thread, void* (*entry)(void*), void* arg);
void set_helper_starter(HelperStarter starter);

Result<StableIdentity> derive_stable_identity(std::string_view path, std::uint64_t chunk_size,
                                                std::span<const SecretBytes> master_keys,
                                                Interrupt& interrupt,
                                                Helper helper = Helper::allowed);
inline Result<StableIdentity> derive_stable_identity(std::string_view path,
                                                       std::uint64_t chunk_size,
                                                       std::span<const SecretBytes> master_keys) {
  NoInterrupt never;
  return derive_stable_identity(path, chunk_size, master_keys, never);
}

}  // namespace tavolin::file_identity
