// The capability manifest and the storage profile policy table.
#pragma once

#include <string_view>
#include <tuple>
#include <vector>

namespace tavolin::capabilities {

// The [project] version of pyproject.toml, defined by the build.
inline constexpr std::string_view kBackendVersion = TAVOLIN_VERSION;

using CapabilityRow = std::tuple<std::string_view, std::string_view, std::string_view>;
using StoragePolicyRow = std::tuple<std::string_view, std::string_view, std::string_view>;

std::vector<CapabilityRow> native_capabilities();
std::vector<StoragePolicyRow> storage_profile_policy_rows();

}  // namespace tavolin::capabilities
