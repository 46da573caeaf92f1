"""Per-call cost of the decision functions against (a) an idiomatic pure-Python
implementation of the same tables (dict lookups) and (b) their limit, the
C-builtin floor: `str.lower` of a short uppercase str, the cheapest call of
a C function that returns a new short str, as every decision function has to
(it builds its result token as a new str each call). Its time is a lower
bound on a decision's, so "of limit" (floor time / native time) is at most
about 1. The listing of the anonymisation rules builds a whole table of new
objects, not one token: it has no target and the floor is no limit for it.
Each case times its three sides in alternating rounds; the best round of
each counts. Prints one row a function.

Run: PYTHONPATH=build/python /usr/bin/python3 bench/bench_decisions.py
[CALLS_A_ROUND] [--rows PATH]"""
from __future__ import annotations

import functools

import harness
import tavolin_native_backend as m

# ----------------------------------------------------------- pure Python
SERVICE = {
    "start_requested": ({"stopped", "starting", "failed"}, "starting"),
    "start_succeeded": ({"starting", "running"}, "running"),
    "start_failed": ({"starting"}, "failed"),
    "health_degraded": ({"running", "degraded"}, "degraded"),
    "health_restored": ({"running", "degraded"}, "running"),
    "stop_requested": ({"starting", "running", "degraded", "stopping"}, "stopping"),
    "stop_succeeded": ({"stopped", "stopping"}, "stopped"),
    "stop_failed": ({"stopping"}, "failed"),
    "runtime_failed": ({"starting", "running", "degraded", "stopping", "failed"}, "failed"),
    "ownership_lost": ({"starting", "running", "degraded", "stopping", "lost"}, "lost"),
    "reconcile_stopped": ({"stopped", "lost"}, "stopped"),
}
SERVICE_STATES = {"stopped", "starting", "running", "degraded", "stopping", "failed", "lost"}
SERVICE_TABLE = {(s, e): t for e, (srcs, t) in SERVICE.items() for s in srcs}
OPERATION_TABLE = {("queued", "claim"): "claimed", ("claimed", "claim"): "claimed",
                   ("claimed", "start"): "running", ("running", "start"): "running"}
OPERATION_STATES = {"queued", "claimed", "running", "retry_wait", "succeeded", "failed",
                    "cancelled", "lost"}
OPERATION_EVENTS = {"claim", "start", "succeed", "fail", "retry_scheduled", "retry_ready",
                    "retry_requested", "cancel", "ownership_lost", "integrity_lost",
                    "reconcile_retry", "reconcile_fail"}


def py_service(state, event):
    if state not in SERVICE_STATES:
        raise ValueError(f"unsupported service lifecycle state: {state}")
    if event not in SERVICE:
        raise ValueError(f"unsupported service lifecycle event: {event}")
    try:
        return SERVICE_TABLE[(state, event)]
    except KeyError:
        raise ValueError(f"invalid service lifecycle transition: {state} --{event}-->") from None


def py_operation(state, event):
    if state not in OPERATION_STATES:
        raise ValueError(f"unsupported operation lifecycle state: {state}")
    if event not in OPERATION_EVENTS:
        raise ValueError(f"unsupported operation lifecycle event: {event}")
    try:
        return OPERATION_TABLE[(state, event)]
    except KeyError:
        raise ValueError(f"invalid operation lifecycle transition: {state} --{event}-->") from None


IN_FLIGHT = {"": False, "queued": True, "validated": True, "materializing": True}


def _check(status):
    try:
        return IN_FLIGHT[status]
    except KeyError:
        raise ValueError(f"unsupported HLS in-flight status: {status}") from None


def _bool(v):
    if type(v) is not bool:
        raise TypeError("not a bool")
    return v


RESERVATION = {(True, False): "already_in_flight", (True, True): "queue"}


def py_reservation(active_status, active_is_stale, ready_matches_source, force):
    in_flight = _check(active_status)
    _bool(active_is_stale), _bool(ready_matches_source), _bool(force)
    if in_flight:
        return RESERVATION[(True, active_is_stale)]
    return {(True, False): "already_ready"}.get((ready_matches_source, force), "queue")


PUBLICATION = {(True, True): "defer", (True, False): None}


def py_publication(attempt_status, owner_matches, has_active_lease, has_ready_generation):
    _check(attempt_status)
    _bool(owner_matches), _bool(has_active_lease), _bool(has_ready_generation)
    if attempt_status != "validated" or not owner_matches:
        return "reject"
    if has_active_lease:
        return "defer"
    return {True: "replace_ready", False: "publish_initial"}[has_ready_generation]


RECONCILE = {(True, True): "fail_and_cleanup"}


def py_reconciliation(status, is_stale):
    in_flight = _check(status)
    return RECONCILE.get((in_flight, _bool(is_stale)), "preserve")


VIDEO_RULES = m.anonymization_status_rules(False)
REPORT_RULES = m.anonymization_status_rules(True)
VIDEO_FIELDS = ("processing_error", "anonymization_validated", "sensitive_meta_processed",
                "frames_extracted", "anonymized", "was_created", "processing_started")
