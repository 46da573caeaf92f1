"""Decision tables through Python: exact tokens, messages and exception types."""
import itertools

import pytest


def test_capability_manifest(m):
    rows = m.native_capabilities()
    assert rows == [
        ("report_source_snapshot", "report_source_snapshot_v1", "0.1.1"),
        ("batch_file_identity", "batch_file_identity_v1", "0.1.1"),
        ("hls_state_machine", "hls_state_v1", "0.1.1"),
        ("lifecycle_state_machine", "lifecycle_state_v3", "0.1.1"),
    ]
    assert all(type(r) is tuple and all(type(x) is str for x in r) for r in rows)
    rows.clear()
    assert len(m.native_capabilities()) == 4


def test_storage_profile_policy(m):
    rows = m.storage_profile_policy_rows()
    profiles = ["strict_app_encrypted", "fs_encrypted_streaming", "hybrid_default"]
    classes = ["video_raw", "video_processed", "report_pdf", "metadata", "sidecar", "manifest"]
    assert [(p, c) for p, c, _ in rows] == list(itertools.product(profiles, classes))
    streamable = [i + 1 for i, r in enumerate(rows) if r[2] == "fs_streamable"]
    assert streamable == [7, 8, 14]
    assert {r[2] for r in rows} == {"fs_streamable", "app_encrypted"}
    rows[0] = None
    assert m.storage_profile_policy_rows()[0] == ("strict_app_encrypted", "video_raw",
                                                  "app_encrypted")


@pytest.mark.parametrize("fn, state, event, result", [
    ("transition_operation_lifecycle", "queued", "claim", "claimed"),
    ("transition_operation_lifecycle", "claimed", "claim", "claimed"),
    ("transition_operation_lifecycle", "retry_wait", "retry_ready", "queued"),
    ("transition_operation_lifecycle", "queued", "retry_ready", "queued"),
    ("transition_operation_lifecycle", "succeeded", "integrity_lost", "lost"),
    ("transition_operation_lifecycle", "lost", "reconcile_retry", "retry_wait"),
    ("transition_operation_lifecycle", "lost", "reconcile_fail", "failed"),
    ("transition_service_lifecycle", "failed", "start_requested", "starting"),
    ("transition_service_lifecycle", "lost", "ownership_lost", "lost"),
    ("transition_service_lifecycle", "stopped", "stop_succeeded", "stopped"),
    ("transition_service_lifecycle", "lost", "reconcile_stopped", "stopped"),
])
def test_lifecycle_transitions(m, fn, state, event, result):
    assert getattr(m, fn)(state, event) == result


@pytest.mark.parametrize("fn, state, event, message", [
    ("transition_operation_lifecycle", "queued", "start",
     "invalid operation lifecycle transition: queued --start-->"),
    ("transition_operation_lifecycle", "claimed", "retry_ready",
     "invalid operation lifecycle transition: claimed --retry_ready-->"),
    ("transition_operation_lifecycle", "failed", "integrity_lost",
     "invalid operation lifecycle transition: failed --integrity_lost-->"),
    ("transition_operation_lifecycle", "Queued", "claim",
     "unsupported operation lifecycle state: Queued"),
    ("transition_operation_lifecycle", "bogus", "bogus",
     "unsupported operation lifecycle state: bogus"),
    ("transition_operation_lifecycle", "queued", "Claim",
     "unsupported operation lifecycle event: Claim"),
    ("transition_service_lifecycle", "failed", "ownership_lost",
     "invalid service lifecycle transition: failed --ownership_lost-->"),
    ("transition_service_lifecycle", "stopped", "stop_requested",
     "invalid service lifecycle transition: stopped --stop_requested-->"),
    ("transition_service_lifecycle", "running", "", "unsupported service lifecycle event: "),
    ("transition_service_lifecycle", "", "start_requested",
     "unsupported service lifecycle state: "),
    ("transition_service_lifecycle", "cancelled", "stop_requested",
     "unsupported service lifecycle state: cancelled"),
])
def test_lifecycle_failures(m, fn, state, event, message):
    with pytest.raises(ValueError) as info:
        getattr(m, fn)(state, event)
    assert type(info.value) is ValueError and info.value.args == (message,)


