// One declaration per Python-visible function. Registration, the text
// signature in each docstring and the typed signature records of the typing
// stub are all derived from these records.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavolin {

struct ParamDecl {
  std::string_view name;
  std::string_view type;          // declared Python type, e.g. "pathlib.Path"
  std::string_view default_text;  // "" when required; "..." or a literal
  bool keyword_only = false;

  [[nodiscard]] constexpr bool required() const { return default_text.empty(); }
};

struct FunctionDecl {
  std::string_view name;
  std::span<const ParamDecl> params;
  std::string_view return_type;
  std::string_view doc;  // description for the stub; never part of __doc__
  std::string_view display_prefix = {};  // "BatchProcessor." for methods
};

// "name(a, b, *, c=None)": the text signature line of the docstring.
std::string text_signature(const FunctionDecl& decl, bool with_self = false);
// "a: int, b: str = ...": the parameter annotation text of the stub.
std::string annotation_text(const FunctionDecl& decl);

namespace decl {

#define TAVOLIN_PARAMS(name, ...) inline constexpr ParamDecl name##_params[] = {__VA_ARGS__}

inline constexpr std::span<const ParamDecl> kNoParams{};

TAVOLIN_PARAMS(parse_encrypted_header, {"data", "bytes", ""});
TAVOLIN_PARAMS(path_only, {"path", "pathlib.Path", ""});
TAVOLIN_PARAMS(decrypt_encrypted_file_range, {"path", "pathlib.Path", ""},
               {"master_key", "bytes", ""}, {"start", "int", ""}, {"end", "int", ""});
TAVOLIN_PARAMS(copy_file_descriptor_to_path, {"source_fd", "int", ""},
               {"target_path", "pathlib.Path", ""}, {"chunk_size", "int", "..."});
TAVOLIN_PARAMS(stable_file_identity, {"path", "pathlib.Path", ""}, {"chunk_size", "int", "..."},
               {"master_keys", "list[bytes]", "..."});
TAVOLIN_PARAMS(derive_hls_reservation_action, {"active_status", "str", ""},
               {"active_is_stale", "bool", ""}, {"ready_matches_source", "bool", ""},
               {"force", "bool", ""});
TAVOLIN_PARAMS(derive_hls_publication_action, {"attempt_status", "str", ""},
               {"owner_matches", "bool", ""}, {"has_active_lease", "bool", ""},
               {"has_ready_generation", "bool", ""});
TAVOLIN_PARAMS(derive_hls_reconciliation_action, {"status", "str", ""}, {"is_stale", "bool", ""});
TAVOLIN_PARAMS(render_single_page_pdf, {"text", "str", ""});
TAVOLIN_PARAMS(parse_extracted_frame_numbers, {"paths", "list[str]", ""});
TAVOLIN_PARAMS(build_frame_records, {"paths", "list[str]", ""},
               {"relative_to", "str | None", "None", true}, {"zero_based", "bool", "False", true});
TAVOLIN_PARAMS(build_expected_frame_records, {"frame_count", "int", ""},
               {"ext", "str", "\"jpg\""});
TAVOLIN_PARAMS(anonymization_status_rules, {"report", "bool", ""});
TAVOLIN_PARAMS(derive_anonymization_status, {"processing_error", "bool", ""},
               {"anonymization_validated", "bool", ""}, {"sensitive_meta_processed", "bool", ""},
               {"frames_extracted", "bool", ""}, {"anonymized", "bool", ""},
               {"was_created", "bool", ""}, {"processing_started", "bool", ""});
TAVOLIN_PARAMS(derive_report_anonymization_status, {"processing_error", "bool", ""},
               {"anonymization_validated", "bool", ""}, {"sensitive_meta_processed", "bool", ""},
               {"anonymized", "bool", ""}, {"processing_started", "bool", ""});
TAVOLIN_PARAMS(transition_lifecycle, {"current_state", "str", ""}, {"event", "str", ""});
TAVOLIN_PARAMS(derive_segment_annotation_status, {"segment_annotations_created", "bool", ""},
               {"segment_annotations_validated", "bool", ""},
               {"outside_segments_removed", "bool", ""});
TAVOLIN_PARAMS(derive_frame_annotation_status, {"has_state", "bool", ""},
               {"frames_extracted", "bool", ""}, {"initial_prediction_completed", "bool", ""},
               {"lvs_created", "bool", ""}, {"frame_annotations_generated", "bool", ""});
TAVOLIN_PARAMS(normalize_token, {"value", "str", ""});
TAVOLIN_PARAMS(batch_processor_new, {"worker_count", "int", ""});
TAVOLIN_PARAMS(stable_file_identities, {"paths", "list[pathlib.Path]", ""},
               {"chunk_size", "int", "..."}, {"master_keys", "list[bytes]", "..."});

#undef TAVOLIN_PARAMS

inline constexpr FunctionDecl parse_encrypted_header{
    "parse_encrypted_header", parse_encrypted_header_params,
    "tuple[int, str, int, bytes, bytes, bytes]", "Validate the shared encrypted header contract."};
inline constexpr FunctionDecl native_capabilities{"native_capabilities", kNoParams,
                                                  "list[tuple[str, str, str]]", ""};
inline constexpr FunctionDecl encryption_status{"encryption_status", path_only_params, "str", ""};
inline constexpr FunctionDecl is_qv_encrypted_file{"is_qv_encrypted_file", path_only_params,
                                                   "bool", ""};
inline constexpr FunctionDecl decrypt_encrypted_file_range{
    "decrypt_encrypted_file_range", decrypt_encrypted_file_range_params, "bytes", ""};
inline constexpr FunctionDecl copy_file_descriptor_to_path{
    "copy_file_descriptor_to_path", copy_file_descriptor_to_path_params, "int", ""};
inline constexpr FunctionDecl stable_file_identity{
    "stable_file_identity", stable_file_identity_params, "tuple[int, int, str]", ""};
inline constexpr FunctionDecl derive_hls_reservation_action{
    "derive_hls_reservation_action", derive_hls_reservation_action_params, "str", ""};
inline constexpr FunctionDecl derive_hls_publication_action{
    "derive_hls_publication_action", derive_hls_publication_action_params, "str", ""};
inline constexpr FunctionDecl derive_hls_reconciliation_action{
    "derive_hls_reconciliation_action", derive_hls_reconciliation_action_params, "str", ""};
inline constexpr FunctionDecl render_single_page_pdf{"render_single_page_pdf",
                                                     render_single_page_pdf_params, "bytes", ""};
inline constexpr FunctionDecl parse_extracted_frame_numbers{
    "parse_extracted_frame_numbers", parse_extracted_frame_numbers_params, "list[int]", ""};
inline constexpr FunctionDecl build_frame_records{
    "build_frame_records", build_frame_records_params, "list[tuple[int, str]]", ""};
inline constexpr FunctionDecl build_expected_frame_records{
    "build_expected_frame_records", build_expected_frame_records_params,
    "list[tuple[int, str]]", ""};
inline constexpr FunctionDecl anonymization_status_rules{
    "anonymization_status_rules", anonymization_status_rules_params,
    "list[tuple[str, list[tuple[str, bool]]]]",
    "Ordered rules shared by native state derivation and SQL aggregation."};
inline constexpr FunctionDecl derive_anonymization_status{
    "derive_anonymization_status", derive_anonymization_status_params, "str", ""};
inline constexpr FunctionDecl derive_report_anonymization_status{
    "derive_report_anonymization_status", derive_report_anonymization_status_params, "str", ""};
inline constexpr FunctionDecl transition_service_lifecycle{
    "transition_service_lifecycle", transition_lifecycle_params, "str", ""};
inline constexpr FunctionDecl transition_operation_lifecycle{
    "transition_operation_lifecycle", transition_lifecycle_params, "str", ""};
inline constexpr FunctionDecl derive_segment_annotation_status{
    "derive_segment_annotation_status", derive_segment_annotation_status_params, "str", ""};
inline constexpr FunctionDecl derive_frame_annotation_status{
    "derive_frame_annotation_status", derive_frame_annotation_status_params, "str", ""};
inline constexpr FunctionDecl normalize_frame_task_mode_token{
    "normalize_frame_task_mode_token", normalize_token_params, "str", ""};
inline constexpr FunctionDecl normalize_frame_sampling_strategy_token{
    "normalize_frame_sampling_strategy_token", normalize_token_params, "str", ""};
inline constexpr FunctionDecl storage_profile_policy_rows{"storage_profile_policy_rows", kNoParams,
                                                          "list[tuple[str, str, str]]", ""};

// The class: constructor and method.
inline constexpr FunctionDecl batch_processor_new{"__new__", batch_processor_new_params,
                                                  "BatchProcessor", "", "BatchProcessor."};
inline constexpr FunctionDecl stable_file_identities{
    "stable_file_identities", stable_file_identities_params, "list[tuple[int, int, str]]", "",
    "BatchProcessor."};

}  // namespace decl

