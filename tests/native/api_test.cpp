// The declarations every binding, docstring and the typing stub derive from.
#include <gtest/gtest.h>

#include "api/signatures.hpp"

using namespace tavolin;

TEST(Signatures, TextSignaturesAndAnnotationsDeriveFromOneDeclaration) {
  constexpr const FunctionDecl& frame_records = declaration("build_frame_records");
  EXPECT_EQ(text_signature(frame_records),
            "build_frame_records(paths, *, relative_to=None, zero_based=False)");
  EXPECT_EQ(annotation_text(frame_records),
            "paths: list[str], *, relative_to: str | None = ..., zero_based: bool = ...");
  EXPECT_EQ(text_signature(declaration("build_expected_frame_records")),
            "build_expected_frame_records(frame_count, ext=\"jpg\")");
  EXPECT_EQ(text_signature(decl::stable_file_identities, true),
            "stable_file_identities($self, paths, chunk_size=..., master_keys=...)");
  EXPECT_EQ(text_signature(declaration("native_capabilities")), "native_capabilities()");
  static_assert(std::size(kModuleFunctions) == 24);
  static_assert(kModuleFunctions[0].name == "parse_encrypted_header");
  static_assert(kModuleFunctions[0].doc == "Validate the shared encrypted header contract.");
  static_assert(kModuleFunctions[1].doc.empty());
  EXPECT_EQ(annotation_text(kModuleFunctions[5]),
            "source_fd: int, target_path: pathlib.Path, chunk_size: int = ...");
  // The value an omitted chunk_size takes, which no text signature shows.
  static_assert(declaration("copy_file_descriptor_to_path").params[2].default_value.integer_value ==
                1048576);
  static_assert(declaration("stable_file_identity").params[1].default_value.integer_value ==
                1048576);
  static_assert(declaration("BatchProcessor.stable_file_identities")
                    .params[1]
                    .default_value.integer_value == 1048576);
}
