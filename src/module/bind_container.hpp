#pragma once
// Bindings of the encrypted container: header validation, detection and
// byte-range decryption.
#include <cstring>

#include "container/format.hpp"
#include "container/detection.hpp"
#include "container/range.hpp"
#include "module/bindings.hpp"

namespace tavolin::py {
// The declarations route every I/O failure of parse_encrypted_header and
// decrypt_encrypted_file_range to ValueError; the others here to OSError.

template <>
struct Binding<"parse_encrypted_header"> {
  TAVOLIN_BODY(Bytes data) -> Reply {
    const auto header = container::parse_header_payload(data);
    if (!header) return std::unexpected(header.error());
    const auto& h = *header;
    return to_python(std::tuple(std::uint64_t{1}, std::string_view("AESGCM-chunked-v1"),
                                h.chunk_size, Bytes(h.wrapped_dek.begin(), h.wrapped_dek.end()),
                                Bytes(h.wrap_nonce.begin(), h.wrap_nonce.end()),
                                Bytes(h.nonce_prefix.begin(), h.nonce_prefix.end())));
  };
};

// Detection with the lock released; `answer(status)` builds the result.
template <class Answer>
Reply probe(const std::string& path, Answer&& answer) {
  const auto status = released([&] { return container::probe_container_magic(path); });
  if (!status) return std::unexpected(status.error());
  return answer(*status);
}

template <>
struct Binding<"encryption_status"> {
  TAVOLIN_BODY(std::string path) {
    return probe(path, [](auto status) { return to_python(container::token(status)); });
  };
};

template <>
struct Binding<"is_qv_encrypted_file"> {
  TAVOLIN_BODY(std::string path) {
    return probe(path, [](auto status) {
      return to_python(status == container::EncryptionStatus::encrypted);
    });
  };
};

template <>
struct Binding<"decrypt_encrypted_file_range"> {
  TAVOLIN_BODY(std::string path, SecretBytes master_key, std::uint64_t start,
               std::uint64_t end) -> Reply {
    // The range checks are plain arithmetic; they run before the result
    // object is allocated, so a refused range allocates nothing.
    const auto range = container::check_byte_range(start, end);
    if (!range) return std::unexpected(range.error());
    // The result is decrypted straight into the new bytes object, which
    // no one else can see until it is returned.
    PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(range->length));
    if (result == nullptr) return nullptr;
    const std::span<std::uint8_t> out(reinterpret_cast<std::uint8_t*>(compat::bytes_data(result)),
                                      static_cast<std::size_t>(range->length));
    SignalWatch watch;
    const auto done = released([&] {
      return container::decrypt_file_range_into(path, master_key, *range, out, watch);
    });
    if (!done) {  // `out` was wiped by the failed decryption
      Py_DECREF(result);
      if (watch.raised()) return nullptr;  // a signal handler's exception ended the read
      return std::unexpected(done.error());
    }
    return result;
  };
};

}  // namespace tavolin::py
