// Writes the typing stub of the module from the constant declarations of its
// functions and its class. Usage: tavolin_stubgen <output.pyi>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "api/signatures.hpp"

namespace {

// Parameter types as callers may pass them: a declared "pathlib.Path" accepts
// any str or path-like object, and a declared list accepts any sequence.
std::string caller_type(std::string type) {
  for (std::size_t at = type.find("pathlib.Path"); at != std::string::npos;
       at = type.find("pathlib.Path", at)) {
    type.replace(at, 12, "_Path");
  }
  if (type.starts_with("list[")) type.replace(0, 4, "Sequence");
  return type;
}

std::string parameter_text(const tavolin::FunctionDecl& decl) {
  // The annotation text carries the markers ("*", defaults); rewrite only the
  // declared types it names.
  std::string out = tavolin::annotation_text(decl);
  std::size_t at = 0;
  for (const tavolin::ParamDecl& p : decl.params) {
    const std::string name(p.name);
    const std::string type(p.type);
    const std::string needle = name + ": " + type;
    at = out.find(needle, at);
    if (at == std::string::npos) break;
    const std::string replacement = name + ": " + caller_type(type);
    out.replace(at, needle.size(), replacement);
    at += replacement.size();
  }
  return out;
}

void write_function(std::ostream& out, const tavolin::FunctionDecl& decl) {
  using tavolin::Receiver;
  const char* indent = decl.receiver == Receiver::none ? "" : "    ";
  const std::string first_param = decl.receiver == Receiver::self  ? "self"
                                  : decl.receiver == Receiver::cls ? "cls"
                                                                   : "";
  out << indent << "def " << decl.name << "(" << first_param;
  if (!first_param.empty() && !decl.params.empty()) out << ", ";
  out << parameter_text(decl) << ") -> " << decl.return_type << ":";
  if (!decl.doc.empty()) {
    out << "\n" << indent << "    \"\"\"" << decl.doc << "\"\"\"\n";
  } else {
    out << " ...\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: tavolin_stubgen <output.pyi>\n";
    return 2;
  }
  std::ofstream out(argv[1]);
  out << "# Typing stub of tavolin_native_backend, generated from the module's typed\n"
         "# signature records at build time. Do not edit.\n"
         "import os\nfrom collections.abc import Sequence\nfrom typing import TypeAlias, final\n\n"
         "_Path: TypeAlias = str | os.PathLike[str]\n\n";

  out << "__all__ = [\n    \"" << tavolin::kClassName << "\",\n";
  for (const auto& decl : tavolin::kModuleFunctions) out << "    \"" << decl.name << "\",\n";
  out << "]\n\n";

  out << "@final\nclass " << tavolin::kClassName << ":\n";
  write_function(out, tavolin::kClassConstructor);
  for (const auto& decl : tavolin::kClassMethods) write_function(out, decl);
  for (const auto& decl : tavolin::kModuleFunctions) {
    out << "\n";
    write_function(out, decl);
  }
  out.close();
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
