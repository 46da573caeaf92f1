// Durable copy of what can still be read from an open descriptor into a file
// at a path.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "module/failure.hpp"

namespace tavolin::file_copy {

inline constexpr std::uint64_t kDefaultChunkSize = 1048576;
// The generic read/write loop never reads less than this at a time.
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
// read/write loop, with a buffer of max(chunk_size, kMinReadSize) bytes, takes
// whatever they refuse. A target that is the very file behind `source_fd` is
// refused before it is truncated. An fsync refused by a target that is not a
// regular file or block device (a pipe, a character device) after every byte
// was written completes the copy. A buffer that cannot be allocated throws
// std::bad_alloc (after releasing the descriptors).
IoResult<std::uint64_t> copy_descriptor_to_path(int source_fd, const std::string& target_path,
                                                std::uint64_t chunk_size);

}  // namespace tavolin::file_copy
