#include "lifecycle/lifecycle.hpp"

#include <array>
#include <string>
#include <utility>

#include "common/messages.hpp"

namespace tavolin::lifecycle {

namespace {

constexpr std::array<std::string_view, 7> kServiceStates = {
    "stopped", "starting", "running", "degraded", "stopping", "failed", "lost"};
constexpr std::array<std::string_view, 11> kServiceEvents = {
    "start_requested", "start_succeeded", "start_failed",   "health_degraded",
    "health_restored", "stop_requested",  "stop_succeeded", "stop_failed",
    "runtime_failed",  "ownership_lost",  "reconcile_stopped"};
constexpr std::array<std::string_view, 8> kOperationStates = {
    "queued", "claimed", "running", "retry_wait", "succeeded", "failed", "cancelled", "lost"};
constexpr std::array<std::string_view, 12> kOperationEvents = {
    "claim",          "start",           "succeed",        "fail",
    "retry_scheduled", "retry_ready",    "retry_requested", "cancel",
    "ownership_lost", "integrity_lost",  "reconcile_retry", "reconcile_fail"};

// Matches by length first, then by content; byte for byte, no folding.
template <class Enum, std::size_t N>
std::optional<Enum> parse(const std::array<std::string_view, N>& tokens, std::string_view text) {
  for (std::size_t i = 0; i < N; ++i) {
    if (tokens[i].size() == text.size() && tokens[i] == text) return static_cast<Enum>(i);
  }
  return std::nullopt;
}

// Cell values: -1 = invalid transition, otherwise the target state's index.
constexpr int X = -1;

// Row: current service state; column: service event (declaration order).
constexpr std::array<std::array<int, 11>, 7> kServiceTable = {{
    //  start_req s_succ s_fail h_deg h_rest stop_req stop_succ stop_fail rt_fail own_lost reconcile
    {{1, X, X, X, X, X, 0, X, X, X, 0}},  // stopped
    {{1, 2, 5, X, X, 4, X, X, 5, 6, X}},  // starting
    {{X, 2, X, 3, 2, 4, X, X, 5, 6, X}},  // running
    {{X, X, X, 3, 2, 4, X, X, 5, 6, X}},  // degraded
    {{X, X, X, X, X, 4, 0, 5, 5, 6, X}},  // stopping
    {{1, X, X, X, X, X, X, X, 5, X, X}},  // failed
    {{X, X, X, X, X, X, X, X, X, 6, 0}},  // lost
}};

// Row: current operation state; column: operation event (declaration order).
constexpr std::array<std::array<int, 12>, 8> kOperationTable = {{
    // claim start succeed fail r_sched r_ready r_req cancel own_lost integ_lost rec_retry rec_fail
    {{1, X, X, 5, 3, 0, X, 6, 7, 7, X, X}},  // queued
    {{1, 2, X, 5, 3, X, X, 6, 7, 7, X, X}},  // claimed
    {{X, 2, 4, 5, 3, X, X, 6, 7, 7, X, X}},  // running
    {{X, X, X, 5, 3, 0, X, 6, 7, 7, X, X}},  // retry_wait
    {{X, X, 4, X, X, X, 3, X, X, 7, X, X}},  // succeeded
    {{X, X, X, 5, X, X, 3, X, X, X, X, X}},  // failed
    {{X, X, X, X, X, X, X, 6, X, X, X, X}},  // cancelled
    {{X, X, X, X, X, X, X, X, 7, 7, 3, 5}},  // lost
}};

}  // namespace

std::optional<ServiceState> parse_service_state(std::string_view t) {
  return parse<ServiceState>(kServiceStates, t);
}
std::optional<ServiceEvent> parse_service_event(std::string_view t) {
  return parse<ServiceEvent>(kServiceEvents, t);
}
std::optional<OperationState> parse_operation_state(std::string_view t) {
  return parse<OperationState>(kOperationStates, t);
}
std::optional<OperationEvent> parse_operation_event(std::string_view t) {
  return parse<OperationEvent>(kOperationEvents, t);
}

std::string_view token(ServiceState s) { return kServiceStates[static_cast<std::size_t>(s)]; }
std::string_view token(ServiceEvent e) { return kServiceEvents[static_cast<std::size_t>(e)]; }
std::string_view token(OperationState s) { return kOperationStates[static_cast<std::size_t>(s)]; }
std::string_view token(OperationEvent e) { return kOperationEvents[static_cast<std::size_t>(e)]; }

std::optional<ServiceState> service_target(ServiceState from, ServiceEvent event) {
  const int cell = kServiceTable[static_cast<std::size_t>(from)][static_cast<std::size_t>(event)];
  if (cell < 0) return std::nullopt;
  return static_cast<ServiceState>(cell);
}

std::optional<OperationState> operation_target(OperationState from, OperationEvent event) {
  const int cell =
      kOperationTable[static_cast<std::size_t>(from)][static_cast<std::size_t>(event)];
  if (cell < 0) return std::nullopt;
  return static_cast<OperationState>(cell);
}

namespace {

// The refusals of one state machine.
struct Refusals {
  std::string_view unsupported_state;
  std::string_view unsupported_event;
  std::string_view invalid_transition;
};
constexpr Refusals kServiceRefusals{messages::SERVICE_STATE, messages::SERVICE_EVENT,
                                    messages::SERVICE_TRANSITION};
constexpr Refusals kOperationRefusals{messages::OPERATION_STATE, messages::OPERATION_EVENT,
                                      messages::OPERATION_TRANSITION};

template <class ParseState, class ParseEvent, class Target>
Result<std::string_view> transition(const Refusals& refusals, std::string_view current_state,
                                    std::string_view event, ParseState parse_state,
                                    ParseEvent parse_event, Target target) {
  const auto state = parse_state(current_state);
  if (!state) {
    return fail_validation(std::string(refusals.unsupported_state).append(current_state));
  }
  const auto ev = parse_event(event);
  if (!ev) return fail_validation(std::string(refusals.unsupported_event).append(event));
  const auto next = target(*state, *ev);
  if (!next) {
    std::string message(refusals.invalid_transition);
    message.append(current_state).append(messages::TRANSITION_ARROW).append(event);
    message.append(messages::TRANSITION_ARROW_END);
    return fail_validation(std::move(message));
  }
  return token(*next);
}

}  // namespace

Result<std::string_view> transition_service(std::string_view current_state,
                                            std::string_view event) {
  return transition(kServiceRefusals, current_state, event, parse_service_state,
                    parse_service_event, service_target);
}

Result<std::string_view> transition_operation(std::string_view current_state,
                                              std::string_view event) {
  return transition(kOperationRefusals, current_state, event, parse_operation_state,
                    parse_operation_event, operation_target);
}

}  // namespace tavolin::lifecycle
