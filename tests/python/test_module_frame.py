"""The module frame: import, registration, binding and conversion errors."""
import importlib
import importlib.util
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

EXPECTED_ALL = [
    "BatchProcessor",
    "parse_encrypted_header", "native_capabilities", "encryption_status", "is_qv_encrypted_file",
    "decrypt_encrypted_file_range", "copy_file_descriptor_to_path", "stable_file_identity",
    "derive_hls_reservation_action", "derive_hls_publication_action",
    "derive_hls_reconciliation_action", "render_single_page_pdf", "parse_extracted_frame_numbers",
    "build_frame_records", "build_expected_frame_records", "anonymization_status_rules",
    "derive_anonymization_status", "derive_report_anonymization_status",
    "transition_service_lifecycle", "transition_operation_lifecycle",
    "derive_segment_annotation_status", "derive_frame_annotation_status",
    "normalize_frame_task_mode_token", "normalize_frame_sampling_strategy_token",
    "storage_profile_policy_rows",
]

TEXT_SIGNATURES = {
    "parse_encrypted_header": "parse_encrypted_header(data)",
    "native_capabilities": "native_capabilities()",
    "encryption_status": "encryption_status(path)",
    "is_qv_encrypted_file": "is_qv_encrypted_file(path)",
    "decrypt_encrypted_file_range": "decrypt_encrypted_file_range(path, master_key, start, end)",
    "copy_file_descriptor_to_path":
        "copy_file_descriptor_to_path(source_fd, target_path, chunk_size=...)",
    "stable_file_identity": "stable_file_identity(path, chunk_size=..., master_keys=...)",
    "derive_hls_reservation_action": "derive_hls_reservation_action(active_status, "
        "active_is_stale, ready_matches_source, force)",
    "derive_hls_publication_action": "derive_hls_publication_action(attempt_status, "
        "owner_matches, has_active_lease, has_ready_generation)",
    "derive_hls_reconciliation_action": "derive_hls_reconciliation_action(status, is_stale)",
    "render_single_page_pdf": "render_single_page_pdf(text)",
    "parse_extracted_frame_numbers": "parse_extracted_frame_numbers(paths)",
    "build_frame_records": "build_frame_records(paths, *, relative_to=None, zero_based=False)",
    "build_expected_frame_records": 'build_expected_frame_records(frame_count, ext="jpg")',
    "anonymization_status_rules": "anonymization_status_rules(report)",
    "derive_anonymization_status": "derive_anonymization_status(processing_error, "
        "anonymization_validated, sensitive_meta_processed, frames_extracted, anonymized, "
        "was_created, processing_started)",
    "derive_report_anonymization_status": "derive_report_anonymization_status(processing_error, "
        "anonymization_validated, sensitive_meta_processed, anonymized, processing_started)",
    "transition_service_lifecycle": "transition_service_lifecycle(current_state, event)",
    "transition_operation_lifecycle": "transition_operation_lifecycle(current_state, event)",
    "derive_segment_annotation_status": "derive_segment_annotation_status("
        "segment_annotations_created, segment_annotations_validated, outside_segments_removed)",
    "derive_frame_annotation_status": "derive_frame_annotation_status(has_state, "
        "frames_extracted, initial_prediction_completed, lvs_created, frame_annotations_generated)",
    "normalize_frame_task_mode_token": "normalize_frame_task_mode_token(value)",
    "normalize_frame_sampling_strategy_token": "normalize_frame_sampling_strategy_token(value)",
    "storage_profile_policy_rows": "storage_profile_policy_rows()",
}


def test_all_lists_class_then_functions_in_registration_order(m):
    assert m.__all__ == EXPECTED_ALL
    assert list(TEXT_SIGNATURES) == EXPECTED_ALL[1:]


@pytest.mark.parametrize("name", EXPECTED_ALL[1:])
def test_function_objects_carry_exact_docstring_and_module(m, name):
    fn = getattr(m, name)
    assert fn.__doc__ is None  # the docstring is the text signature alone
    assert fn.__module__ == "tavolin_native_backend"
    assert fn.__self__ is m
    assert f"{name}{fn.__text_signature__}" == TEXT_SIGNATURES[name].replace("$", "")
    inspect.signature(fn)  # parsable


