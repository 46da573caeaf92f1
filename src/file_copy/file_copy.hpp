// Durable copy of what can still be read from an open descriptor into a file
// at a path.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "module/failure.hpp"

namespace tavolin::file_copy {

inline constexpr std::uint64_t kDefaultChunkSize = 1048576;
// Each read of the generic read/write loop asks for at least this much.
inline constexpr std::uint64_t kMinReadSize = 8192;

// The argument checks that run before anything touches a file:
// a negative `source_fd`, then a zero `chunk_size`.
Result<std::monostate> check_copy_arguments(std::int32_t source_fd, std::uint64_t chunk_size);

// Copies from the current offset of `source_fd` (on a close-on-exec
// duplicate, so the caller's offset advances by what was read) to the end of
// its data into `target_path` (created with mode 0666 & ~umask, truncated,
// links followed), fsyncs the target and returns the byte count.
//
// Kernel routes come first (copy_file_range, sendfile, splice); the
// read/write loop, with one buffer of max(chunk_size, kMinReadSize) bytes
// allocated only when the loop runs, takes whatever they refuse. Each read is
// written out in full before the next one.
//
// Beyond the plain copy:
// - a target that is the very file behind `source_fd` (same device and
//   inode, character devices aside) is refused with an invalid-input failure
//   before anything is truncated;
// - an fsync refused with EINVAL by a target that is neither a regular file
//   nor a block device (a pipe, a character device) completes the copy;
// - writeback of a regular target is started every few MiB so that the one
//   final fsync finds little left to do;
// - a pipe source may hold up to 1 MiB while it is drained; its capacity is
//   put back afterwards;
// - a kernel-route call interrupted by a signal (before it moved anything)
//   is repeated, as reads and writes of the loop are;
// - a buffer that cannot be allocated throws std::bad_alloc after the
//   descriptors are released.
IoResult<std::uint64_t> copy_descriptor_to_path(int source_fd, const std::string& target_path,
                                                std::uint64_t chunk_size);

}  // namespace tavolin::file_copy
