// Callers match these texts literally: change one only together with the contract.
//
// The messages of the failures the cores hand back. A message that carries
// values is either a function that makes the sentence (range_too_long,
// range_beyond_plaintext, invalid_lifecycle_transition) or, not yet
// converted, kept as its fixed parts with a comment saying where the value
// goes. Texts of broken invariants (InternalFault) are no contract wording
// and stay at their checks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavolin::messages {

// ---------------------------------------------------------------- arguments

inline constexpr std::string_view CHUNK_SIZE = "chunk_size must be greater than zero";
inline constexpr std::string_view SOURCE_FD = "source_fd must be non-negative";
inline constexpr std::string_view WORKER_COUNT = "worker_count must be greater than zero";
inline constexpr std::string_view EXT_EMPTY = "ext must not be empty";

// ---------------------------------------------------------------- files and I/O

// "<strerror> (os error N)": the text of an operating-system error.
inline constexpr std::string_view OS_ERROR_OPEN = " (os error ";
inline constexpr std::string_view OS_ERROR_CLOSE = ")";
inline constexpr std::string_view OS_ERROR_UNKNOWN = "Unknown error";

inline constexpr std::string_view PATH_NUL = "path contains a NUL byte";
inline constexpr std::string_view SHORT_READ = "failed to fill whole buffer";
inline constexpr std::string_view SHORT_WRITE = "failed to write whole buffer";
inline constexpr std::string_view INTERRUPTED = "operation interrupted";

inline constexpr std::string_view PROBE_NOT_REGULAR = "Encryption probes require a regular file";
inline constexpr std::string_view RANGE_NOT_REGULAR =
    "encrypted byte range source is not a regular file";
// + the path
inline constexpr std::string_view IDENTITY_NOT_REGULAR =
    "stable identity source is not a regular file: ";
// + the path
inline constexpr std::string_view IDENTITY_CHANGED =
    "file changed or was replaced while deriving stable identity: ";
// + the target path
inline constexpr std::string_view COPY_SAME_FILE = "copy source and target are the same file: ";

// ---------------------------------------------------------------- container front

inline constexpr std::string_view FORMAT_UNSUPPORTED = "unsupported encrypted file format";
inline constexpr std::string_view HEADER_LENGTH = "encrypted header length is invalid";
inline constexpr std::string_view HEADER_JSON = "encrypted header JSON is invalid";
inline constexpr std::string_view HEADER_CONTRACT = "unsupported encrypted header contract";
inline constexpr std::string_view HEADER_CHUNK_SIZE =
    "encrypted chunk size exceeds the bounded contract";
inline constexpr std::string_view HEADER_BASE64 = "encrypted header base64 is invalid";
inline constexpr std::string_view HEADER_KEY_MATERIAL =
    "encrypted header key material has invalid length";

// ---------------------------------------------------------------- keys and AES-GCM

inline constexpr std::string_view AES_KEY_LENGTH = "AES-GCM key must contain 16, 24, or 32 bytes";
inline constexpr std::string_view AES_NONCE_LENGTH = "AES-GCM nonce must contain 12 bytes";
inline constexpr std::string_view AES_UNAVAILABLE = "AES-GCM cipher is unavailable";
inline constexpr std::string_view AUTHENTICATION_FAILED = "AES-GCM authentication failed";
inline constexpr std::string_view DATA_KEY_LENGTH =
    "unwrapped data encryption key has invalid length";
inline constexpr std::string_view NO_GENERATION = "No configured generation authenticated the file";
inline constexpr std::string_view CHUNK_COUNTER = "encrypted chunk counter overflowed";

// ---------------------------------------------------------------- records and ranges

inline constexpr std::string_view CHUNK_GEOMETRY =
    "encrypted chunk length does not match chunk geometry";
inline constexpr std::string_view RECORD_OFFSET = "encrypted record offset overflowed";
inline constexpr std::string_view RANGE_END_BEFORE_START =
    "encrypted byte range end precedes start";
inline constexpr std::string_view RANGE_LENGTH_OVERFLOW = "encrypted byte range length overflowed";
inline std::string range_too_long(std::uint64_t limit) {
  std::string text("native encrypted byte range exceeds ");
  text.append(std::to_string(limit)).append(" bytes");
  return text;
}
inline constexpr std::string_view PAYLOAD_SIZE = "encrypted payload size is invalid";
inline constexpr std::string_view CHUNK_GEOMETRY_OVERFLOW = "encrypted chunk geometry overflowed";
inline constexpr std::string_view RECORD_GEOMETRY_OVERFLOW =
    "encrypted record geometry overflowed";
inline constexpr std::string_view PLAINTEXT_SIZE_OVERFLOW = "plaintext size overflowed";
inline constexpr std::string_view FINAL_RECORD_TRUNCATED =
    "encrypted final chunk record is truncated";
inline constexpr std::string_view FINAL_LENGTH =
    "encrypted final chunk length does not match file size";
inline constexpr std::string_view FINAL_PAYLOAD = "encrypted final chunk payload is invalid";
inline std::string range_beyond_plaintext(std::uint64_t start, std::uint64_t end,
                                          std::uint64_t size) {
  std::string text("requested byte range ");
  text.append(std::to_string(start)).append("-").append(std::to_string(end));
  text.append(" exceeds plaintext size ").append(std::to_string(size));
  return text;
}
inline constexpr std::string_view RANGE_LENGTH_INCONSISTENT =
    "decrypted byte range length is inconsistent";
inline constexpr std::string_view PLAINTEXT_OFFSET_OVERFLOW = "plaintext offset overflowed";

// ---------------------------------------------------------------- SHA-256

inline constexpr std::string_view SHA256_UNAVAILABLE = "SHA-256 is not available from libcrypto";
inline constexpr std::string_view SHA256_INIT = "SHA-256 initialisation failed";
inline constexpr std::string_view SHA256_UPDATE = "SHA-256 update failed";
inline constexpr std::string_view SHA256_FINAL = "SHA-256 finalisation failed";

// ---------------------------------------------------------------- batch processor

// + the operating-system error text
inline constexpr std::string_view POOL_START = "failed to create Rayon batch processor: ";

// ---------------------------------------------------------------- frame names

inline constexpr std::string_view FRAME_STEM_MISSING = "path is missing a valid file stem";
inline constexpr std::string_view FRAME_STEM_UNDERSCORE = "path stem is missing an underscore";
// + the path
inline constexpr std::string_view FRAME_NUMBER_INVALID = "invalid frame number in path: ";
// + the path
inline constexpr std::string_view FRAME_NOT_SHIFTABLE =
    "frame number cannot be shifted to zero-based index: ";
// + the path
inline constexpr std::string_view FRAME_NOT_RELATIVE = "path is not relative to base directory: ";

// ---------------------------------------------------------------- HLS and lifecycle

// + the status
inline constexpr std::string_view HLS_STATUS = "unsupported HLS in-flight status: ";

// + the state, or + the event
inline constexpr std::string_view SERVICE_STATE = "unsupported service lifecycle state: ";
inline constexpr std::string_view SERVICE_EVENT = "unsupported service lifecycle event: ";
inline constexpr std::string_view OPERATION_STATE = "unsupported operation lifecycle state: ";
inline constexpr std::string_view OPERATION_EVENT = "unsupported operation lifecycle event: ";
// `machine` is "service" or "operation".
inline std::string invalid_lifecycle_transition(std::string_view machine, std::string_view state,
                                                std::string_view event) {
  std::string text("invalid ");
  text.append(machine).append(" lifecycle transition: ").append(state);
  text.append(" --").append(event).append("-->");
  return text;
}

}  // namespace tavolin::messages