def test_reimport_after_removal_returns_identical_module(m):
    del sys.modules["tavolin_native_backend"]
    try:
        again = importlib.import_module("tavolin_native_backend")
    finally:
        sys.modules["tavolin_native_backend"] = m
    assert again is m


# Refused while the main interpreter owns the module, and before it does.
SUB_INTERPRETER_REFUSAL = ("refused: tavolin_native_backend does not support sub-interpreters: it "
                           "was first imported by another interpreter of this process")
UNOWNED_REFUSAL = ("refused: tavolin_native_backend does not support sub-interpreters: only the "
                   "main interpreter of this process can import it")
# An isolated sub-interpreter (own lock, 3.12+) may instead be refused by the
# interpreter itself before the module's initialisation runs.
INTERPRETER_REFUSAL = "refused: module tavolin_native_backend does not support loading in " \
                      "subinterpreters"
SUB_INTERPRETER_KINDS = ["legacy"] + (["isolated"] if sys.version_info >= (3, 12) else [])
HAS_SUB_INTERPRETERS = any(importlib.util.find_spec(name)
                           for name in ("_interpreters", "_xxsubinterpreters"))

INTERPRETERS_SCRIPT = textwrap.dedent('''
    import sys
    try:
        import _interpreters as interpreters  # 3.13
    except ImportError:
        import _xxsubinterpreters as interpreters  # 3.10 to 3.12

    def in_sub_interpreter(kind):
        if sys.version_info >= (3, 13):
            interp = interpreters.create(kind)
        elif sys.version_info >= (3, 12):
            interp = interpreters.create(isolated=kind == "isolated")
        else:
            interp = interpreters.create()
        try:
            failure = interpreters.run_string(interp, """if 1:
                try:
                    import tavolin_native_backend
                except ImportError as e:
                    print("refused:", e, flush=True)
                else:
                    print("imported", flush=True)
            """)
            assert failure is None, failure
        finally:
            interpreters.destroy(interp)

    def in_main():
        import tavolin_native_backend as m
        print("main:", m.transition_operation_lifecycle("queued", "claim"), flush=True)
''')


def run_interpreters(*steps):
    """Runs the import steps in a fresh process; returns its output lines."""
    code = INTERPRETERS_SCRIPT + "\n".join(steps) + "\n"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stdout + out.stderr
    return out.stdout.splitlines()


def refusals(kind, owned=True):
    refusal = SUB_INTERPRETER_REFUSAL if owned else UNOWNED_REFUSAL
    return {refusal} | ({INTERPRETER_REFUSAL} if kind == "isolated" else set())


needs_sub_interpreters = pytest.mark.skipif(not HAS_SUB_INTERPRETERS,
                                            reason="this interpreter has no sub-interpreter module")


@needs_sub_interpreters
@pytest.mark.parametrize("kind", SUB_INTERPRETER_KINDS)
def test_second_interpreter_is_refused(kind):
    lines = run_interpreters("in_main()", f"in_sub_interpreter({kind!r})", "in_main()")
    assert len(lines) == 3, lines
    assert lines[0] == lines[2] == "main: claimed"
    assert lines[1] in refusals(kind)


@needs_sub_interpreters
@pytest.mark.parametrize("kind", SUB_INTERPRETER_KINDS)
def test_refused_sub_interpreter_does_not_take_the_module_from_the_main_one(kind):
    lines = run_interpreters(f"in_sub_interpreter({kind!r})", "in_main()",
                             "in_sub_interpreter('legacy')")
    assert len(lines) == 3, lines
    # Before the main interpreter imported it, no interpreter owns the module:
    # the refusal says only that sub-interpreters are not supported. From 3.13
    # on, the interpreter runs the initialisation of a module like this one in
    # the main interpreter before it runs it in the sub-interpreter, so there
    # the main interpreter does own the module when the sub-interpreter is refused.
    assert lines[0] in refusals(kind, owned=sys.version_info >= (3, 13))
    assert lines[1] == "main: claimed"
    assert lines[2] == SUB_INTERPRETER_REFUSAL


