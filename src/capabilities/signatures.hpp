// One declaration per Python-visible function. Registration, the text
// signature in each docstring and the typing stub are all derived from these
// constant records.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace tavolin {

struct ParamDecl {
  std::string_view name;
  std::string_view type;          // declared Python type, e.g. "pathlib.Path"
  std::string_view default_text = {};  // empty when required; "..." or a literal
  bool keyword_only = false;

  [[nodiscard]] constexpr bool required() const { return default_text.empty(); }
};

// The parameters of one declaration, held in place (so that a declaration is
// one self-contained constant).
class ParamList {
 public:
  static constexpr std::size_t kCapacity = 8;
  constexpr ParamList() = default;
  constexpr ParamList(std::initializer_list<ParamDecl> params) {
    for (const ParamDecl& p : params) items_[count_++] = p;  // more than kCapacity: no constant
  }
  [[nodiscard]] constexpr std::size_t size() const { return count_; }
  [[nodiscard]] constexpr bool empty() const { return count_ == 0; }
  constexpr const ParamDecl& operator[](std::size_t i) const { return items_[i]; }
  [[nodiscard]] constexpr const ParamDecl* begin() const { return items_.data(); }
  [[nodiscard]] constexpr const ParamDecl* end() const { return items_.data() + count_; }

 private:
  std::array<ParamDecl, kCapacity> items_{};
  std::size_t count_ = 0;
};

struct FunctionDecl {
  std::string_view name;
  ParamList params;
  std::string_view return_type;
  std::string_view doc = {};             // description for the stub; never part of __doc__
  std::string_view display_prefix = {};  // "BatchProcessor." for methods
};

// "name(a, b, *, c=None)": the text signature line of the docstring.
std::string text_signature(const FunctionDecl& decl, bool with_self = false);
// "a: int, b: str = ...": the parameter annotation text of the stub.
std::string annotation_text(const FunctionDecl& decl);

// Every module function, in registration order (after "BatchProcessor"):
// the method table, the text signatures and the typing stub all come from
// this table. Adding a function is an entry here plus its binding (a
// `Binding<"name">` in src/module/bind_*.hpp).
inline constexpr FunctionDecl kModuleFunctions[] = {
    {"parse_encrypted_header",
     {{"data", "bytes"}},
     "tuple[int, str, int, bytes, bytes, bytes]",
     "Validate the shared encrypted header contract."},
    {"native_capabilities",
     {},
     "list[tuple[str, str, str]]"},
    {"encryption_status",
     {{"path", "pathlib.Path"}},
     "str"},
    {"is_qv_encrypted_file",
     {{"path", "pathlib.Path"}},
     "bool"},
    {"decrypt_encrypted_file_range",
     {{"path", "pathlib.Path"}, {"master_key", "bytes"}, {"start", "int"}, {"end", "int"}},
     "bytes"},
    {"copy_file_descriptor_to_path",
     {{"source_fd", "int"}, {"target_path", "pathlib.Path"}, {"chunk_size", "int", "..."}},
     "int"},
    {"stable_file_identity",
     {{"path", "pathlib.Path"}, {"chunk_size", "int", "..."}, {"master_keys", "list[bytes]", "..."}},
     "tuple[int, int, str]"},
    {"derive_hls_reservation_action",
     {{"active_status", "str"}, {"active_is_stale", "bool"}, {"ready_matches_source", "bool"}, {"force", "bool"}},
     "str"},
    {"derive_hls_publication_action",
     {{"attempt_status", "str"}, {"owner_matches", "bool"}, {"has_active_lease", "bool"}, {"has_ready_generation", "bool"}},
     "str"},
    {"derive_hls_reconciliation_action",
     {{"status", "str"}, {"is_stale", "bool"}},
     "str"},
    {"render_single_page_pdf",
     {{"text", "str"}},
     "bytes"},
    {"parse_extracted_frame_numbers",
     {{"paths", "list[str]"}},
     "list[int]"},
    {"build_frame_records",
     {{"paths", "list[str]"}, {"relative_to", "str | None", "None", true}, {"zero_based", "bool", "False", true}},
     "list[tuple[int, str]]"},
    {"build_expected_frame_records",
     {{"frame_count", "int"}, {"ext", "str", "\"jpg\""}},
     "list[tuple[int, str]]"},
    {"anonymization_status_rules",
     {{"report", "bool"}},
     "list[tuple[str, list[tuple[str, bool]]]]",
     "Ordered rules shared by native state derivation and SQL aggregation."},
    {"derive_anonymization_status",
     {{"processing_error", "bool"}, {"anonymization_validated", "bool"}, {"sensitive_meta_processed", "bool"}, {"frames_extracted", "bool"}, {"anonymized", "bool"}, {"was_created", "bool"}, {"processing_started", "bool"}},
     "str"},
    {"derive_report_anonymization_status",
     {{"processing_error", "bool"}, {"anonymization_validated", "bool"}, {"sensitive_meta_processed", "bool"}, {"anonymized", "bool"}, {"processing_started", "bool"}},
     "str"},
    {"transition_service_lifecycle",
     {{"current_state", "str"}, {"event", "str"}},
     "str"},
    {"transition_operation_lifecycle",
     {{"current_state", "str"}, {"event", "str"}},
     "str"},
    {"derive_segment_annotation_status",
     {{"segment_annotations_created", "bool"}, {"segment_annotations_validated", "bool"}, {"outside_segments_removed", "bool"}},
     "str"},
    {"derive_frame_annotation_status",
     {{"has_state", "bool"}, {"frames_extracted", "bool"}, {"initial_prediction_completed", "bool"}, {"lvs_created", "bool"}, {"frame_annotations_generated", "bool"}},
     "str"},
    {"normalize_frame_task_mode_token",
     {{"value", "str"}},
     "str"},
    {"normalize_frame_sampling_strategy_token",
     {{"value", "str"}},
     "str"},
    {"storage_profile_policy_rows",
     {},
     "list[tuple[str, str, str]]"},
};

// The declaration named `name` (a compile-time error if there is none).
consteval const FunctionDecl& declaration(std::string_view name) {
  for (const FunctionDecl& decl : kModuleFunctions) {
    if (decl.name == name) return decl;
  }
  throw "no module function of that name is declared";
}

// The one class, BatchProcessor: its constructor and its method.
inline constexpr std::string_view kClassName = "BatchProcessor";
namespace decl {
inline constexpr FunctionDecl batch_processor_new{"__new__",
     {{"worker_count", "int"}},
     "BatchProcessor",
     "", "BatchProcessor."};
inline constexpr FunctionDecl stable_file_identities{"stable_file_identities",
     {{"paths", "list[pathlib.Path]"}, {"chunk_size", "int", "..."}, {"master_keys", "list[bytes]", "..."}},
     "list[tuple[int, int, str]]",
     "", "BatchProcessor."};
}  // namespace decl

}  // namespace tavolin
