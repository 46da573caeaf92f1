// One declaration per Python-visible function. Registration, the text
// signature in each docstring and the typing stub are all derived from these
// constant records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace tavolin {

// How a function raises an I/O failure: the OSError family (by its error
// number or kind) or ValueError with its text. Chosen once per function.
enum class IoRoute : std::uint8_t { os_error, value_error };

// The default of an optional parameter, typed: the binding passes this value
// when the argument is omitted, and the text signature shows it. None,
// booleans and texts show as literals; numbers and lists show as "...".
struct Default {
  enum class Kind : std::uint8_t { required, none, boolean, integer, text, list };
  Kind kind = Kind::required;
  bool boolean_value = false;
  std::uint64_t integer_value = 0;
  std::string_view text_value = {};

  static constexpr Default none() { return {Kind::none}; }
  static constexpr Default boolean(bool value) { return {Kind::boolean, value}; }
  static constexpr Default integer(std::uint64_t value) { return {Kind::integer, false, value}; }
  static constexpr Default text(std::string_view value) { return {Kind::text, false, 0, value}; }
  static constexpr Default empty_list() { return {Kind::list}; }
};

// The default of every chunk_size parameter.
inline constexpr std::uint64_t kDefaultChunkSize = 1048576;

struct ParamDecl {
  std::string_view name;
  std::string_view type;         // declared Python type, e.g. "pathlib.Path"
  Default default_value = {};    // Kind::required when the parameter has none
  bool keyword_only = false;

  [[nodiscard]] constexpr bool required() const {
    return default_value.kind == Default::Kind::required;
  }
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

// What receives the call besides the parameters: nothing (a module
// function), the instance (a method) or the class (the constructor).
enum class Receiver : std::uint8_t { none, self, cls };

struct FunctionDecl {
  std::string_view name;
  ParamList params;
  std::string_view return_type;
  std::string_view doc = {};             // description for the stub; never part of __doc__
  IoRoute io_failures = IoRoute::os_error;
  std::string_view display_prefix = {};  // "BatchProcessor." for the class's members
  Receiver receiver = Receiver::none;
};

// "name(a, b, *, c=None)": the text signature line of the docstring.
std::string text_signature(const FunctionDecl& decl, bool with_self = false);
// The docstring: the text signature line (the class's name for the
// constructor, "$self" first for a method) and the marker that ends it.
std::string docstring(const FunctionDecl& decl);
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
     "Validate the shared encrypted header contract.",
     IoRoute::value_error},
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
     "bytes",
     {},
     IoRoute::value_error},
    {"copy_file_descriptor_to_path",
     {{"source_fd", "int"}, {"target_path", "pathlib.Path"}, {"chunk_size", "int", Default::integer(kDefaultChunkSize)}},
     "int"},
    {"stable_file_identity",
     {{"path", "pathlib.Path"},
      {"chunk_size", "int", Default::integer(kDefaultChunkSize)},
      {"master_keys", "list[bytes]", Default::empty_list()}},
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
     {{"paths", "list[str]"},
      {"relative_to", "str | None", Default::none(), true},
      {"zero_based", "bool", Default::boolean(false), true}},
     "list[tuple[int, str]]"},
    {"build_expected_frame_records",
     {{"frame_count", "int"}, {"ext", "str", Default::text("jpg")}},
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

// The one class, BatchProcessor: its constructor and its methods (in the
// stub's order). The type's docstring, method table and stub entries come
// from these, as the module's do from kModuleFunctions.
inline constexpr std::string_view kClassName = "BatchProcessor";
inline constexpr FunctionDecl kClassConstructor{"__new__",
     {{"worker_count", "int"}},
     "BatchProcessor",
     {}, IoRoute::os_error, "BatchProcessor.", Receiver::cls};
inline constexpr FunctionDecl kClassMethods[] = {
    {"stable_file_identities",
     {{"paths", "list[pathlib.Path]"},
      {"chunk_size", "int", Default::integer(kDefaultChunkSize)},
      {"master_keys", "list[bytes]", Default::empty_list()}},
     "list[tuple[int, int, str]]",
     {}, IoRoute::os_error, "BatchProcessor.", Receiver::self},
};
namespace decl {
inline constexpr const FunctionDecl& batch_processor_new = kClassConstructor;
inline constexpr const FunctionDecl& stable_file_identities = kClassMethods[0];
}  // namespace decl

// The declaration named `name`: a module function's name, or the class's
// prefix and a member's name ("BatchProcessor.__new__"). A compile-time
// error if there is none.
consteval const FunctionDecl& declaration(std::string_view name) {
  for (const FunctionDecl& decl : kModuleFunctions) {
    if (decl.name == name) return decl;
  }
  const auto is = [&](const FunctionDecl& decl) {
    return name.size() == decl.display_prefix.size() + decl.name.size() &&
           name.starts_with(decl.display_prefix) && name.ends_with(decl.name);
  };
  if (is(kClassConstructor)) return kClassConstructor;
  for (const FunctionDecl& decl : kClassMethods) {
    if (is(decl)) return decl;
  }
  throw "no function of that name is declared";
}

}  // namespace tavolin
