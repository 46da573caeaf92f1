#pragma once
// Bindings of the file and document functions (descriptor copy, single-page
// PDF) and of the frame records. All run their work with the interpreter
// lock released, on owned copies of their arguments.
#include <optional>
#include <string>
#include <vector>

#include "copy/copy.hpp"
#include "frames/frames.hpp"
#include "module/bindings.hpp"
#include "pdf/pdf.hpp"

namespace tavolin::py {

// A list of texts copied into one owned buffer (same acceptance and errors
// as a list of texts; no heap string per element).
struct TextListArg {
  using value_type = frames::TextList;
  static constexpr std::string_view python_type = "list[str]";
  static bool convert(PyObject* obj, value_type& out) {
    return for_each_item(
        obj, [&](std::size_t count) { out.reserve(count, count * 24); },
        [&](PyObject* item) {
          std::string_view text;
          if (!Text::convert(item, text)) return false;
          out.push_back(text);  // copied while `item` is alive; bad_alloc: MemoryError
          return true;
        });
  }
};

template <>
struct ConvertersTo<frames::TextList> {
  using type = ConverterSet<TextListArg>;
};

inline PyObject* text_to_python(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// One (int, str) tuple, or nullptr with an exception set.
inline PyObject* record_to_python(std::uint64_t number, std::string_view text) {
#ifdef Py_LIMITED_API
  // One call of the stable ABI instead of a new tuple and two checked stores.
  const PyRef first = PyRef::steal(PyLong_FromUnsignedLongLong(number));
  const PyRef second = PyRef::steal(first ? text_to_python(text) : nullptr);
  PyRef tuple = PyRef::steal(second ? PyTuple_Pack(2, first.get(), second.get()) : nullptr);
  if (!tuple) return nullptr;
#else
  PyRef tuple = PyRef::steal(PyTuple_New(2));
  if (!tuple) return nullptr;
  PyObject* first = PyLong_FromUnsignedLongLong(number);
  if (first == nullptr) return nullptr;
  compat::set_tuple_item(tuple.get(), 0, first);
  PyObject* second = text_to_python(text);
  if (second == nullptr) return nullptr;
  compat::set_tuple_item(tuple.get(), 1, second);
#endif
  // An int and a str cannot take part in a reference cycle; the collector
  // would untrack this tuple at its first pass anyway, so spare it the
  // repeated traversals of a million young tuples.
  PyObject_GC_UnTrack(tuple.get());
  return tuple.release();
}

inline Reply finish_records(const Result<std::vector<frames::FrameRecord>>& result) {
  if (!result) return std::unexpected(result.error());
  return list_of(*result, [](const frames::FrameRecord& record) {
    return record_to_python(std::get<0>(record), std::get<1>(record));
  });
}

inline Reply finish_expected(const Result<frames::ExpectedFrameRecords>& result) {
  if (!result) return std::unexpected(result.error());
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(result->size())));
  if (!list) return nullptr;
  const bool complete = result->for_each([&](std::uint64_t index, std::string_view name) {
    PyObject* record = record_to_python(index, name);
    if (record == nullptr) return false;
    compat::set_list_item(list.get(), static_cast<Py_ssize_t>(index), record);
    return true;
  });
  return complete ? list.release() : nullptr;  // unset slots are NULL: deallocation skips them
}

inline Reply finish_numbers(const Result<frames::BulkVector<std::uint64_t>>& result) {
  if (!result) return std::unexpected(result.error());
  return list_of(*result, [](std::uint64_t number) { return PyLong_FromUnsignedLongLong(number); });
}


template <>
struct Binding<"copy_file_descriptor_to_path"> {
  TAVOLIN_BODY(std::int32_t source_fd, std::string target_path, std::uint64_t chunk_size) -> Reply {
    const auto checked = copy::check_copy_arguments(source_fd, chunk_size);
    if (!checked) return std::unexpected(checked.error());
    SignalWatch watch;
    const auto copied = released([&] {
      return copy::copy_descriptor_to_path(source_fd, target_path, chunk_size, watch);
    });
    if (watch.raised()) return nullptr;  // a signal handler's exception ended the copy
    if (!copied) return std::unexpected(copied.error());
    return to_python(*copied);
  };
};

template <>
struct Binding<"render_single_page_pdf"> {
  TAVOLIN_BODY(std::string text) {
    const std::string file = released([&] { return pdf::render_single_page_pdf(text); });
    return PyBytes_FromStringAndSize(file.data(), static_cast<Py_ssize_t>(file.size()));
  };
};

template <>
struct Binding<"parse_extracted_frame_numbers"> {
  TAVOLIN_BODY(frames::TextList paths) {
    const auto numbers = released([&] { return frames::parse_extracted_frame_numbers(paths); });
    return finish_numbers(numbers);
  };
};

template <>
struct Binding<"build_frame_records"> {
  TAVOLIN_BODY(frames::TextList paths, std::optional<std::string> relative_to, bool zero_based) {
    const auto records = released(
        [&] { return frames::build_frame_records(paths, relative_to, zero_based); });
    return finish_records(records);
  };
};

template <>
struct Binding<"build_expected_frame_records"> {
  TAVOLIN_BODY(std::uint64_t frame_count, std::string ext) {
    const auto records =
        released([&] { return frames::build_expected_frame_records(frame_count, ext); });
    return finish_expected(records);
  };
};

}  // namespace tavolin::py
