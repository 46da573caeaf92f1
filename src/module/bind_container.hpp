#pragma once
// Bindings of the encrypted container: header validation, detection and
// byte-range decryption.
#include <cstring>

#include "encrypted_range/container.hpp"
#include "encrypted_range/detection.hpp"
#include "encrypted_range/range.hpp"
#include "module/bindings.hpp"

namespace tavolin::py {
inline PyObject* raise_io_as_value_error(const IoFailure& failure) {
  return raise_failure(Failure(failure), IoRoute::value_error);
}


template <>
struct Binding<"parse_encrypted_header"> {
  using Args = Converts<BytesObject>;
  static constexpr auto run = [](Bytes data) {
    const auto header = encrypted_range::parse_header_payload(data);
    if (!header) return raise_io_as_value_error(header.error());
    const auto& h = *header;
    return to_python(std::tuple(std::uint64_t{1}, std::string_view("AESGCM-chunked-v1"),
                                h.chunk_size, Bytes(h.wrapped_dek.begin(), h.wrapped_dek.end()),
                                Bytes(h.wrap_nonce.begin(), h.wrap_nonce.end()),
                                Bytes(h.nonce_prefix.begin(), h.nonce_prefix.end())));
  };
};

// Detection with the lock released; `answer(status)` builds the result.
template <class Answer>
PyObject* probe(const std::string& path, Answer&& answer) {
  const auto status = released([&] { return encrypted_range::probe_container_magic(path); });
  if (!status) return raise_failure(Failure(status.error()), IoRoute::os_error);
  return answer(*status);
}

template <>
struct Binding<"encryption_status"> {
  using Args = Converts<Path>;
  static constexpr auto run = [](std::string path) {
    return probe(path, [](auto status) { return to_python(encrypted_range::token(status)); });
  };
};

template <>
struct Binding<"is_qv_encrypted_file"> {
  using Args = Converts<Path>;
  static constexpr auto run = [](std::string path) {
    return probe(path, [](auto status) {
      return to_python(status == encrypted_range::EncryptionStatus::encrypted);
    });
  };
};

template <>
struct Binding<"decrypt_encrypted_file_range"> {
  using Args = Converts<Path, ByteSequence, U64, U64>;
  static constexpr auto run = [](std::string path, SecretBytes master_key, std::uint64_t start,
                                 std::uint64_t end) -> PyObject* {
    // The range checks are plain arithmetic; they run before the result
    // object is allocated, so a refused range allocates nothing.
    const auto range = encrypted_range::check_byte_range(start, end);
    if (!range) return raise_io_as_value_error(range.error());
    // The result is decrypted straight into the new bytes object, which
    // no one else can see until it is returned.
    PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(range->length));
    if (result == nullptr) return nullptr;
    const std::span<std::uint8_t> out(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result)),
                                      static_cast<std::size_t>(range->length));
    SignalWatch watch;
    const auto done = released([&] {
      return encrypted_range::decrypt_file_range_into(path, master_key, *range, out, watch);
    });
    if (!done) {  // `out` was wiped by the failed decryption
      Py_DECREF(result);
      if (watch.raised()) return nullptr;  // a signal handler's exception ended the read
      return raise_io_as_value_error(done.error());
    }
    return result;
  };
};

}  // namespace tavolin::py
