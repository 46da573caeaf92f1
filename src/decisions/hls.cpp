#include "decisions/hls.hpp"

#include <string>

#include "common/messages.hpp"

namespace tavolin::hls {

std::optional<InFlightStatus> parse_in_flight_status(std::string_view token) {
  switch (token.size()) {
    case 0: return InFlightStatus::none;
    case 6:
      if (token == "queued") return InFlightStatus::queued;
      break;
    case 9:
      if (token == "validated") return InFlightStatus::validated;
      break;
    case 13:
      if (token == "materializing") return InFlightStatus::materializing;
      break;
    default: break;
  }
  return std::nullopt;
}

Result<InFlightStatus> validate_in_flight_status(std::string_view status) {
  if (auto parsed = parse_in_flight_status(status)) return *parsed;
  return std::unexpected(Failure::value(messages::unsupported_hls_status(status)));
}

std::string_view reservation_action(InFlightStatus active, bool active_is_stale,
                                    bool ready_matches_source, bool force) {
  if (active != InFlightStatus::none) return active_is_stale ? "queue" : "already_in_flight";
  if (ready_matches_source && !force) return "already_ready";
  return "queue";
}

std::string_view publication_action(InFlightStatus attempt, bool owner_matches,
                                    bool has_active_lease, bool has_ready_generation) {
  if (attempt != InFlightStatus::validated || !owner_matches) return "reject";
  if (has_active_lease) return "defer";
  return has_ready_generation ? "replace_ready" : "publish_initial";
}

std::string_view reconciliation_action(InFlightStatus status, bool is_stale) {
  if (status != InFlightStatus::none && is_stale) return "fail_and_cleanup";
  return "preserve";
}

Result<std::string_view> derive_reservation_action(std::string_view active_status,
                                                   bool active_is_stale,
                                                   bool ready_matches_source, bool force) {
  const auto status = TAVOLIN_TRY(validate_in_flight_status(active_status));
  return reservation_action(status, active_is_stale, ready_matches_source, force);
}

Result<std::string_view> derive_publication_action(std::string_view attempt_status,
                                                   bool owner_matches, bool has_active_lease,
                                                   bool has_ready_generation) {
  const auto status = TAVOLIN_TRY(validate_in_flight_status(attempt_status));
  return publication_action(status, owner_matches, has_active_lease, has_ready_generation);
}

Result<std::string_view> derive_reconciliation_action(std::string_view status, bool is_stale) {
  const auto parsed = TAVOLIN_TRY(validate_in_flight_status(status));
  return reconciliation_action(parsed, is_stale);
}

}  // namespace tavolin::hls
