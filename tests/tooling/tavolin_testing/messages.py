"""The module's contract messages that several test modules check, written
once. A test that checks a message names it from here; a message only one
test module uses stays in that module."""

# The container header.
HEADER_LENGTH = "encrypted header length is invalid"
HEADER_JSON = "encrypted header JSON is invalid"
HEADER_CONTRACT = "unsupported encrypted header contract"
HEADER_CHUNK = "encrypted chunk size exceeds the bounded contract"
KEY_MATERIAL = "encrypted header key material has invalid length"
NOT_CONTAINER = "unsupported encrypted file format"

# Records and keys.
AUTH = "AES-GCM authentication failed"
SHORT_READ = "failed to fill whole buffer"
GEOMETRY = "encrypted chunk length does not match chunk geometry"
FINAL_LENGTH = "encrypted final chunk length does not match file size"
FINAL_TRUNCATED = "encrypted final chunk record is truncated"
NO_KEY = "No configured generation authenticated the file"
AES_KEY_LENGTH = "AES-GCM key must contain 16, 24, or 32 bytes"

# Files and arguments.
NOT_REGULAR_IDENTITY = "stable identity source is not a regular file: "
NOT_REGULAR_RANGE = "encrypted byte range source is not a regular file"
CHANGED = "file changed or was replaced while deriving stable identity: "
CHUNK_SIZE = "chunk_size must be greater than zero"
WORKER_COUNT = "worker_count must be greater than zero"
