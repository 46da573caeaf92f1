// Bindings of the pure decision functions: manifest, lifecycles, HLS
// decisions, anonymisation and annotation statuses, token normalisation.
// All keep the interpreter lock for their short work.
#include "capabilities/capabilities.hpp"
#include "hls/hls.hpp"
#include "lifecycle/lifecycle.hpp"
#include "module/bindings.hpp"
#include "status_derivation/status_derivation.hpp"

namespace tavolin::py {

using FastArgs = PyObject* const*;

PyObject* py_native_capabilities(PyObject*, PyObject*) {
  return guarded([] { return to_python(capabilities::native_capabilities()); });
}

PyObject* py_storage_profile_policy_rows(PyObject*, PyObject*) {
  return guarded([] { return to_python(capabilities::storage_profile_policy_rows()); });
}

PyObject* py_transition_service_lifecycle(PyObject*, FastArgs a, Py_ssize_t n, PyObject* kw) {
  return Call<Text, Text>::run(decl::transition_service_lifecycle, a, n, kw,
                               [](std::string_view state, std::string_view event) {
                                 return finish(lifecycle::transition_service(state, event));
                               });
}

PyObject* py_transition_operation_lifecycle(PyObject*, FastArgs a, Py_ssize_t n, PyObject* kw) {
  return Call<Text, Text>::run(decl::transition_operation_lifecycle, a, n, kw,
                               [](std::string_view state, std::string_view event) {
                                 return finish(lifecycle::transition_operation(state, event));
                               });
}

PyObject* py_derive_hls_reservation_action(PyObject*, FastArgs a, Py_ssize_t n, PyObject* kw) {
  return Call<Text, Bool, Bool, Bool>::run(
      decl::derive_hls_reservation_action, a, n, kw,
      [](std::string_view status, bool stale, bool matches, bool force) {
        return finish(hls::derive_reservation_action(status, stale, matches, force));
      });
}

PyObject* py_derive_hls_publication_action(PyObject*, FastArgs a, Py_ssize_t n, PyObject* kw) {
  return Call<Text, Bool, Bool, Bool>::run(
      decl::derive_hls_publication_action, a, n, kw,
      [](std::string_view status, bool owner, bool lease, bool ready) {
        return finish(hls::derive_publication_action(status, owner, lease, ready));
      });
}

PyObject* py_derive_hls_reconciliation_action(PyObject*, FastArgs a, Py_ssize_t n, PyObject* kw) {
  return Call<Text, Bool>::run(decl::derive_hls_reconciliation_action, a, n, kw,
                               [](std::string_view status, bool stale) {
                                 return finish(hls::derive_reconciliation_action(status, stale));
                               });
}

PyObject* py_anonymization_status_rules(PyObject*, FastArgs a, Py_ssize_t n, PyObject* kw) {
  return Call<Bool>::run(decl::anonymization_status_rules, a, n, kw, [](bool report) {
    const auto rules =
        report ? status_derivation::report_anonymization_rules() : status_derivation::video_anonymization_rules();
    using Condition = std::tuple<std::string_view, bool>;
    std::vector<std::tuple<std::string_view, std::vector<Condition>>> out;
    out.reserve(rules.size());
    for (const auto& rule : rules) {
      std::vector<Condition> conditions;
      for (const auto& c : rule.active()) conditions.emplace_back(status_derivation::field_name(c.field), c.required);
      out.emplace_back(status_derivation::token(rule.status), std::move(conditions));
    }
    return to_python(out);
  });
}

PyObject* py_derive_anonymization_status(PyObject*, FastArgs a, Py_ssize_t n, PyObject* kw) {
  return Call<Bool, Bool, Bool, Bool, Bool, Bool, Bool>::run(
      decl::derive_anonymization_status, a, n, kw,
      [](bool error, bool validated, bool meta, bool frames, bool anonymized, bool created,
         bool started) {
        return to_python(status_derivation::token(status_derivation::derive_video_status(
            error, validated, meta, frames, anonymized, created, started)));
      });
}

PyObject* py_derive_report_anonymization_status(PyObject*, FastArgs a, Py_ssize_t n,
                                                PyObject* kw) {
  return Call<Bool, Bool, Bool, Bool, Bool>::run(
      decl::derive_report_anonymization_status, a, n, kw,
      [](bool error, bool validated, bool meta, bool anonymized, bool started) {
        return to_python(status_derivation::token(
            status_derivation::derive_report_status(error, validated, meta, anonymized, started)));
      });
}

PyObject* py_derive_segment_annotation_status(PyObject*, FastArgs a, Py_ssize_t n, PyObject* kw) {
  return Call<Bool, Bool, Bool>::run(decl::derive_segment_annotation_status, a, n, kw,
                                     [](bool created, bool validated, bool removed) {
                                       return to_python(status_derivation::segment_annotation_status(
                                           created, validated, removed));
                                     });
}

PyObject* py_derive_frame_annotation_status(PyObject*, FastArgs a, Py_ssize_t n, PyObject* kw) {
  return Call<Bool, Bool, Bool, Bool, Bool>::run(
      decl::derive_frame_annotation_status, a, n, kw,
      [](bool state, bool frames, bool prediction, bool lvs, bool generated) {
        return to_python(
            status_derivation::frame_annotation_status(state, frames, prediction, lvs, generated));
      });
}

PyObject* py_normalize_frame_task_mode_token(PyObject*, FastArgs a, Py_ssize_t n, PyObject* kw) {
  return Call<Text>::run(decl::normalize_frame_task_mode_token, a, n, kw, [](std::string_view v) {
    return to_python(status_derivation::normalize_frame_task_mode(v));
  });
}

PyObject* py_normalize_frame_sampling_strategy_token(PyObject*, FastArgs a, Py_ssize_t n,
                                                     PyObject* kw) {
  return Call<Text>::run(decl::normalize_frame_sampling_strategy_token, a, n, kw,
                         [](std::string_view v) {
                           return to_python(status_derivation::normalize_frame_sampling_strategy(v));
                         });
}

}  // namespace tavolin::py
