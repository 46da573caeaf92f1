#include "capabilities/signatures.hpp"


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

}  // namespace tavolin
