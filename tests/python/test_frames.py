"""Frame numbers and records read from frame file names, and the expected
records of a complete extraction."""

import pytest

from helpers import raises_exactly

U64_MAX = 2**64 - 1


@pytest.mark.parametrize("path, number, name", [
    ("frame_0000042.jpg", 42, "frame_0000042.jpg"),
    ("/x/y/frame_42.png", 42, "frame_42.png"),
    ("frame_12", 12, "frame_12"),
    ("frame_7.", 7, "frame_7."),
    (".frame_3", 3, ".frame_3"),
    ("scene_a_17.jpg", 17, "scene_a_17.jpg"),
    ("frame_+8.jpg", 8, "frame_+8.jpg"),
    ("_5.jpg", 5, "_5.jpg"),
    ("dir//frame_9.jpg//", 9, "frame_9.jpg"),
    ("./frame_9.jpg", 9, "frame_9.jpg"),
    ("a\\b_6.jpg", 6, "a\\b_6.jpg"),
    ("frame_18446744073709551615.jpg", U64_MAX, "frame_18446744073709551615.jpg"),
    ("frame_000018446744073709551615.jpg", U64_MAX, "frame_000018446744073709551615.jpg"),
])
def test_frame_numbers_follow_the_name_grammar(m, path, number, name):
    assert m.parse_extracted_frame_numbers([path]) == [number]
    assert m.build_frame_records([path]) == [(number, name)]


@pytest.mark.parametrize("path, message", [
    ("frame_1.tar.gz", "invalid frame number in path: frame_1.tar.gz"),
    ("/v/frame_-1.jpg", "invalid frame number in path: /v/frame_-1.jpg"),
    ("/v/frame_.jpg", "invalid frame number in path: /v/frame_.jpg"),
    ("/v/frame_42a.jpg", "invalid frame number in path: /v/frame_42a.jpg"),
    ("/v/frame_4 2.jpg", "invalid frame number in path: /v/frame_4 2.jpg"),
    ("/v/frame_+.jpg", "invalid frame number in path: /v/frame_+.jpg"),
    ("/v/frame_\u0661.jpg", "invalid frame number in path: /v/frame_\u0661.jpg"),
    ("frame_18446744073709551616.jpg", "invalid frame number in path: "
                                       "frame_18446744073709551616.jpg"),
    ("/v/12.jpg", "path stem is missing an underscore"),
    ("a_b/12.jpg", "path stem is missing an underscore"),
    ("", "path is missing a valid file stem"),
    ("/", "path is missing a valid file stem"),
    (".", "path is missing a valid file stem"),
    ("frames/..", "path is missing a valid file stem"),
])
def test_every_failure_names_the_whole_path(m, path, message):
    for call in (lambda: m.parse_extracted_frame_numbers(["frame_1.jpg", path]),
                 lambda: m.build_frame_records(["frame_1.jpg", path]),
                 lambda: m.build_frame_records([path], relative_to="/nowhere")):
        with pytest.raises(ValueError) as info:
            call()
        assert info.value.args == (message,)


def test_order_and_duplicates_remain(m):
    paths = ["/a/frame_3.jpg", "frame_1.jpg", "/b/frame_3.jpg"]
    assert m.parse_extracted_frame_numbers(paths) == [3, 1, 3]
    assert m.build_frame_records(paths) == [
        (3, "frame_3.jpg"), (1, "frame_1.jpg"), (3, "frame_3.jpg")]
    assert m.parse_extracted_frame_numbers([]) == []
    assert m.build_frame_records([], relative_to="/d", zero_based=True) == []
    # Any sequence of str works, str subclasses too.
    assert m.parse_extracted_frame_numbers(("x_1", type("S", (str,), {})("y_2"))) == [1, 2]