REPORT_FIELDS = ("processing_error", "anonymization_validated", "sensitive_meta_processed",
                 "anonymized", "processing_started")


def _walk(rules, facts):
    for status, conditions in rules:
        if all(facts[name] is value for name, value in conditions):
            return status
    return "not_started"


def py_video(*flags):
    return _walk(VIDEO_RULES, dict(zip(VIDEO_FIELDS, map(_bool, flags))))


def py_report(*flags):
    return _walk(REPORT_RULES, dict(zip(REPORT_FIELDS, map(_bool, flags))))


FRAME = {0: "frames_unavailable", 1: "prediction_pending", 2: "prediction_ready",
         3: "annotation_ready", 4: "annotation_complete"}


def py_frame(has_state, *rest):
    if not _bool(has_state):
        return "not_started"
    done = 0
    for flag in rest:
        if not _bool(flag):
            break
        done += 1
    return FRAME[done]


SEGMENT = {(True, True): "validated", (True, False): "cleanup_required"}


def py_segment(created, validated, removed):
    _bool(created), _bool(validated), _bool(removed)
    return SEGMENT.get((validated, removed)) or ("cleanup_required" if created else "not_started")


MODES = {"filtered": "filtered"}
STRATEGIES = {"segments": "segments", "annotations": "annotations", "none": "none"}
ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def py_mode(value):
    return MODES.get(value.strip().translate(ASCII_LOWER), "random")


def py_strategy(value):
    return STRATEGIES.get(value.strip().translate(ASCII_LOWER), "balanced")


def py_rules(report):
    rules = REPORT_RULES if _bool(report) else VIDEO_RULES
    return [(s, list(c)) for s, c in rules]


# ----------------------------------------------------------- measurement
FLOOR = (str.lower, ("DEGRADED",))  # returns a new 8-character str each call
FLOOR_NAME = "that floor: `str.lower`, a C call returning a new short str"
LISTING = "anonymization_status_rules"  # a listing of new objects, not a decision


CASES = [
    ("transition_service_lifecycle", m.transition_service_lifecycle, py_service,
     ("running", "health_degraded")),
    ("transition_operation_lifecycle", m.transition_operation_lifecycle, py_operation,
     ("claimed", "start")),
    ("derive_hls_reservation_action", m.derive_hls_reservation_action, py_reservation,
     ("", False, True, False)),
    ("derive_hls_publication_action", m.derive_hls_publication_action, py_publication,
     ("validated", True, False, True)),
    ("derive_hls_reconciliation_action", m.derive_hls_reconciliation_action, py_reconciliation,
     ("queued", True)),
    ("derive_anonymization_status", m.derive_anonymization_status, py_video,
     (False, False, False, False, True, False, False)),
    ("derive_report_anonymization_status", m.derive_report_anonymization_status, py_report,
     (False, False, False, True, False)),
    ("derive_frame_annotation_status", m.derive_frame_annotation_status, py_frame,
     (True, True, True, False, False)),
    ("derive_segment_annotation_status", m.derive_segment_annotation_status, py_segment,
     (True, False, False)),
    ("normalize_frame_task_mode_token", m.normalize_frame_task_mode_token, py_mode,
     ("  Filtered ",)),
    ("normalize_frame_sampling_strategy_token", m.normalize_frame_sampling_strategy_token,
     py_strategy, (" NONE",)),
    (LISTING, m.anonymization_status_rules, py_rules, (True,)),
]


def measure(name, native, python, args, number) -> list[harness.Row]:
    """One function's row: its ratio is how many times faster than the
    pure-Python table it is (target >= 2x); its time over the C-builtin
    floor's (target <= 2x, lower is better) is among the values, and the
    floor's time over its own is the fraction of its limit."""
    assert native(*args) == python(*args), name
    t_native, t_python, t_floor = harness.per_call([(native, args), (python, args), FLOOR],
                                                   number)
    speedup, floor = t_python / t_native, t_native / t_floor
    values = f"{t_native * 1e9:.1f} ns/call; {floor:.2f}x the C-builtin floor"
    if name == LISTING:
        return [harness.result("decisions", name, values + " (a listing of new objects, not a "
                               "decision: no target, and the floor is no limit)", speedup,
                               ratio_means="as fast as copying a prebuilt table in Python")]
    row = harness.result("decisions", name, values + " (target <= 2x)", speedup, at_least=2,
                         ratio_means="faster than pure Python", of_limit=1 / floor,
                         limit=FLOOR_NAME)
    if floor > 2.0:
        which = "C-builtin floor" if row.status == harness.OK else "both"
        row.status = f"{harness.BELOW} ({which})"
    return [row]


def main() -> None:
    args, rows_path = harness.arguments()
    number = int(args[0]) if args else 200_000
    harness.run([functools.partial(measure, *case, number) for case in CASES], rows_path)


if __name__ == "__main__":
    main()
