#include "decisions/lifecycle.hpp"

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

// One valid transition: in state `from`, `event` leads to `to`.
template <class State, class Event>
struct Transition {
  State from;
  Event event;
  State to;
};

// The dense table (row: current state, column: event) of the valid
// `transitions`; every other cell is an invalid transition. A transition
// listed twice is a compile-time error.
template <class State, std::size_t States, std::size_t Events, class List>
consteval auto dense_table(const List& transitions) {
  std::array<std::array<std::optional<State>, Events>, States> table{};
  for (const auto& t : transitions) {
    auto& cell = table[static_cast<std::size_t>(t.from)][static_cast<std::size_t>(t.event)];
    if (cell) throw "a transition is listed twice";
    cell = t.to;
  }
  return table;
}

namespace service_rules {
using enum ServiceState;
using enum ServiceEvent;
constexpr Transition<ServiceState, ServiceEvent> kTransitions[] = {
    {stopped,  start_requested,   starting},
    {stopped,  stop_succeeded,    stopped},
    {stopped,  reconcile_stopped, stopped},
    {starting, start_requested,   starting},
    {starting, start_succeeded,   running},
    {starting, start_failed,      failed},
    {starting, stop_requested,    stopping},
    {starting, runtime_failed,    failed},
    {starting, ownership_lost,    lost},
    {running,  start_succeeded,   running},
    {running,  health_degraded,   degraded},
    {running,  health_restored,   running},
    {running,  stop_requested,    stopping},
    {running,  runtime_failed,    failed},
    {running,  ownership_lost,    lost},
    {degraded, health_degraded,   degraded},
    {degraded, health_restored,   running},
    {degraded, stop_requested,    stopping},
    {degraded, runtime_failed,    failed},
    {degraded, ownership_lost,    lost},
    {stopping, stop_requested,    stopping},
    {stopping, stop_succeeded,    stopped},
    {stopping, stop_failed,       failed},
    {stopping, runtime_failed,    failed},
    {stopping, ownership_lost,    lost},
    {failed,   start_requested,   starting},
    {failed,   runtime_failed,    failed},
    {lost,     ownership_lost,    lost},
    {lost,     reconcile_stopped, stopped},
};
}  // namespace service_rules
constexpr auto kServiceTable = dense_table<ServiceState, kServiceStates.size(),
                                           kServiceEvents.size()>(service_rules::kTransitions);

namespace operation_rules {
using enum OperationState;
using enum OperationEvent;
constexpr Transition<OperationState, OperationEvent> kTransitions[] = {
    {queued,     claim,           claimed},
    {queued,     fail,            failed},
    {queued,     retry_scheduled, retry_wait},
    {queued,     retry_ready,     queued},
    {queued,     cancel,          cancelled},
    {queued,     ownership_lost,  lost},
    {queued,     integrity_lost,  lost},
    {claimed,    claim,           claimed},
    {claimed,    start,           running},
    {claimed,    fail,            failed},
    {claimed,    retry_scheduled, retry_wait},
    {claimed,    cancel,          cancelled},
    {claimed,    ownership_lost,  lost},
    {claimed,    integrity_lost,  lost},
    {running,    start,           running},
    {running,    succeed,         succeeded},
    {running,    fail,            failed},
    {running,    retry_scheduled, retry_wait},
    {running,    cancel,          cancelled},
    {running,    ownership_lost,  lost},
    {running,    integrity_lost,  lost},
    {retry_wait, fail,            failed},
    {retry_wait, retry_scheduled, retry_wait},
    {retry_wait, retry_ready,     queued},
    {retry_wait, cancel,          cancelled},
    {retry_wait, ownership_lost,  lost},
    {retry_wait, integrity_lost,  lost},
    {succeeded,  succeed,         succeeded},
    {succeeded,  retry_requested, retry_wait},
    {succeeded,  integrity_lost,  lost},
    {failed,     fail,            failed},
    {failed,     retry_requested, retry_wait},
    {cancelled,  cancel,          cancelled},
    {lost,       ownership_lost,  lost},
    {lost,       integrity_lost,  lost},
    {lost,       reconcile_retry, retry_wait},
    {lost,       reconcile_fail,  failed},
};
}  // namespace operation_rules
constexpr auto kOperationTable =
    dense_table<OperationState, kOperationStates.size(), kOperationEvents.size()>(
        operation_rules::kTransitions);

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
  return kServiceTable[static_cast<std::size_t>(from)][static_cast<std::size_t>(event)];
}

std::optional<OperationState> operation_target(OperationState from, OperationEvent event) {
  return kOperationTable[static_cast<std::size_t>(from)][static_cast<std::size_t>(event)];
}

namespace {

template <class ParseState, class ParseEvent, class Target>
Result<std::string_view> transition(std::string_view machine, std::string_view current_state,
                                    std::string_view event, ParseState parse_state,
                                    ParseEvent parse_event, Target target) {
  const auto state = parse_state(current_state);
  if (!state) {
    return std::unexpected(
        Failure::value(messages::unsupported_lifecycle_state(machine, current_state)));
  }
  const auto ev = parse_event(event);
  if (!ev) {
    return std::unexpected(Failure::value(messages::unsupported_lifecycle_event(machine, event)));
  }
  const auto next = target(*state, *ev);
  if (!next) {
    return std::unexpected(Failure::value(
        messages::invalid_lifecycle_transition(machine, current_state, event)));
  }
  return token(*next);
}

}  // namespace

Result<std::string_view> transition_service(std::string_view current_state,
                                            std::string_view event) {
  return transition("service", current_state, event, parse_service_state,
                    parse_service_event, service_target);
}

Result<std::string_view> transition_operation(std::string_view current_state,
                                              std::string_view event) {
  return transition("operation", current_state, event, parse_operation_state,
                    parse_operation_event, operation_target);
}

}  // namespace tavolin::lifecycle
