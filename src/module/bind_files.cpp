// Bindings of the file and document functions (descriptor copy, single-page
// PDF) and of the frame records. All run their work with the interpreter
// lock released, on owned copies of their arguments.
#include <optional>
#include <string>
#include <vector>

#include "file_copy/file_copy.hpp"
#include "frames/frames.hpp"
#include "module/bindings.hpp"
#include "pdf/pdf.hpp"

namespace tavolin::py {

using FastArgs = PyObject* const*;

namespace {

// A record list built straight into Python objects: one tuple, int and str
// per record, without going through intermediate copies.
PyObject* records_to_python(const std::vector<frames::FrameRecord>& records) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(records.size()));
  if (list == nullptr) return nullptr;
  Py_ssize_t index = 0;
  for (const auto& [number, text] : records) {
    PyObject* tuple = PyTuple_New(2);
    PyObject* first = tuple ? PyLong_FromUnsignedLongLong(number) : nullptr;
    PyObject* second =
        first ? PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))
              : nullptr;
    if (second == nullptr) {
      Py_XDECREF(first);
      Py_XDECREF(tuple);
      Py_DECREF(list);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, 0, first);
    PyTuple_SET_ITEM(tuple, 1, second);
    PyList_SET_ITEM(list, index++, tuple);
  }
  return list;
}

PyObject* finish_records(const Result<std::vector<frames::FrameRecord>>& result) {
  if (!result) return raise_failure(result.error(), IoRoute::os_error);
  return records_to_python(*result);
}

}  // namespace

PyObject* py_copy_file_descriptor_to_path(PyObject*, FastArgs a, Py_ssize_t n, PyObject* kw) {
  return Call<I32, Path, Opt<U64>>::run(
      decl::copy_file_descriptor_to_path, a, n, kw,
      [](std::int32_t source_fd, std::string target_path, std::optional<std::uint64_t> chunk) {
        const std::uint64_t chunk_size = chunk.value_or(file_copy::kDefaultChunkSize);
        const auto checked = file_copy::check_copy_arguments(source_fd, chunk_size);
        if (!checked) return raise_failure(checked.error(), IoRoute::os_error);
        const auto copied = released([&] {
          return file_copy::copy_descriptor_to_path(source_fd, target_path, chunk_size);
        });
        return finish(copied, IoRoute::os_error);
      });
}

PyObject* py_render_single_page_pdf(PyObject*, FastArgs a, Py_ssize_t n, PyObject* kw) {
  return Call<OwnedText>::run(decl::render_single_page_pdf, a, n, kw, [](std::string text) {
    const std::string file = released([&] { return pdf::render_single_page_pdf(text); });
    return PyBytes_FromStringAndSize(file.data(), static_cast<Py_ssize_t>(file.size()));
  });
}

PyObject* py_parse_extracted_frame_numbers(PyObject*, FastArgs a, Py_ssize_t n, PyObject* kw) {
  return Call<ListOf<OwnedText>>::run(
      decl::parse_extracted_frame_numbers, a, n, kw, [](std::vector<std::string> paths) {
        const auto numbers = released([&] { return frames::parse_extracted_frame_numbers(paths); });
        return finish(numbers);
      });
}

PyObject* py_build_frame_records(PyObject*, FastArgs a, Py_ssize_t n, PyObject* kw) {
  return Call<ListOf<OwnedText>, OptionalText, Opt<Bool>>::run(
      decl::build_frame_records, a, n, kw,
      [](std::vector<std::string> paths, std::optional<std::string> relative_to,
         std::optional<bool> zero_based) {
        const auto records = released([&] {
          return frames::build_frame_records(paths, relative_to, zero_based.value_or(false));
        });
        return finish_records(records);
      });
}

PyObject* py_build_expected_frame_records(PyObject*, FastArgs a, Py_ssize_t n, PyObject* kw) {
  return Call<U64, Opt<OwnedText>>::run(
      decl::build_expected_frame_records, a, n, kw,
      [](std::uint64_t frame_count, std::optional<std::string> ext) {
        const std::string extension = ext ? std::move(*ext) : std::string("jpg");
        const auto records = released(
            [&] { return frames::build_expected_frame_records(frame_count, extension); });
        return finish_records(records);
      });
}

}  // namespace tavolin::py
