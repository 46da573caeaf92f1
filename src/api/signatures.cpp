#include "api/signatures.hpp"

namespace tavolin {

namespace {

// Appends the default as the text signature shows it.
void append_default(std::string& out, const Default& d) {
  switch (d.kind) {
    case Default::Kind::none: out += "None"; return;
    case Default::Kind::boolean: out += d.boolean_value ? "True" : "False"; return;
    case Default::Kind::text:
      out += '"';
      out += d.text_value;
      out += '"';
      return;
    case Default::Kind::integer:
    case Default::Kind::list:
    case Default::Kind::required: break;
  }
  out += "...";
}

}  // namespace

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
      append_default(out, p.default_value);
    }
  }
  out += ')';
  return out;
}

std::string docstring(const FunctionDecl& decl) {
  FunctionDecl shown = decl;
  if (decl.receiver == Receiver::cls) {  // the class's own name: "BatchProcessor(worker_count)"
    shown.name = decl.display_prefix.substr(0, decl.display_prefix.size() - 1);
  }
  return text_signature(shown, decl.receiver == Receiver::self) + "\n--\n\n";
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