@pytest.mark.parametrize("path, base, expected", [
    ("/d/sub/frame_5.jpg", "/d", "sub/frame_5.jpg"),
    ("/d/sub/frame_5.jpg", "/d/", "sub/frame_5.jpg"),
    ("/d//./sub//frame_5.jpg/", "/d", "sub//frame_5.jpg"),
    ("/d/frame_5.jpg", "/", "d/frame_5.jpg"),
    ("/d/frame_5.jpg", "/d/frame_5.jpg", ""),
    ("/d/frame_5.jpg/", "", "/d/frame_5.jpg"),
    ("rel/frame_5.jpg", "rel", "frame_5.jpg"),
    ("/d/../frame_5.jpg", "/d/..", "frame_5.jpg"),
    ("/data/a\\b/frame_1.jpg", "/data", "a/b/frame_1.jpg"),
])
def test_paths_relative_to_a_base(m, path, base, expected):
    number = m.parse_extracted_frame_numbers([path])[0]
    assert m.build_frame_records([path], relative_to=base) == [(number, expected)]


@pytest.mark.parametrize("path, base", [
    ("/d/sub/frame_5.jpg", "/e"),
    ("/data/frames/frame_5.jpg", "/data/fr"),
    ("/d/frame_5.jpg", "d"),        # absolute path, relative base
    ("d/frame_5.jpg", "/d"),        # relative path, absolute base
    ("/d/frame_5.jpg", "/d/.."),    # ".." is compared, not resolved
])
def test_paths_outside_the_base(m, path, base):
    with pytest.raises(ValueError) as info:
        m.build_frame_records([path], relative_to=base)
    assert info.value.args == (f"path is not relative to base directory: {path}",)


def test_relative_to_none_means_absent(m):
    assert m.build_frame_records(["/d/frame_2.jpg"], relative_to=None) == [(2, "frame_2.jpg")]


def test_zero_based_shift(m):
    assert m.build_frame_records(["/d/frame_1.jpg", "/d/x_10.png"], zero_based=True) == [
        (0, "frame_1.jpg"), (9, "x_10.png")]
    assert m.build_frame_records(["/d/frame_0.jpg"], zero_based=False) == [(0, "frame_0.jpg")]
    with pytest.raises(ValueError) as info:
        m.build_frame_records(["/d/frame_1.jpg", "/d/frame_0.jpg"], zero_based=True)
    assert info.value.args == (
        "frame number cannot be shifted to zero-based index: /d/frame_0.jpg",)


def test_checks_run_number_then_shift_then_base(m):
    with pytest.raises(ValueError, match="^invalid frame number in path: /e/frame_x.jpg$"):
        m.build_frame_records(["/e/frame_x.jpg"], relative_to="/d", zero_based=True)
    with pytest.raises(ValueError, match="^frame number cannot be shifted"):
        m.build_frame_records(["/e/frame_0.jpg"], relative_to="/d", zero_based=True)


def test_expected_records(m):
    assert m.build_expected_frame_records(0) == []
    assert m.build_expected_frame_records(3) == [
        (0, "frame_0000000.jpg"), (1, "frame_0000001.jpg"), (2, "frame_0000002.jpg")]
    assert m.build_expected_frame_records(2, "png") == [
        (0, "frame_0000000.png"), (1, "frame_0000001.png")]
    assert m.build_expected_frame_records(frame_count=1, ext=" .tar/gz ") == [
        (0, "frame_0000000. .tar/gz ")]
    records = m.build_expected_frame_records(100_000)
    assert records[-1] == (99_999, "frame_0099999.jpg")
    assert all(type(r) is tuple and type(r[0]) is int and type(r[1]) is str for r in records)


def test_expected_names_read_back_to_their_indices(m):
    records = m.build_expected_frame_records(20_000, "webp")
    names = [name for _, name in records]
    assert m.parse_extracted_frame_numbers(names) == list(range(20_000))
    assert m.build_frame_records(names) == records
    assert m.build_frame_records(["frame_9999999.jpg", "frame_10000000.jpg",
                                  "frame_12345678.jpg"]) == [
        (9_999_999, "frame_9999999.jpg"), (10_000_000, "frame_10000000.jpg"),
        (12_345_678, "frame_12345678.jpg")]