@pytest.mark.parametrize("call, message", [
    (lambda m: m.transition_service_lifecycle("stopped"),
     "transition_service_lifecycle() missing 1 required positional argument: 'event'"),
    (lambda m: m.transition_service_lifecycle(),
     "transition_service_lifecycle() missing 2 required positional arguments: "
     "'current_state' and 'event'"),
    (lambda m: m.derive_segment_annotation_status(),
     "derive_segment_annotation_status() missing 3 required positional arguments: "
     "'segment_annotations_created', 'segment_annotations_validated', and "
     "'outside_segments_removed'"),
    (lambda m: m.derive_hls_reconciliation_action("", False, True),
     "derive_hls_reconciliation_action() takes 2 positional arguments but 3 were given"),
    (lambda m: m.normalize_frame_task_mode_token("a", "b"),
     "normalize_frame_task_mode_token() takes 1 positional arguments but 2 were given"),
    (lambda m: m.build_expected_frame_records(1, "jpg", 3),
     "build_expected_frame_records() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda m: m.build_frame_records(["a_1.jpg"], None),
     "build_frame_records() takes 1 positional arguments but 2 were given"),
    (lambda m: m.transition_service_lifecycle("stopped", event="x", bogus=1),
     "transition_service_lifecycle() got an unexpected keyword argument 'bogus'"),
    (lambda m: m.transition_service_lifecycle("stopped", current_state="x"),
     "transition_service_lifecycle() got multiple values for argument 'current_state'"),
    (lambda m: m.BatchProcessor(),
     "BatchProcessor.__new__() missing 1 required positional argument: 'worker_count'"),
])
def test_binding_errors(m, call, message):
    with pytest.raises(TypeError) as info:
        call(m)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def test_keyword_arguments_bind_in_any_order(m):
    assert m.transition_service_lifecycle(event="start_requested", current_state="stopped") \
        == "starting"
    assert m.derive_hls_reservation_action(
        force=False, ready_matches_source=True, active_is_stale=False, active_status="") \
        == "already_ready"


@pytest.mark.parametrize("fn", ["native_capabilities", "storage_profile_policy_rows"])
def test_no_argument_functions_reject_arguments(m, fn):
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(m, fn)(None)


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class StrSub(str):
    pass


def test_bool_conversion_is_strict(m):
    with pytest.raises(TypeError) as info:
        m.derive_hls_reconciliation_action("queued", 1)
    assert str(info.value) == "argument 'is_stale': 'int' object cannot be converted to 'PyBool'"
    assert info.value.__cause__ is None
    for bad, tname in [(0, "int"), (None, "NoneType"), ("yes", "str"), (1.0, "float")]:
        with pytest.raises(TypeError, match=rf"^argument 'lvs_created': '{tname}' object cannot"):
            m.derive_frame_annotation_status(True, True, True, bad, True)
    assert m.derive_hls_reconciliation_action("queued", True) == "fail_and_cleanup"


def test_numpy_bools_are_accepted(m):
    import numpy as np
    assert m.derive_hls_reconciliation_action("queued", np.bool_(True)) == "fail_and_cleanup"
    assert m.derive_hls_reconciliation_action("queued", np.bool_(False)) == "preserve"
    with pytest.raises(TypeError, match="'numpy.int64'|'int64'"):
        m.derive_hls_reconciliation_action("queued", np.int64(1))


def test_text_conversion(m):
    assert m.normalize_frame_task_mode_token(StrSub(" Filtered ")) == "filtered"
    with pytest.raises(TypeError) as info:
        m.normalize_frame_task_mode_token(None)
    assert str(info.value) == "argument 'value': 'NoneType' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError, match="^argument 'event': 'int' object cannot be converted"):
        m.transition_service_lifecycle("running", 1)
    with pytest.raises(TypeError, match="^argument 'value': 'bytes' object"):
        m.normalize_frame_task_mode_token(b"filtered")
    # Lone surrogates: the interpreter's UnicodeEncodeError, without the argument name.
    with pytest.raises(UnicodeEncodeError):
        m.normalize_frame_task_mode_token("\ud800")


def test_conversions_happen_in_parameter_order(m):
    # A wrong flag type is reported before an unsupported status.
    with pytest.raises(TypeError, match="is_stale"):
        m.derive_hls_reconciliation_action("ready", 1)
    with pytest.raises(TypeError, match="active_is_stale"):
        m.derive_hls_reservation_action("bogus", None, None, None)


