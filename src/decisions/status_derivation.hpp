// Anonymisation and annotation statuses and the normalisation of free-text
// frame task settings.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tavolin::status_derivation {

enum class AnonymizationStatus : std::uint8_t {
  not_started, extracting_frames, processing_anonymization, done_processing_anonymization,
  validated, failed, started, anonymized,
};

enum class AnonymizationField : std::uint8_t {
  processing_error, anonymization_validated, sensitive_meta_processed, frames_extracted,
  anonymized, was_created, processing_started,
};

inline constexpr std::size_t kFieldCount = 7;

struct AnonymizationCondition {
  AnonymizationField field;
  bool required;
};

struct AnonymizationRule {
  AnonymizationStatus status;
  std::array<AnonymizationCondition, 2> conditions;
  std::uint8_t condition_count;

  [[nodiscard]] constexpr std::span<const AnonymizationCondition> active() const {
    return {conditions.data(), condition_count};
  }
};

std::string_view token(AnonymizationStatus s);
std::string_view field_name(AnonymizationField f);

// The ordered rule tables handed to the host; the derivations below are
// checked against their first-match walk for every input.
std::span<const AnonymizationRule> video_anonymization_rules();
std::span<const AnonymizationRule> report_anonymization_rules();

// Facts indexed by AnonymizationField.
using AnonymizationFacts = std::array<bool, kFieldCount>;
// The first-match walk over a table ("not_started" when nothing matches).
AnonymizationStatus walk_rules(std::span<const AnonymizationRule> rules,
                               const AnonymizationFacts& facts);

AnonymizationStatus derive_video_status(bool processing_error, bool anonymization_validated,
                                        bool sensitive_meta_processed, bool frames_extracted,
                                        bool anonymized, bool was_created,
                                        bool processing_started);
AnonymizationStatus derive_report_status(bool processing_error, bool anonymization_validated,
                                         bool sensitive_meta_processed, bool anonymized,
                                         bool processing_started);

std::string_view frame_annotation_status(bool has_state, bool frames_extracted,
                                         bool initial_prediction_completed, bool lvs_created,
                                         bool frame_annotations_generated);
std::string_view segment_annotation_status(bool segment_annotations_created,
                                           bool segment_annotations_validated,
                                           bool outside_segments_removed);

std::string_view normalize_frame_task_mode(std::string_view value);
std::string_view normalize_frame_sampling_strategy(std::string_view value);

}  // namespace tavolin::status_derivation
