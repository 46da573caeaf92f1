#include "decisions/status_derivation.hpp"

#include "common/text.hpp"

namespace tavolin::status_derivation {

namespace {

using F = AnonymizationField;
using S = AnonymizationStatus;

constexpr AnonymizationRule one(S status, F field, bool value) {
  return {status, {{{field, value}, {field, value}}}, 1};
}
constexpr AnonymizationRule two(S status, F f1, bool v1, F f2, bool v2) {
  return {status, {{{f1, v1}, {f2, v2}}}, 2};
}

constexpr std::array<AnonymizationRule, 7> kVideoRules = {
    one(S::failed, F::processing_error, true),
    one(S::validated, F::anonymization_validated, true),
    one(S::done_processing_anonymization, F::sensitive_meta_processed, true),
    two(S::processing_anonymization, F::frames_extracted, true, F::anonymized, false),
    two(S::extracting_frames, F::was_created, true, F::frames_extracted, false),
    one(S::started, F::processing_started, true),
    one(S::anonymized, F::anonymized, true),
};

constexpr std::array<AnonymizationRule, 6> kReportRules = {
    one(S::failed, F::processing_error, true),
    one(S::validated, F::anonymization_validated, true),
    one(S::done_processing_anonymization, F::sensitive_meta_processed, true),
    two(S::processing_anonymization, F::processing_started, true, F::anonymized, false),
    one(S::started, F::processing_started, true),
    one(S::anonymized, F::anonymized, true),
};

constexpr std::array<std::string_view, 8> kStatusTokens = {
    "not_started", "extracting_frames", "processing_anonymization",
    "done_processing_anonymization", "validated", "failed", "started", "anonymized"};

constexpr std::array<std::string_view, kFieldCount> kFieldNames = {
    "processing_error", "anonymization_validated", "sensitive_meta_processed",
    "frames_extracted", "anonymized", "was_created", "processing_started"};

}  // namespace

std::string_view token(AnonymizationStatus s) { return kStatusTokens[static_cast<std::size_t>(s)]; }
std::string_view field_name(AnonymizationField f) {
  return kFieldNames[static_cast<std::size_t>(f)];
}

std::span<const AnonymizationRule> video_anonymization_rules() { return kVideoRules; }
std::span<const AnonymizationRule> report_anonymization_rules() { return kReportRules; }

AnonymizationStatus walk_rules(std::span<const AnonymizationRule> rules,
                               const AnonymizationFacts& facts) {
  for (const AnonymizationRule& rule : rules) {
    bool all = true;
    for (const AnonymizationCondition& c : rule.active()) {
      all = all && facts[static_cast<std::size_t>(c.field)] == c.required;
    }
    if (all) return rule.status;
  }
  return S::not_started;
}

// Inlined branches equal to the first-match walk of kVideoRules (checked
// exhaustively by the tests).
AnonymizationStatus derive_video_status(bool processing_error, bool anonymization_validated,
                                        bool sensitive_meta_processed, bool frames_extracted,
                                        bool anonymized, bool was_created,
                                        bool processing_started) {
  if (processing_error) return S::failed;
  if (anonymization_validated) return S::validated;
  if (sensitive_meta_processed) return S::done_processing_anonymization;
  if (frames_extracted && !anonymized) return S::processing_anonymization;
  if (was_created && !frames_extracted) return S::extracting_frames;
  if (processing_started) return S::started;
  if (anonymized) return S::anonymized;
  return S::not_started;
}

AnonymizationStatus derive_report_status(bool processing_error, bool anonymization_validated,
                                         bool sensitive_meta_processed, bool anonymized,
                                         bool processing_started) {
  if (processing_error) return S::failed;
  if (anonymization_validated) return S::validated;
  if (sensitive_meta_processed) return S::done_processing_anonymization;
  if (processing_started) return anonymized ? S::started : S::processing_anonymization;
  if (anonymized) return S::anonymized;
  return S::not_started;
}

std::string_view frame_annotation_status(bool has_state, bool frames_extracted,
                                         bool initial_prediction_completed, bool lvs_created,
                                         bool frame_annotations_generated) {
  if (!has_state) return "not_started";
  if (!frames_extracted) return "frames_unavailable";
  if (!initial_prediction_completed) return "prediction_pending";
  if (!lvs_created) return "prediction_ready";
  if (!frame_annotations_generated) return "annotation_ready";
  return "annotation_complete";
}

std::string_view segment_annotation_status(bool segment_annotations_created,
                                           bool segment_annotations_validated,
                                           bool outside_segments_removed) {
  if (segment_annotations_validated) {
    return outside_segments_removed ? "validated" : "cleanup_required";
  }
  return segment_annotations_created ? "cleanup_required" : "not_started";
}

namespace {

bool equals_ascii_folded(std::string_view prepared, std::string_view word) {
  if (prepared.size() != word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char c = prepared[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

}  // namespace

std::string_view normalize_frame_task_mode(std::string_view value) {
  const std::string_view prepared = trim_unicode_whitespace(value);
  if (equals_ascii_folded(prepared, "filtered")) return "filtered";
  return "random";
}

std::string_view normalize_frame_sampling_strategy(std::string_view value) {
  const std::string_view prepared = trim_unicode_whitespace(value);
  for (std::string_view word : {std::string_view("segments"), std::string_view("annotations"),
                                std::string_view("none")}) {
    if (equals_ascii_folded(prepared, word)) return word;
  }
  return "balanced";
}

}  // namespace tavolin::status_derivation
