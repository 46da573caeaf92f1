#pragma once
// Bindings of the pure decision functions: manifest, lifecycles, HLS
// decisions, anonymisation and annotation statuses, token normalisation.
// All keep the interpreter lock for their short work.
#include "decisions/capabilities.hpp"
#include "decisions/hls.hpp"
#include "decisions/lifecycle.hpp"
#include "module/bindings.hpp"
#include "decisions/status_derivation.hpp"

namespace tavolin::py {

template <>
struct Binding<"native_capabilities"> {
  TAVOLIN_BODY() { return to_python(capabilities::native_capabilities()); };
};

template <>
struct Binding<"storage_profile_policy_rows"> {
  TAVOLIN_BODY() { return to_python(capabilities::storage_profile_policy_rows()); };
};

template <>
struct Binding<"transition_service_lifecycle"> {
  TAVOLIN_BODY(std::string_view current_state, std::string_view event) {
    return lifecycle::transition_service(current_state, event);
  };
};

template <>
struct Binding<"transition_operation_lifecycle"> {
  TAVOLIN_BODY(std::string_view current_state, std::string_view event) {
    return lifecycle::transition_operation(current_state, event);
  };
};

template <>
struct Binding<"derive_hls_reservation_action"> {
  TAVOLIN_BODY(std::string_view active_status, bool active_is_stale, bool ready_matches_source,
               bool force) {
    return hls::derive_reservation_action(active_status, active_is_stale, ready_matches_source,
                                          force);
  };
};

template <>
struct Binding<"derive_hls_publication_action"> {
  TAVOLIN_BODY(std::string_view attempt_status, bool owner_matches, bool has_active_lease,
               bool has_ready_generation) {
    return hls::derive_publication_action(attempt_status, owner_matches, has_active_lease,
                                          has_ready_generation);
  };
};

template <>
struct Binding<"derive_hls_reconciliation_action"> {
  TAVOLIN_BODY(std::string_view status, bool is_stale) {
    return hls::derive_reconciliation_action(status, is_stale);
  };
};

template <>
struct Binding<"anonymization_status_rules"> {
  TAVOLIN_BODY(bool report) {
    const auto rules = report ? status_derivation::report_anonymization_rules()
                              : status_derivation::video_anonymization_rules();
    using Condition = std::tuple<std::string_view, bool>;
    std::vector<std::tuple<std::string_view, std::vector<Condition>>> out;
    out.reserve(rules.size());
    for (const auto& rule : rules) {
      std::vector<Condition> conditions;
      for (const auto& c : rule.active())
        conditions.emplace_back(status_derivation::field_name(c.field), c.required);
      out.emplace_back(status_derivation::token(rule.status), std::move(conditions));
    }
    return to_python(out);
  };
};

template <>
struct Binding<"derive_anonymization_status"> {
  TAVOLIN_BODY(bool processing_error, bool anonymization_validated, bool sensitive_meta_processed,
               bool frames_extracted, bool anonymized, bool was_created,
               bool processing_started) {
    return to_python(status_derivation::token(status_derivation::derive_video_status(
        processing_error, anonymization_validated, sensitive_meta_processed, frames_extracted,
        anonymized, was_created, processing_started)));
  };
};

template <>
struct Binding<"derive_report_anonymization_status"> {
  TAVOLIN_BODY(bool processing_error, bool anonymization_validated, bool sensitive_meta_processed,
               bool anonymized, bool processing_started) {
    return to_python(status_derivation::token(status_derivation::derive_report_status(
        processing_error, anonymization_validated, sensitive_meta_processed, anonymized,
        processing_started)));
  };
};

template <>
struct Binding<"derive_segment_annotation_status"> {
  TAVOLIN_BODY(bool segment_annotations_created, bool segment_annotations_validated,
               bool outside_segments_removed) {
    return to_python(status_derivation::segment_annotation_status(
        segment_annotations_created, segment_annotations_validated, outside_segments_removed));
  };
};

template <>
struct Binding<"derive_frame_annotation_status"> {
  TAVOLIN_BODY(bool has_state, bool frames_extracted, bool initial_prediction_completed,
               bool lvs_created, bool frame_annotations_generated) {
    return to_python(status_derivation::frame_annotation_status(
        has_state, frames_extracted, initial_prediction_completed, lvs_created,
        frame_annotations_generated));
  };
};

template <>
struct Binding<"normalize_frame_task_mode_token"> {
  TAVOLIN_BODY(std::string_view value) {
    return to_python(status_derivation::normalize_frame_task_mode(value));
  };
};

template <>
struct Binding<"normalize_frame_sampling_strategy_token"> {
  TAVOLIN_BODY(std::string_view value) {
    return to_python(status_derivation::normalize_frame_sampling_strategy(value));
  };
};

}  // namespace tavolin::py