@pytest.mark.parametrize("ext", ["", " ", "\t\n\r ", "\u00a0", "\u3000", "\u2028", "\x85"])
@pytest.mark.parametrize("count", [0, 5, 2**59])
def test_blank_extension_fails_before_anything_else(m, ext, count):
    with pytest.raises(ValueError) as info:
        m.build_expected_frame_records(count, ext)
    assert info.value.args == ("ext must not be empty",)


def test_count_bound_and_memory(m):
    with pytest.raises(BaseException) as info:
        m.build_expected_frame_records(2**59)
    assert type(info.value).__name__ == "PanicException"
    assert "576460752303423487" in info.value.args[0]
    # Past the bound but impossible to hold: an orderly MemoryError.
    for count in (2**59 - 1, 2**45, 10**12):
        with pytest.raises(MemoryError):
            m.build_expected_frame_records(count)
    assert m.build_expected_frame_records(1) == [(0, "frame_0000000.jpg")]


@pytest.mark.parametrize("call, error, message", [
    (lambda m: m.build_frame_records(["a_1.jpg"], None), TypeError,
     "build_frame_records() takes 1 positional arguments but 2 were given"),
    (lambda m: m.parse_extracted_frame_numbers("abc"), TypeError,
     "argument 'paths': Can't extract `str` to `Vec`"),
    (lambda m: m.build_frame_records("abc"), TypeError,
     "argument 'paths': Can't extract `str` to `Vec`"),
    (lambda m: m.parse_extracted_frame_numbers(5), TypeError,
     "argument 'paths': 'int' object cannot be converted to 'Sequence'"),
    (lambda m: m.parse_extracted_frame_numbers(["a_1", b"a_2"]), TypeError,
     "argument 'paths': 'bytes' object cannot be converted to 'PyString'"),
    (lambda m: m.build_frame_records(["a_1"], zero_based=None), TypeError,
     "argument 'zero_based': 'NoneType' object cannot be converted to 'PyBool'"),
    (lambda m: m.build_frame_records(["a_1"], zero_based=1), TypeError,
     "argument 'zero_based': 'int' object cannot be converted to 'PyBool'"),
    (lambda m: m.build_frame_records(["a_1"], relative_to=b"/d"), TypeError,
     "argument 'relative_to': 'bytes' object cannot be converted to 'PyString'"),
    (lambda m: m.build_frame_records(["a_1"], base="/d"), TypeError,
     "build_frame_records() got an unexpected keyword argument 'base'"),
    (lambda m: m.build_frame_records(zero_based=True), TypeError,
     "build_frame_records() missing 1 required positional argument: 'paths'"),
    (lambda m: m.build_expected_frame_records(3, None), TypeError,
     "argument 'ext': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda m: m.build_expected_frame_records(-1), OverflowError,
     "can't convert negative int to unsigned"),
    (lambda m: m.build_expected_frame_records(2**64), OverflowError,
     "int too big to convert"),
    (lambda m: m.parse_extracted_frame_numbers(["frame_\ud800.jpg"]), UnicodeEncodeError, None),
])
def test_binding_edge_cases(m, call, error, message):
    raises_exactly(error, message, call, m)


def test_non_type_errors_of_elements_pass_through(m):
    class Paths:
        def __len__(self):
            return 2

        def __getitem__(self, index):
            if index == 0:
                return "frame_1.jpg"
            raise KeyError("element")

    with pytest.raises(KeyError):
        m.parse_extracted_frame_numbers(Paths())


@pytest.mark.parametrize("reported", [0, 1, 2**40, 2**63 - 1])
def test_reported_length_is_only_a_hint(m, reported):
    class Paths:
        def __len__(self):
            return reported

        def __getitem__(self, index):
            if index < 2:
                return f"frame_{index + 4}.jpg"
            raise IndexError(index)

    assert m.parse_extracted_frame_numbers(Paths()) == [4, 5]
    assert m.build_frame_records(Paths(), zero_based=True) == [
        (3, "frame_4.jpg"), (4, "frame_5.jpg")]
