// HLS reservation, publication and reconciliation decisions.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/failure.hpp"

namespace tavolin::hls {

enum class InFlightStatus : std::uint8_t { none, queued, validated, materializing };

std::optional<InFlightStatus> parse_in_flight_status(std::string_view token);
// Nothing, or "unsupported HLS in-flight status: {status}".
Result<InFlightStatus> validate_in_flight_status(std::string_view status);

std::string_view reservation_action(InFlightStatus active, bool active_is_stale,
                                    bool ready_matches_source, bool force);
std::string_view publication_action(InFlightStatus attempt, bool owner_matches,
                                    bool has_active_lease, bool has_ready_generation);
std::string_view reconciliation_action(InFlightStatus status, bool is_stale);

Result<std::string_view> derive_reservation_action(std::string_view active_status,
                                                   bool active_is_stale,
                                                   bool ready_matches_source, bool force);
Result<std::string_view> derive_publication_action(std::string_view attempt_status,
                                                   bool owner_matches, bool has_active_lease,
                                                   bool has_ready_generation);
Result<std::string_view> derive_reconciliation_action(std::string_view status, bool is_stale);

}  // namespace tavolin::hls
