// Service and operation lifecycle transition tables.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/failure.hpp"

namespace tavolin::lifecycle {

enum class ServiceState : std::uint8_t { stopped, starting, running, degraded, stopping, failed, lost };
enum class ServiceEvent : std::uint8_t {
  start_requested, start_succeeded, start_failed, health_degraded, health_restored,
  stop_requested, stop_succeeded, stop_failed, runtime_failed, ownership_lost, reconcile_stopped,
};
enum class OperationState : std::uint8_t {
  queued, claimed, running, retry_wait, succeeded, failed, cancelled, lost,
};
enum class OperationEvent : std::uint8_t {
  claim, start, succeed, fail, retry_scheduled, retry_ready, retry_requested, cancel,
  ownership_lost, integrity_lost, reconcile_retry, reconcile_fail,
};

std::optional<ServiceState> parse_service_state(std::string_view token);
std::optional<ServiceEvent> parse_service_event(std::string_view token);
std::optional<OperationState> parse_operation_state(std::string_view token);
std::optional<OperationEvent> parse_operation_event(std::string_view token);

std::string_view token(ServiceState s);
std::string_view token(ServiceEvent e);
std::string_view token(OperationState s);
std::string_view token(OperationEvent e);

// Table lookups: nullopt marks an invalid transition.
std::optional<ServiceState> service_target(ServiceState from, ServiceEvent event);
std::optional<OperationState> operation_target(OperationState from, OperationEvent event);

// Whole steps with the messages of the failures.
Result<std::string_view> transition_service(std::string_view current_state, std::string_view event);
Result<std::string_view> transition_operation(std::string_view current_state,
                                              std::string_view event);

}  // namespace tavolin::lifecycle