def test_unsigned_and_signed_integer_conversions(m):
    # Integer-like objects are accepted through __index__.
    assert m.build_expected_frame_records(IndexLike(2)) == [
        (0, "frame_0000000.jpg"), (1, "frame_0000001.jpg")]
    with pytest.raises(OverflowError) as info:
        m.build_expected_frame_records(-1)
    assert "argument" not in str(info.value)  # passed through unchanged
    with pytest.raises(OverflowError):
        m.build_expected_frame_records(2**64)
    with pytest.raises(TypeError, match=r"^argument 'frame_count': 'float' object cannot be "
                                        r"interpreted as an integer"):
        m.build_expected_frame_records(1.5)
    with pytest.raises(OverflowError) as info:
        m.copy_file_descriptor_to_path(2**40, "/nonexistent/x")
    assert str(info.value) == "out of range integral type conversion attempted"
    with pytest.raises(OverflowError):
        m.copy_file_descriptor_to_path(2**70, "/nonexistent/x")


def test_conversion_error_keeps_the_original_cause(m):
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("index failed") from e

    with pytest.raises(TypeError) as info:
        m.build_expected_frame_records(Bad())
    assert str(info.value) == "argument 'frame_count': index failed"
    assert isinstance(info.value.__cause__, KeyError)


def test_non_type_errors_from_conversion_pass_through(m):
    class Boom:
        def __index__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="^boom$"):
        m.build_expected_frame_records(Boom())


def test_panic_exception_derives_from_base_exception(m):
    with pytest.raises(BaseException) as info:
        m.build_expected_frame_records(2**59)
    exc_type = type(info.value)
    assert exc_type.__name__ == "PanicException"
    assert exc_type.__bases__ == (BaseException,)
    assert not isinstance(info.value, Exception)
    assert len(info.value.args) == 1 and info.value.args[0]
    # Created once: the same type on the next fault.
    with pytest.raises(BaseException) as again:
        m.build_expected_frame_records(2**60)
    assert type(again.value) is exc_type


def test_memory_is_stable_over_many_calls(m):
    """100,000 succeeding and failing calls must not grow the process."""
    import gc
    import tracemalloc

    def churn(n):
        for _ in range(n):
            m.transition_operation_lifecycle("queued", "claim")
            try:
                m.transition_operation_lifecycle("queued", "start")
            except ValueError:
                pass
            try:
                m.derive_hls_reconciliation_action("queued", 1)
            except TypeError:
                pass
            try:
                m.transition_service_lifecycle("x", "y", "z")
            except TypeError:
                pass
            m.anonymization_status_rules(True)
            m.normalize_frame_sampling_strategy_token(" NONE ")

    def rss_kib():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise AssertionError("no VmRSS")

    churn(20_000)  # warm up caches and free lists
    gc.collect()
    tracemalloc.start()
    before_rss = rss_kib()
    snap_before = tracemalloc.take_snapshot()
    churn(100_000)
    gc.collect()
    snap_after = tracemalloc.take_snapshot()
    after_rss = rss_kib()
    tracemalloc.stop()
    grown = sum(s.size_diff for s in snap_after.compare_to(snap_before, "filename"))
    assert grown < 64 * 1024, grown
    if not os.environ.get("TAVOLIN_SANITIZED"):  # the sanitizer's quarantine holds freed memory
        assert after_rss - before_rss < 2048, (before_rss, after_rss)


class LyingSequence:
    """A sequence whose reported length is far from the truth."""

    def __init__(self, items, claimed):
        self.items, self.claimed = items, claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize("claimed", [0, 2**62, 2**63 - 1])
def test_sequence_length_is_only_a_hint(m, claimed, tmp_path):
    from tavolin_testing.container_writer import make_container

    paths = LyingSequence(["frame_1.jpg", "x/frame_0000002.png"], claimed)
    assert m.parse_extracted_frame_numbers(paths) == [1, 2]
    container = tmp_path / "c.qv"
    container.write_bytes(make_container(b"abc", bytes(32), 16))
    # The 3-byte key arrives whole (and is then refused for its length).
    with pytest.raises(ValueError, match="^AES-GCM key must contain 16, 24, or 32 bytes$"):
        m.decrypt_encrypted_file_range(container, LyingSequence([1, 2, 3], claimed), 0, 0)
    assert m.decrypt_encrypted_file_range(container, LyingSequence([0] * 32, claimed), 0, 2) \
        == b"abc"
