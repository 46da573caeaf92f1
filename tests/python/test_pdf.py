"""The single-page PDF: byte layout, text preparation, and what readers make
of it (qpdf's structural check, poppler's text extraction)."""

import re
import subprocess

import pytest

from helpers import raises_exactly

HELLO = (
    b"%PDF-1.4\n"
    b"1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
    b"2 0 obj\n<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n"
    b"3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] "
    b"/Resources << /Font << /F1 4 0 R >> >> /Contents 5 0 R >>\nendobj\n"
    b"4 0 obj\n<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>\nendobj\n"
    b"5 0 obj\n<< /Length 36 >>\nstream\nBT\n/F1 10 Tf\n36 806 Td\n(Hello) Tj\nET\n"
    b"endstream\nendobj\n"
    b"xref\n0 6\n0000000000 65535 f \n"
    b"0000000009 00000 n \n0000000058 00000 n \n0000000115 00000 n \n"
    b"0000000241 00000 n \n0000000311 00000 n \n"
    b"trailer\n<< /Size 6 /Root 1 0 R >>\nstartxref\n397\n%%EOF\n"
)


def content(pdf: bytes) -> bytes:
    return pdf[pdf.index(b"stream\n") + 7:pdf.index(b"\nendstream")]


def shown(pdf: bytes) -> list[bytes]:
    return re.findall(rb"\n\((.*?)\) Tj", content(pdf), flags=re.S)


def check_structure(pdf: bytes) -> None:
    """Cross-reference entries are 20 bytes and point at their objects."""
    xref = int(pdf[pdf.rindex(b"startxref\n") + 10:].split(b"\n")[0])
    assert pdf[xref:xref + 29] == b"xref\n0 6\n0000000000 65535 f \n"
    for number in range(1, 6):
        entry = pdf[xref + 9 + 20 * number:xref + 9 + 20 * (number + 1)]
        assert re.fullmatch(rb"\d{10} 00000 n \n", entry)
        offset = int(entry[:10])
        assert pdf[offset:].startswith(b"%d 0 obj\n" % number)
    assert b"<< /Length %d >>" % len(content(pdf)) in pdf
    assert pdf.endswith(b"\n%%EOF\n")


def qpdf_check(path) -> None:
    result = subprocess.run(["qpdf", "--check", str(path)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "No syntax or stream encoding errors found" in result.stdout


def extracted_text(path) -> str:
    return subprocess.run(["pdftotext", "-enc", "UTF-8", str(path), "-"], capture_output=True,
                          text=True, check=True).stdout


@pytest.fixture
def render(m, tmp_path):
    """Renders, checks the structure and runs qpdf --check on the file."""
    counter = iter(range(10**6))

    def go(text):
        pdf = m.render_single_page_pdf(text)
        assert type(pdf) is bytes
        check_structure(pdf)
        path = tmp_path / f"page{next(counter)}.pdf"
        path.write_bytes(pdf)
        qpdf_check(path)
        return pdf, path

    return go


def test_worked_examples_are_byte_exact(render):
    pdf, _ = render("Hello")
    assert pdf == HELLO and len(pdf) == 580
    empty, _ = render("")
    assert len(empty) == 575
    assert content(empty) == b"BT\n/F1 10 Tf\n36 806 Td\n() Tj\nET"
    assert empty.endswith(b"startxref\n392\n%%EOF\n")
    assert empty == HELLO.replace(b"(Hello)", b"()").replace(b"/Length 36", b"/Length 31") \
                         .replace(b"\n397\n", b"\n392\n")


def test_equal_texts_give_equal_files(m):
    assert m.render_single_page_pdf("same text") == m.render_single_page_pdf("same text")


def test_carriage_returns_give_the_same_file(m):
    assert m.render_single_page_pdf("x\r\ny\rz") == m.render_single_page_pdf("x\ny\nz")
    assert content(m.render_single_page_pdf("a\n")).endswith(b"(a) Tj\n0 -12 Td\n() Tj\nET")


def test_only_the_first_65_lines_are_kept(render, m):
    lines = [f"line {i}" for i in range(70)]
    pdf, path = render("\n".join(lines))
    assert pdf == m.render_single_page_pdf("\n".join(lines[:65]))
    assert len(shown(pdf)) == 65
    assert extracted_text(path).split() == " ".join(lines[:65]).split()


def test_escaping(render):
    pdf, path = render("a(b)c\\d")
    assert shown(pdf) == [b"a\\(b\\)c\\\\d"]
    assert extracted_text(path).strip() == "a(b)c\\d"
    tabbed, _ = render("x\ty\x01")
    assert shown(tabbed) == [b"x\ty\x01"]


@pytest.mark.parametrize("text, written", [
    ("\u4e2d\u6587", b"??"),
    ("smile \U0001F600", b"smile ?"),
    ("\u0100\u2014", b"??"),
    ("bell\x85\x9f", b"bell??"),  # invisible C1 controls
])
def test_characters_beyond_latin1_become_question_marks(render, text, written):
    pdf, _ = render(text)
    assert shown(pdf) == [written]
    assert b"/Encoding" not in pdf


def test_length_counts_bytes(render):
    pdf, _ = render("((\\))")
    assert content(pdf) == b"BT\n/F1 10 Tf\n36 806 Td\n(\\(\\(\\\\\\)\\)) Tj\nET"
    assert b"<< /Length 41 >>" in pdf  # 5 characters, 10 bytes escaped


def test_latin1_text_reads_back_exactly(render):
    text = "Café crème brûlée\nÆrøskøbing – Größe\nSeñor Ñandú: ¿qué? ¡sí! £5 ©"
    pdf, path = render(text)
    assert (b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica "
            b"/Encoding /WinAnsiEncoding >>") in pdf
    assert shown(pdf)[0] == "Café crème brûlée".encode("latin-1")
    # The en dash (U+2013) lies beyond Latin-1.
    expected = text.replace("–", "?")
    assert extracted_text(path).strip().splitlines() == expected.splitlines()


def test_plain_ascii_text_reads_back(render):
    text = "Report 2024-05-01\nPatient: [redacted]\nFindings: none (normal)"
    _, path = render(text)
    assert extracted_text(path).strip().splitlines() == text.splitlines()


@pytest.mark.parametrize("call, error, message", [
    (lambda m: m.render_single_page_pdf(b"Hello"), TypeError,
     "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
    (lambda m: m.render_single_page_pdf(None), TypeError,
     "argument 'text': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda m: m.render_single_page_pdf(), TypeError,
     "render_single_page_pdf() missing 1 required positional argument: 'text'"),
    (lambda m: m.render_single_page_pdf("a", "b"), TypeError,
     "render_single_page_pdf() takes 1 positional arguments but 2 were given"),
    (lambda m: m.render_single_page_pdf("a\ud800"), UnicodeEncodeError, None),
])
def test_argument_failures(m, call, error, message):
    raises_exactly(error, message, call, m)


def test_text_keyword_and_str_subclass(m):
    class Text(str):
        pass

    assert m.render_single_page_pdf(text=Text("Hello")) == HELLO
