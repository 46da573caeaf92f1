#include "decisions/capabilities.hpp"

#include <array>
#include <cstdint>

namespace tavolin::capabilities {

namespace {

constexpr std::array<std::string_view, 3> kProfiles = {"strict_app_encrypted",
                                                       "fs_encrypted_streaming", "hybrid_default"};
constexpr std::array<std::string_view, 6> kArtefacts = {
    "video_raw", "video_processed", "report_pdf", "metadata", "sidecar", "manifest"};

struct PolicyIndex {
  std::uint8_t profile;
  std::uint8_t artefact;
  std::uint8_t streamable;  // 1 = "fs_streamable", 0 = "app_encrypted"
};

constexpr std::array<PolicyIndex, 18> kPolicy = {{
    {0, 0, 0}, {0, 1, 0}, {0, 2, 0}, {0, 3, 0}, {0, 4, 0}, {0, 5, 0},
    {1, 0, 1}, {1, 1, 1}, {1, 2, 0}, {1, 3, 0}, {1, 4, 0}, {1, 5, 0},
    {2, 0, 0}, {2, 1, 1}, {2, 2, 0}, {2, 3, 0}, {2, 4, 0}, {2, 5, 0},
}};

}  // namespace

std::vector<CapabilityRow> native_capabilities() {
  return {
      {"report_source_snapshot", "report_source_snapshot_v1", kBackendVersion},
      {"batch_file_identity", "batch_file_identity_v1", kBackendVersion},
      {"hls_state_machine", "hls_state_v1", kBackendVersion},
      {"lifecycle_state_machine", "lifecycle_state_v3", kBackendVersion},
  };
}

std::vector<StoragePolicyRow> storage_profile_policy_rows() {
  std::vector<StoragePolicyRow> rows;
  rows.reserve(kPolicy.size());
  for (const PolicyIndex& p : kPolicy) {
    rows.emplace_back(kProfiles[p.profile], kArtefacts[p.artefact],
                      p.streamable ? "fs_streamable" : "app_encrypted");
  }
  return rows;
}

}  // namespace tavolin::capabilities
