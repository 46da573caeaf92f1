#include "capabilities/signatures.hpp"

#include <mutex>
#include <utility>

namespace tavolin {

std::string text_signature(const FunctionDecl& decl, bool with_self) {
  std::string out(decl.name);
  out += '(';
  bool first = true;
  auto sep = [&] {
    if (!first) out += ", ";
    first = false;
  };
  if (with_self) {
    sep();
    out += "$self";
  }
  bool star_written = false;
  for (const ParamDecl& p : decl.params) {
    sep();
    if (p.keyword_only && !star_written) {
      out += "*, ";
      star_written = true;
    }
    out += p.name;
    if (!p.required()) {
      out += '=';
      out += p.default_text;
    }
  }
  out += ')';
  return out;
}

std::string annotation_text(const FunctionDecl& decl) {
  std::string out;
  bool star_written = false;
  for (const ParamDecl& p : decl.params) {
    if (!out.empty()) out += ", ";
    if (p.keyword_only && !star_written) {
      out += "*, ";
      star_written = true;
    }
    out += p.name;
    out += ": ";
    out += p.type;
    if (!p.required()) out += " = ...";
  }
  return out;
}

namespace {

std::vector<TypedSignature>& registry() {
  static std::vector<TypedSignature> records;
  return records;
}

std::mutex& registry_mutex() {
  static std::mutex m;
  return m;
}

TypedSignature record_of(const FunctionDecl& decl) {
  TypedSignature rec;
  rec.name = std::string(decl.name);
  for (const ParamDecl& p : decl.params) rec.params.emplace_back(p.name, p.type);
  rec.annotation = annotation_text(decl);
  rec.return_type = std::string(decl.return_type);
  if (!decl.doc.empty()) rec.doc = std::string(decl.doc);
  return rec;
}

// Load-time registration of every module function's record.
[[gnu::constructor]] void register_module_signatures() {
  for (const FunctionDecl* decl : kModuleFunctions) register_typed_signature(record_of(*decl));
}

}  // namespace

void register_typed_signature(TypedSignature record) {
  std::lock_guard lock(registry_mutex());
  registry().push_back(std::move(record));
}

const std::vector<TypedSignature>& typed_signatures() { return registry(); }

const TypedClassSignature& batch_processor_signature() {
  static const TypedClassSignature record{
      "BatchProcessor",
      record_of(decl::batch_processor_new),
      {record_of(decl::stable_file_identities)},
  };
  return record;
}

}  // namespace tavolin
