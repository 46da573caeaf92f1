// Writes the typing stub of the module from the typed signature records that
// the cores register at load time. Usage: tavolin_stubgen <output.pyi>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "capabilities/signatures.hpp"

namespace {

void write_function(std::ostream& out, const tavolin::TypedSignature& sig, const char* indent,
                    const std::string& first_param) {
  out << indent << "def " << sig.name << "(" << first_param;
  if (!first_param.empty() && !sig.annotation.empty()) out << ", ";
  out << sig.annotation << ") -> " << sig.return_type << ":";
  if (sig.doc) {
    out << "\n" << indent << "    \"\"\"" << *sig.doc << "\"\"\"\n";
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
         "import pathlib\nfrom typing import final\n\n";

  const auto& records = tavolin::typed_signatures();
  const auto& cls = tavolin::batch_processor_signature();
  out << "__all__ = [\n    \"" << cls.name << "\",\n";
  for (const auto& sig : records) out << "    \"" << sig.name << "\",\n";
  out << "]\n\n";

  out << "@final\nclass " << cls.name << ":\n";
  write_function(out, cls.constructor, "    ", "cls");
  for (const auto& method : cls.methods) write_function(out, method, "    ", "self");
  for (const auto& sig : records) {
    out << "\n";
    write_function(out, sig, "", "");
  }
  out.close();
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
