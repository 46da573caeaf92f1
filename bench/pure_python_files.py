"""Idiomatic pure-Python equivalents of the frame, PDF and copy functions,
used as the baseline of bench_files.py. They follow the same rules as the
native functions (names, grammar, file layout) so the results are equal."""

import os
import shutil

_MAX_U64 = 2**64 - 1


def build_expected_frame_records(frame_count, ext="jpg"):
    if not ext.strip():
        raise ValueError("ext must not be empty")
    return [(i, f"frame_{i:07d}.{ext}") for i in range(frame_count)]


def _frame_number(path):
    name = os.path.basename(path.rstrip("/"))
    if name in ("", ".", ".."):
        raise ValueError("path is missing a valid file stem")
    stem, _ = os.path.splitext(name)
    prefix, sep, number = stem.rpartition("_")
    if not sep:
        raise ValueError("path stem is missing an underscore")
    digits = number[1:] if number.startswith("+") else number
    if not (digits.isascii() and digits.isdigit()) or int(digits) > _MAX_U64:
        raise ValueError(f"invalid frame number in path: {path}")
    return int(digits)


def parse_extracted_frame_numbers(paths):
    return [_frame_number(path) for path in paths]


def build_frame_records(paths):
    return [(_frame_number(path), os.path.basename(path.rstrip("/"))) for path in paths]


def _escape(line):
    kept = "".join(c if ord(c) < 256 else "?" for c in line)
    return kept.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)")


def render_single_page_pdf(text):
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")[:65]
    shows = "\n0 -12 Td\n".join(f"({_escape(line)}) Tj" for line in lines)
    content = f"BT\n/F1 10 Tf\n36 806 Td\n{shows}\nET".encode("utf-8")
    objects = [
        b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] "
        b"/Resources << /Font << /F1 4 0 R >> >> /Contents 5 0 R >>",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        b"<< /Length %d >>\nstream\n" % len(content) + content + b"\nendstream",
    ]
    out = bytearray(b"%PDF-1.4\n")
    offsets = []
    for number, body in enumerate(objects, start=1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 6\n0000000000 65535 f \n"
    for offset in offsets:
        out += b"%010d 00000 n \n" % offset
    out += b"trailer\n<< /Size 6 /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % xref
    return bytes(out)


def copy_file_descriptor_to_path(source_fd, target_path):
    with open(source_fd, "rb", closefd=False) as source, open(target_path, "wb") as target:
        shutil.copyfileobj(source, target)
        target.flush()
        os.fsync(target.fileno())
        return target.tell()
