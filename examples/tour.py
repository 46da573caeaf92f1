"""A tour of tavolin_native_backend as the host application uses it.

Runs every capability once in a temporary folder, prints a compact report and
exits non-zero if any result is wrong."""
from __future__ import annotations

import hashlib
import os
import pathlib
import subprocess
import sys
import tempfile

import tavolin_native_backend as m
from tavolin_testing.container_writer import write_container  # the host's writer, in miniature

failures: list[str] = []


def check(label: str, ok: bool, detail: object = "") -> None:
    mark = "ok " if ok else "FAIL"
    print(f"  [{mark}] {label}" + (f": {detail}" if detail != "" else ""))
    if not ok:
        failures.append(label)


def section(title: str) -> None:
    print(f"\n{title}")


def main() -> int:
    print("tavolin_native_backend tour")
    caps = m.native_capabilities()
    check("capabilities", len(caps) == 4 and all(r[2] == "0.1.1" for r in caps),
          ", ".join(f"{c}={v}" for c, v, _ in caps))
    policy = m.storage_profile_policy_rows()
    check("storage policy rows", len(policy) == 18,
          f"{sum(r[2] == 'fs_streamable' for r in policy)} streamable")

    with tempfile.TemporaryDirectory(prefix="tavolin-tour-") as tmp:
        root = pathlib.Path(tmp)
        master_old, master_new = os.urandom(32), os.urandom(16)
        plaintext = os.urandom(300_000)

        section("Encrypted container")
        container = root / "video.qv"
        write_container(container, plaintext, master_new, 65536)
        plain = root / "video.raw"
        plain.write_bytes(plaintext)
        check("detect container", m.encryption_status(container) == "encrypted"
              and m.is_qv_encrypted_file(container))
        check("detect plain file", m.encryption_status(plain) == "plaintext")
        header_len = int.from_bytes(container.read_bytes()[8:12], "big")
        header = m.parse_encrypted_header(container.read_bytes()[12:12 + header_len])
        check("parse header", header[:3] == (1, "AESGCM-chunked-v1", 65536),
              f"chunk_size={header[2]}")
        part = m.decrypt_encrypted_file_range(container, master_new, 65_000, 70_000)
        check("decrypt a range across two chunks", part == plaintext[65_000:70_001],
              f"{len(part)} bytes")
        try:
            m.decrypt_encrypted_file_range(container, master_old, 0, 10)
            check("wrong key refused", False)
        except ValueError as e:
            check("wrong key refused", str(e) == "AES-GCM authentication failed", e)

        section("Stable identities")
        processor = m.BatchProcessor(2)
        ids = processor.stable_file_identities([plain, container],
                                               master_keys=[master_old, master_new])
        digest = hashlib.sha256(plaintext).hexdigest()
        check("plain and container share the plaintext digest",
              ids[0][2] == digest and ids[1][2] == digest, digest[:16] + "...")
        check("sizes differ", ids[0][0] == len(plaintext) and ids[1][0] > len(plaintext),
              f"{ids[0][0]} vs {ids[1][0]}")
        check("single identity equals the batch", m.stable_file_identity(plain) == ids[0])

        section("Descriptor copy")
        with open(plain, "rb") as src:
            src.seek(1000)
            copied = m.copy_file_descriptor_to_path(src.fileno(), root / "copy.raw")
            check("copy from the descriptor's offset", copied == len(plaintext) - 1000
                  and (root / "copy.raw").read_bytes() == plaintext[1000:], f"{copied} bytes")
            check("caller's descriptor advanced", src.tell() == len(plaintext))

        section("Report PDF")
        report = "Anonymised report\nPatient: ██████\nFindings: café, naïve résumé (none)"
        pdf = m.render_single_page_pdf(report)
        (root / "report.pdf").write_bytes(pdf)
        check("renders a PDF", pdf.startswith(b"%PDF-1.4\n") and pdf.endswith(b"%%EOF\n"),
              f"{len(pdf)} bytes")
        try:
            text = subprocess.run(["pdftotext", "-layout", str(root / "report.pdf"), "-"],
                                  capture_output=True, text=True, check=True).stdout
            check("pdftotext reads the accents back", "café, naïve résumé (none)" in text)
        except FileNotFoundError:
            print("  [skip] pdftotext not installed")

        section("Frame names")
        expected = m.build_expected_frame_records(3, "png")
        check("expected frame files", [n for _, n in expected] ==
              ["frame_0000000.png", "frame_0000001.png", "frame_0000002.png"])
        paths = [f"/data/video7/frames/{name}" for _, name in expected]
        check("numbers read back", m.parse_extracted_frame_numbers(paths) == [0, 1, 2])
        records = m.build_frame_records(paths, relative_to="/data/video7")
        check("records relative to the video folder", records[1] == (1, "frames/frame_0000001.png"))

    section("Lifecycles and decisions")
    state = "queued"
    trail = [state]
    for event in ["claim", "start", "fail", "retry_requested", "retry_ready"]:
        state = m.transition_operation_lifecycle(state, event)
        trail.append(state)
    check("operation lifecycle", state == "queued", " -> ".join(trail))
    try:
        m.transition_operation_lifecycle("cancelled", "start")
        check("illegal transition refused", False)
    except ValueError as e:
        check("illegal transition refused", "invalid operation lifecycle transition" in str(e), e)
    check("HLS reservation", m.derive_hls_reservation_action("", False, True, False)
          == "already_ready")
    check("HLS publication", m.derive_hls_publication_action("validated", True, False, True)
          == "replace_ready")
    check("video anonymisation status",
          m.derive_anonymization_status(False, False, False, True, False, True, True)
          == "processing_anonymization")
    check("frame annotation status",
          m.derive_frame_annotation_status(True, True, True, False, False) == "prediction_ready")
    check("normalised settings",
          (m.normalize_frame_task_mode_token(" Filtered\n"),
           m.normalize_frame_sampling_strategy_token("NONE")) == ("filtered", "none"))

    print()
    if failures:
        print(f"{len(failures)} check(s) failed: {', '.join(failures)}")
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
