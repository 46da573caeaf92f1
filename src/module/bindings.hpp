// Entry points of the module functions, one per declaration in
// capabilities/signatures.hpp, defined in the bind_*.cpp files.
#pragma once

#include "module/call.hpp"
#include "module/conversions.hpp"
#include "module/exceptions.hpp"
#include "module/interpreter_lock.hpp"

namespace tavolin::py {

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsFunction = PyObject* (*)(PyObject*, PyObject*);

#define TAVOLIN_FAST(name) PyObject* py_##name(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)
#define TAVOLIN_NOARGS(name) PyObject* py_##name(PyObject*, PyObject*)

// bind_container.cpp
TAVOLIN_FAST(parse_encrypted_header);
TAVOLIN_FAST(encryption_status);
TAVOLIN_FAST(is_qv_encrypted_file);
TAVOLIN_FAST(decrypt_encrypted_file_range);
// bind_files.cpp
TAVOLIN_FAST(copy_file_descriptor_to_path);
TAVOLIN_FAST(render_single_page_pdf);
TAVOLIN_FAST(parse_extracted_frame_numbers);
TAVOLIN_FAST(build_frame_records);
TAVOLIN_FAST(build_expected_frame_records);
// bind_identity.cpp
TAVOLIN_FAST(stable_file_identity);
// bind_decisions.cpp
TAVOLIN_NOARGS(native_capabilities);
TAVOLIN_NOARGS(storage_profile_policy_rows);
TAVOLIN_FAST(derive_hls_reservation_action);
TAVOLIN_FAST(derive_hls_publication_action);
TAVOLIN_FAST(derive_hls_reconciliation_action);
TAVOLIN_FAST(anonymization_status_rules);
TAVOLIN_FAST(derive_anonymization_status);
TAVOLIN_FAST(derive_report_anonymization_status);
TAVOLIN_FAST(transition_service_lifecycle);
TAVOLIN_FAST(transition_operation_lifecycle);
TAVOLIN_FAST(derive_segment_annotation_status);
TAVOLIN_FAST(derive_frame_annotation_status);
TAVOLIN_FAST(normalize_frame_task_mode_token);
TAVOLIN_FAST(normalize_frame_sampling_strategy_token);

#undef TAVOLIN_FAST
#undef TAVOLIN_NOARGS

// bind_identity.cpp: creates the BatchProcessor heap type (new reference), or
// nullptr with the interpreter's exception set.
PyObject* create_batch_processor_type();

}  // namespace tavolin::py