def test_cancelled_is_final_and_lost_leaves_only_by_reconcile(m):
    events = ["claim", "start", "succeed", "fail", "retry_scheduled", "retry_ready",
              "retry_requested", "cancel", "ownership_lost", "integrity_lost",
              "reconcile_retry", "reconcile_fail"]
    for event in events:
        try:
            assert m.transition_operation_lifecycle("cancelled", event) == "cancelled"
        except ValueError:
            pass
        try:
            target = m.transition_operation_lifecycle("lost", event)
        except ValueError:
            continue
        assert target == "lost" or event.startswith("reconcile_")


@pytest.mark.parametrize("args, result", [
    (("", False, True, False), "already_ready"),
    (("", False, True, True), "queue"),
    (("", True, False, False), "queue"),
    (("materializing", False, True, True), "already_in_flight"),
    (("materializing", True, True, True), "queue"),
    (("queued", False, False, False), "already_in_flight"),
])
def test_hls_reservation(m, args, result):
    assert m.derive_hls_reservation_action(*args) == result


@pytest.mark.parametrize("args, result", [
    (("validated", True, False, False), "publish_initial"),
    (("validated", True, False, True), "replace_ready"),
    (("validated", True, True, True), "defer"),
    (("validated", False, False, False), "reject"),
    (("queued", True, False, True), "reject"),
    (("", True, False, False), "reject"),
])
def test_hls_publication(m, args, result):
    assert m.derive_hls_publication_action(*args) == result


def test_hls_reconciliation_and_status_errors(m):
    assert m.derive_hls_reconciliation_action("", True) == "preserve"
    assert m.derive_hls_reconciliation_action("queued", True) == "fail_and_cleanup"
    assert m.derive_hls_reconciliation_action("validated", False) == "preserve"
    for fn, args in [("derive_hls_publication_action", ("VALIDATED", True, False, False)),
                     ("derive_hls_reservation_action", ("VALIDATED", True, False, False)),
                     ("derive_hls_reconciliation_action", ("VALIDATED", True))]:
        with pytest.raises(ValueError) as info:
            getattr(m, fn)(*args)
        assert info.value.args == ("unsupported HLS in-flight status: VALIDATED",)
    with pytest.raises(TypeError, match="^argument 'force': 'int' object cannot be converted "
                                        "to 'PyBool'$"):
        m.derive_hls_reservation_action("", False, True, 1)


VIDEO_FIELDS = ["processing_error", "anonymization_validated", "sensitive_meta_processed",
                "frames_extracted", "anonymized", "was_created", "processing_started"]
REPORT_FIELDS = ["processing_error", "anonymization_validated", "sensitive_meta_processed",
                 "anonymized", "processing_started"]


def first_match(rules, facts):
    for status, conditions in rules:
        if all(facts[name] == value for name, value in conditions):
            return status
    return "not_started"


@pytest.mark.parametrize("report, fields, fn", [
    (False, VIDEO_FIELDS, "derive_anonymization_status"),
    (True, REPORT_FIELDS, "derive_report_anonymization_status"),
])
def test_anonymization_matches_handed_out_table_for_every_input(m, report, fields, fn):
    rules = m.anonymization_status_rules(report)
    derive = getattr(m, fn)
    seen = set()
    for values in itertools.product([False, True], repeat=len(fields)):
        facts = dict(zip(fields, values))
        expected = first_match(rules, facts)
        assert derive(*values) == expected
        assert derive(**facts) == expected
        seen.add(expected)
    assert "not_started" in seen and "failed" in seen


