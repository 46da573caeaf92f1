// Callers match these texts literally: change one only together with the contract.
//
// The messages of the failures the cores hand back. A message that carries
// values is a function that makes the sentence, named after it
// (identity_changed(path), range_beyond_plaintext(start, end, size)). Texts
// of broken invariants (Failure::internal) are no contract wording and stay
// at their checks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavolin::messages {

// ---------------------------------------------------------------- arguments

inline constexpr std::string_view kChunkSize = "chunk_size must be greater than zero";
inline constexpr std::string_view kSourceFd = "source_fd must be non-negative";
inline constexpr std::string_view kWorkerCount = "worker_count must be greater than zero";
inline constexpr std::string_view kExtEmpty = "ext must not be empty";

// ---------------------------------------------------------------- files and I/O

// The text of an operating-system error: "<description> (os error N)", the
// description from describe_errno (failure.hpp).
// Wording kept from the implementation callers first matched: do not reword.
inline std::string os_error(std::string_view description, int error_number) {
  std::string text(description);
  return text.append(" (os error ").append(std::to_string(error_number)).append(")");
}
// An errno without a description: "Unknown error N".
inline constexpr std::string_view kOsErrorUnknown = "Unknown error";

inline constexpr std::string_view kPathNul = "path contains a NUL byte";
// These two keep the wording of the implementation callers first matched: do not reword.
inline constexpr std::string_view kShortRead = "failed to fill whole buffer";
inline constexpr std::string_view kShortWrite = "failed to write whole buffer";
inline constexpr std::string_view kInterrupted = "operation interrupted";

inline constexpr std::string_view kProbeNotRegular = "Encryption probes require a regular file";
inline constexpr std::string_view kRangeNotRegular =
    "encrypted byte range source is not a regular file";
inline std::string identity_not_regular(std::string_view path) {
  return std::string("stable identity source is not a regular file: ").append(path);
}
inline std::string identity_changed(std::string_view path) {
  return std::string("file changed or was replaced while deriving stable identity: ").append(path);
}
inline std::string copy_same_file(std::string_view target_path) {
  return std::string("copy source and target are the same file: ").append(target_path);
}

// ---------------------------------------------------------------- container front

inline constexpr std::string_view kFormatUnsupported = "unsupported encrypted file format";
inline constexpr std::string_view kHeaderLength = "encrypted header length is invalid";
inline constexpr std::string_view kHeaderJson = "encrypted header JSON is invalid";
inline constexpr std::string_view kHeaderContract = "unsupported encrypted header contract";
inline constexpr std::string_view kHeaderChunkSize =
    "encrypted chunk size exceeds the bounded contract";
inline constexpr std::string_view kHeaderBase64 = "encrypted header base64 is invalid";
inline constexpr std::string_view kHeaderKeyMaterial =
    "encrypted header key material has invalid length";

// ---------------------------------------------------------------- keys and AES-GCM

inline constexpr std::string_view kAesKeyLength = "AES-GCM key must contain 16, 24, or 32 bytes";
inline constexpr std::string_view kAesNonceLength = "AES-GCM nonce must contain 12 bytes";
inline constexpr std::string_view kAesUnavailable = "AES-GCM cipher is unavailable";
inline constexpr std::string_view kAuthenticationFailed = "AES-GCM authentication failed";
inline constexpr std::string_view kDataKeyLength =
    "unwrapped data encryption key has invalid length";
inline constexpr std::string_view kNoGeneration = "No configured generation authenticated the file";
inline constexpr std::string_view kChunkCounter = "encrypted chunk counter overflowed";

// ---------------------------------------------------------------- records and ranges

inline constexpr std::string_view kChunkGeometry =
    "encrypted chunk length does not match chunk geometry";
inline constexpr std::string_view kRecordOffset = "encrypted record offset overflowed";
inline constexpr std::string_view kRangeEndBeforeStart =
    "encrypted byte range end precedes start";
inline constexpr std::string_view kRangeLengthOverflow = "encrypted byte range length overflowed";
inline std::string range_too_long(std::uint64_t limit) {
  std::string text("native encrypted byte range exceeds ");
  text.append(std::to_string(limit)).append(" bytes");
  return text;
}
inline constexpr std::string_view kPayloadSize = "encrypted payload size is invalid";
inline constexpr std::string_view kChunkGeometryOverflow = "encrypted chunk geometry overflowed";
inline constexpr std::string_view kRecordGeometryOverflow =
    "encrypted record geometry overflowed";
inline constexpr std::string_view kPlaintextSizeOverflow = "plaintext size overflowed";
inline constexpr std::string_view kFinalRecordTruncated =
    "encrypted final chunk record is truncated";
inline constexpr std::string_view kFinalLength =
    "encrypted final chunk length does not match file size";
inline constexpr std::string_view kFinalPayload = "encrypted final chunk payload is invalid";
inline std::string range_beyond_plaintext(std::uint64_t start, std::uint64_t end,
                                          std::uint64_t size) {
  std::string text("requested byte range ");
  text.append(std::to_string(start)).append("-").append(std::to_string(end));
  text.append(" exceeds plaintext size ").append(std::to_string(size));
  return text;
}
inline constexpr std::string_view kRangeLengthInconsistent =
    "decrypted byte range length is inconsistent";
inline constexpr std::string_view kPlaintextOffsetOverflow = "plaintext offset overflowed";

// ---------------------------------------------------------------- SHA-256

inline constexpr std::string_view kSha256Unavailable = "SHA-256 is not available from libcrypto";
inline constexpr std::string_view kSha256Init = "SHA-256 initialisation failed";
inline constexpr std::string_view kSha256Update = "SHA-256 update failed";
inline constexpr std::string_view kSha256Final = "SHA-256 finalisation failed";

// ---------------------------------------------------------------- batch processor

// Wording kept from the implementation callers first matched: do not reword.
inline std::string pool_not_started(std::string_view os_error_text) {
  return std::string("failed to create Rayon batch processor: ").append(os_error_text);
}

// ---------------------------------------------------------------- frame names

inline constexpr std::string_view kFrameStemMissing = "path is missing a valid file stem";
inline constexpr std::string_view kFrameStemUnderscore = "path stem is missing an underscore";
inline std::string frame_number_invalid(std::string_view path) {
  return std::string("invalid frame number in path: ").append(path);
}
inline std::string frame_not_shiftable(std::string_view path) {
  return std::string("frame number cannot be shifted to zero-based index: ").append(path);
}
inline std::string frame_not_relative(std::string_view path) {
  return std::string("path is not relative to base directory: ").append(path);
}

// ---------------------------------------------------------------- HLS and lifecycle

inline std::string unsupported_hls_status(std::string_view status) {
  return std::string("unsupported HLS in-flight status: ").append(status);
}

// `machine` is "service" or "operation", in this and the next two.
inline std::string unsupported_lifecycle_state(std::string_view machine, std::string_view state) {
  return std::string("unsupported ").append(machine).append(" lifecycle state: ").append(state);
}
inline std::string unsupported_lifecycle_event(std::string_view machine, std::string_view event) {
  return std::string("unsupported ").append(machine).append(" lifecycle event: ").append(event);
}
inline std::string invalid_lifecycle_transition(std::string_view machine, std::string_view state,
                                                std::string_view event) {
  std::string text("invalid ");
  text.append(machine).append(" lifecycle transition: ").append(state);
  text.append(" --").append(event).append("-->");
  return text;
}

}  // namespace tavolin::messages