// The module functions in registration order (after "BatchProcessor").
inline constexpr std::array<const FunctionDecl*, 24> kModuleFunctions = {
    &decl::parse_encrypted_header,
    &decl::native_capabilities,
    &decl::encryption_status,
    &decl::is_qv_encrypted_file,
    &decl::decrypt_encrypted_file_range,
    &decl::copy_file_descriptor_to_path,
    &decl::stable_file_identity,
    &decl::derive_hls_reservation_action,
    &decl::derive_hls_publication_action,
    &decl::derive_hls_reconciliation_action,
    &decl::render_single_page_pdf,
    &decl::parse_extracted_frame_numbers,
    &decl::build_frame_records,
    &decl::build_expected_frame_records,
    &decl::anonymization_status_rules,
    &decl::derive_anonymization_status,
    &decl::derive_report_anonymization_status,
    &decl::transition_service_lifecycle,
    &decl::transition_operation_lifecycle,
    &decl::derive_segment_annotation_status,
    &decl::derive_frame_annotation_status,
    &decl::normalize_frame_task_mode_token,
    &decl::normalize_frame_sampling_strategy_token,
    &decl::storage_profile_policy_rows,
};

// Typed signature record of one function, registered at load time.
struct TypedSignature {
  std::string name;
  std::vector<std::pair<std::string, std::string>> params;  // (name, declared type)
  std::string annotation;                                    // "a: int, b: str = ..."
  std::string return_type;
  std::optional<std::string> doc;
};

// Typed signature record of the one class.
struct TypedClassSignature {
  std::string name;
  TypedSignature constructor;
  std::vector<TypedSignature> methods;
};

void register_typed_signature(TypedSignature record);
// The process-wide list, in registration order.
const std::vector<TypedSignature>& typed_signatures();
const TypedClassSignature& batch_processor_signature();

}  // namespace tavolin
