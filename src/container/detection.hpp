// Detection of containers by their magic.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/failure.hpp"

namespace tavolin::container {

enum class EncryptionStatus : bool { plaintext = false, encrypted = true };

// "encrypted" or "plaintext".
std::string_view token(EncryptionStatus status);

// Whether `head`, the first bytes of a file, begins with the container magic.
bool has_container_magic(std::span<const std::uint8_t> head);

// Compares the first 8 bytes of the regular file at `path` with the container
// magic. A shorter file is plaintext. Never blocks on a FIFO or device: those
// fail with the invalid-input failure "Encryption probes require a regular file".
Result<EncryptionStatus> probe_container_magic(const std::string& path);

}  // namespace tavolin::container
