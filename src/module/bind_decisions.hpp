#pragma once
// Bindings of the pure decision functions: manifest, lifecycles, HLS
// decisions, anonymisation and annotation statuses, token normalisation.
// All keep the interpreter lock for their short work.
#include "capabilities/capabilities.hpp"
#include "hls/hls.hpp"
#include "lifecycle/lifecycle.hpp"
#include "module/bindings.hpp"
#include "status_derivation/status_derivation.hpp"

namespace tavolin::py {

template <>
struct Binding<"native_capabilities"> {
  using Args = Converts<>;
  static constexpr auto run = [] { return to_python(capabilities::native_capabilities()); };
};

template <>
struct Binding<"storage_profile_policy_rows"> {
  using Args = Converts<>;
  static constexpr auto run = [] { return to_python(capabilities::storage_profile_policy_rows()); };
};

template <>
struct Binding<"transition_service_lifecycle"> {
  using Args = Converts<Text, Text>;
  static constexpr auto run = [](std::string_view state, std::string_view event) {
    return finish(lifecycle::transition_service(state, event));
  };
};

template <>
struct Binding<"transition_operation_lifecycle"> {
  using Args = Converts<Text, Text>;
  static constexpr auto run = [](std::string_view state, std::string_view event) {
    return finish(lifecycle::transition_operation(state, event));
  };
};

template <>
struct Binding<"derive_hls_reservation_action"> {
  using Args = Converts<Text, Bool, Bool, Bool>;
  static constexpr auto run = [](std::string_view status, bool stale, bool matches, bool force) {
    return finish(hls::derive_reservation_action(status, stale, matches, force));
  };
};

template <>
struct Binding<"derive_hls_publication_action"> {
  using Args = Converts<Text, Bool, Bool, Bool>;
  static constexpr auto run = [](std::string_view status, bool owner, bool lease, bool ready) {
    return finish(hls::derive_publication_action(status, owner, lease, ready));
  };
};

template <>
struct Binding<"derive_hls_reconciliation_action"> {
  using Args = Converts<Text, Bool>;
  static constexpr auto run = [](std::string_view status, bool stale) {
    return finish(hls::derive_reconciliation_action(status, stale));
  };
};

template <>
struct Binding<"anonymization_status_rules"> {
  using Args = Converts<Bool>;
  static constexpr auto run = [](bool report) {
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
  using Args = Converts<Bool, Bool, Bool, Bool, Bool, Bool, Bool>;
  static constexpr auto run = [](bool error, bool validated, bool meta, bool frames,
                                 bool anonymized, bool created, bool started) {
    return to_python(status_derivation::token(status_derivation::derive_video_status(
        error, validated, meta, frames, anonymized, created, started)));
  };
};

template <>
struct Binding<"derive_report_anonymization_status"> {
  using Args = Converts<Bool, Bool, Bool, Bool, Bool>;
  static constexpr auto run = [](bool error, bool validated, bool meta, bool anonymized,
                                 bool started) {
    return to_python(status_derivation::token(
        status_derivation::derive_report_status(error, validated, meta, anonymized, started)));
  };
};

template <>
struct Binding<"derive_segment_annotation_status"> {
  using Args = Converts<Bool, Bool, Bool>;
  static constexpr auto run = [](bool created, bool validated, bool removed) {
    return to_python(status_derivation::segment_annotation_status(created, validated, removed));
  };
};

template <>
struct Binding<"derive_frame_annotation_status"> {
  using Args = Converts<Bool, Bool, Bool, Bool, Bool>;
  static constexpr auto run = [](bool state, bool frames, bool prediction, bool lvs,
                                 bool generated) {
    return to_python(
        status_derivation::frame_annotation_status(state, frames, prediction, lvs, generated));
  };
};

template <>
struct Binding<"normalize_frame_task_mode_token"> {
  using Args = Converts<Text>;
  static constexpr auto run = [](std::string_view v) {
    return to_python(status_derivation::normalize_frame_task_mode(v));
  };
};

template <>
struct Binding<"normalize_frame_sampling_strategy_token"> {
  using Args = Converts<Text>;
  static constexpr auto run = [](std::string_view v) {
    return to_python(status_derivation::normalize_frame_sampling_strategy(v));
  };
};

}  // namespace tavolin::py