def test_anonymization_rule_tables(m):
    video = m.anonymization_status_rules(False)
    report = m.anonymization_status_rules(True)
    assert video == [
        ("failed", [("processing_error", True)]),
        ("validated", [("anonymization_validated", True)]),
        ("done_processing_anonymization", [("sensitive_meta_processed", True)]),
        ("processing_anonymization", [("frames_extracted", True), ("anonymized", False)]),
        ("extracting_frames", [("was_created", True), ("frames_extracted", False)]),
        ("started", [("processing_started", True)]),
        ("anonymized", [("anonymized", True)]),
    ]
    assert report[3] == ("processing_anonymization",
                         [("processing_started", True), ("anonymized", False)])
    assert len(report) == 6
    assert video is not m.anonymization_status_rules(False)
    video[0][1].append(("x", True))
    video.clear()
    assert len(m.anonymization_status_rules(False)) == 7
    assert m.anonymization_status_rules(False)[0] == ("failed", [("processing_error", True)])


@pytest.mark.parametrize("kwargs, result", [
    ({}, "not_started"),
    ({"was_created": True, "frames_extracted": True}, "processing_anonymization"),
    ({"processing_started": True}, "started"),
    ({"anonymized": True, "processing_started": True}, "started"),
    ({"anonymized": True}, "anonymized"),
    ({"was_created": True}, "extracting_frames"),
    ({k: True for k in VIDEO_FIELDS}, "failed"),
])
def test_video_status_examples(m, kwargs, result):
    facts = {k: kwargs.get(k, False) for k in VIDEO_FIELDS}
    assert m.derive_anonymization_status(**facts) == result


def test_report_status_examples(m):
    assert m.derive_report_anonymization_status(False, False, False, False, True) \
        == "processing_anonymization"
    assert m.derive_report_anonymization_status(False, False, False, True, True) == "started"
    assert m.derive_report_anonymization_status(False, False, False, True, False) == "anonymized"
    assert m.derive_report_anonymization_status(True, True, True, True, True) == "failed"
    with pytest.raises(TypeError, match="^argument 'anonymized': 'int' object"):
        m.derive_report_anonymization_status(False, False, False, 0, True)


@pytest.mark.parametrize("facts, result", [
    ((False, False, False, False, False), "not_started"),
    ((True, True, True, True, True), "annotation_complete"),
    ((True, False, False, False, False), "frames_unavailable"),
    ((False, True, True, True, True), "not_started"),
    ((True, True, False, True, False), "prediction_pending"),
    ((True, True, True, False, True), "prediction_ready"),
    ((True, True, True, True, False), "annotation_ready"),
])
def test_frame_annotation_status(m, facts, result):
    assert m.derive_frame_annotation_status(*facts) == result


@pytest.mark.parametrize("facts, result", [
    ((False, False, False), "not_started"),
    ((True, False, False), "cleanup_required"),
    ((False, True, False), "cleanup_required"),
    ((False, True, True), "validated"),
    ((False, False, True), "not_started"),
])
def test_segment_annotation_status(m, facts, result):
    assert m.derive_segment_annotation_status(*facts) == result


@pytest.mark.parametrize("value, result", [
    ("  FILTERED\n", "filtered"), ("Filtered", "filtered"), ("filter", "random"),
    ("filtered frames", "random"), ("", "random"), ("random", "random"),
    ("f\u0130ltered", "random"), ("\u00a0filtered\u00a0", "filtered"),
    ("\u3000filtered\u2029", "filtered"),
])
def test_task_mode_normalisation(m, value, result):
    assert m.normalize_frame_task_mode_token(value) == result


@pytest.mark.parametrize("value, result", [
    ("Segments", "segments"), (" ANNOTATIONS ", "annotations"), ("NONE", "none"),
    ("segment", "balanced"), ("annotation", "balanced"), ("sequence", "balanced"),
    ("", "balanced"), ("\u00a0none", "none"),
])
def test_sampling_strategy_normalisation(m, value, result):
    assert m.normalize_frame_sampling_strategy_token(value) == result
