// Durable copy of what can still be read from an open descriptor into a file
// at a path.
#pragma once

#include <cstdint>
#include <string>

#include "common/interrupt.hpp"
#include "common/failure.hpp"

namespace tavolin::copy {

// Each read of the generic read/write loop asks for at least this much.
inline constexpr std::uint64_t kMinReadSize = 8192;

// The argument checks that run before anything touches a file:
// a negative `source_fd`, then a zero `chunk_size`.
Result<void> check_copy_arguments(std::int32_t source_fd, std::uint64_t chunk_size);

// Copies from the current offset of `source_fd` (on a close-on-exec
// duplicate, so the caller's offset advances by what was read) to the end of
// its data into `target_path` (created with mode 0666 & ~umask, truncated,
// links followed), fsyncs the target (and its directory when this call
// created it) and returns the byte count.
//
// Kernel routes come first (copy_file_range, sendfile, splice); the
// read/write loop, with one buffer of max(chunk_size, kMinReadSize) bytes,
// takes whatever they refuse. Each read is written out in full before the
// next one.
//
// Before the target is opened (so that it keeps its content):
// - a source that cannot be read at all is refused with the error a read
//   gives: EBADF for an O_PATH or write-only descriptor, EISDIR for a
//   directory;
// - the loop's buffer is allocated (std::bad_alloc if it cannot be had),
//   unless the source is a non-empty regular file, which the kernel routes
//   take without one.
//
// `interrupt` is asked between steps (about every kernel-route call or
// buffer) and after every interrupted system call, the open of a FIFO target
// included; when it asks to stop, the copy ends with Failure::interrupted()
// and the target is left as after any failure: in place, holding what was
// written.
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
//   is repeated, as reads and writes of the loop are, unless `interrupt`
//   asks to stop;
// - a buffer that cannot be allocated throws std::bad_alloc after the
//   descriptors are released.
Result<std::uint64_t> copy_descriptor_to_path(int source_fd, const std::string& target_path,
                                                std::uint64_t chunk_size, Interrupt& interrupt);
inline Result<std::uint64_t> copy_descriptor_to_path(int source_fd,
                                                       const std::string& target_path,
                                                       std::uint64_t chunk_size) {
  NoInterrupt never;
  return copy_descriptor_to_path(source_fd, target_path, chunk_size, never);
}

}  // namespace tavolin::copy
