"""The command line's table reader: layout, line numbers, limits."""

from __future__ import annotations

import io

import numpy as np
import pytest

import varkel._csv as csv_reader
from varkel import _engine
from varkel._csv import UsageError, read_table


def read(tmp_path, content: bytes | str, **options):
    path = tmp_path / "t.csv"
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return read_table(str(path), **options)


@pytest.mark.parametrize(
    ("content", "options", "names", "values"),
    [
        ("a,b\n1,2\n3,4", {}, ["a", "b"], [[1, 2], [3, 4]]),          # no final newline
        ("a,b\r1,2\r3,4\r", {}, ["a", "b"], [[1, 2], [3, 4]]),        # CR line ends
        ("\n\na;b\n\n1;2\n\n3;4\n", {}, ["a", "b"], [[1, 2], [3, 4]]),
        ('"p,q";r\n1;2\n3;4\n', {}, ["p,q", "r"], [[1, 2], [3, 4]]),  # comma in the header only
        ("1,2\n3,4\n", {"header": True}, ["1", "2"], [[3, 4]]),
        ("1,2,3\n4,5,6\n", {}, ["x0", "x1", "x2"], [[1, 2, 3], [4, 5, 6]]),  # all numbers: data
        ("x,1,y\n4,5,6\n", {}, ["x", "1", "y"], [[4, 5, 6]]),  # any non-number: a header
        ("a,b\n1,2\n", {"header": False}, None, None),
        (",a,b\n0,1,2\n1,3,4\n", {"index_col": "0"}, ["a", "b"], [[1, 2], [3, 4]]),
        ("id,a,b\nr1,1,2\nr2,3,4\n", {"index_col": "id"}, ["a", "b"], [[1, 2], [3, 4]]),
        ("a\n0.1\n0.30000000000000004\n", {}, ["a"], [[0.1], [0.30000000000000004]]),
        ('"a\nb",c\n1,2\n3,4\n', {}, ["a\nb", "c"], [[1, 2], [3, 4]]),  # a line break in a name
    ],
)
def test_tables_are_read(tmp_path, content, options, names, values):
    if options.get("header") is False:
        with pytest.raises(UsageError, match=r"row 1: 'a' is not a number"):
            read(tmp_path, content, **options)
        return
    got_names, got = read(tmp_path, content, **options)
    assert got_names == names
    assert np.array_equal(got, values)
    # On request, in the layout the search reads without copying it.
    _, in_columns = read(tmp_path, content, columns=True, **options)
    assert np.array_equal(in_columns, values) and _engine.reads_in_place(in_columns)


def test_numbers_are_read_as_the_nearest_double(tmp_path):
    values = np.random.default_rng(0).standard_normal((2000, 3)) * 10.0 ** np.arange(-3, 6, 3)
    text = "a,b,c\n" + "\n".join(",".join(repr(float(v)) for v in row) for row in values)
    assert np.array_equal(read(tmp_path, text)[1], values)


@pytest.mark.parametrize(
    ("content", "message"),
    [
        ("a,b\n1,2\n\n\n3,oops\n", r"t\.csv, row 5: 'oops' is not a number$"),
        ("a,b\n1,2\n\n3,4,5\n", r"row 4: 3 cells where the first row has 2$"),
        ("a,b\n1,2\nnan,3\n", r"row 3: 'nan' is not a finite number$"),
        ("a,b\n1,2\n3,\n", r"row 3: cell 2 is empty$"),
        ("a,b\n1_000,2\n", r"row 2: '1_000' is not a number$"),
        (",a,b\n0,1,2\n", r"column 1 has no name \(a table written by pandas starts with its "
                          r"unnamed index column: pass --index-col 0\)$"),
        ("a,,b\n0,1,2\n", r"column 2 has no name$"),
        (b"a,b\n1,2\x00\n", r"is not a text file \(it holds NUL bytes\)$"),
        ("\n \n", r"holds no rows$"),
        ("a,b\n1,2,3\n4,5,6\n", r"row 2: 3 cells where the header names 2 columns"),
        ("a;b;c\n1,2,3\n4,5,6\n7,8,9\n", r"row 2: 3 cells where the header names 1 column "),
        ("a,b\n1,2\n   \n3,4\n", r"row 3 holds only whitespace; remove it$"),
        ("x,1,y\n1,2\n", r"row 2: 2 cells where the header names 3"),  # a mixed row is a header
        ("a,b\n1,2\n".encode("utf-16"), r"is UTF-16 or UTF-32 text; save it as UTF-8$"),
        ("a,b\n1,2\n".encode("utf-16-le"), r"is UTF-16 or UTF-32 text; save it as UTF-8$"),
    ],
)
def test_faults_name_the_files_own_line(tmp_path, content, message):
    with pytest.raises(UsageError, match=message):
        read(tmp_path, content)


def test_an_endless_device_is_refused_at_once():
    with pytest.raises(UsageError, match="not a text file"):
        read_table("/dev/zero")


def test_the_memory_a_table_needs_is_checked_before_reading(tmp_path, monkeypatch):
    monkeypatch.setattr(csv_reader, "memory_left", lambda: (10_000, "a test limit"))
    with pytest.raises(UsageError, match=r"needs about .* more than the 0 MiB left \(limited "
                                         r"by a test limit\)"):
        read(tmp_path, "a,b\n" + "1,2\n" * 2000)
    monkeypatch.setattr("sys.stdin", io.TextIOWrapper(io.BytesIO(b"a,b\n" + b"1,2\n" * 2000)))
    with pytest.raises(UsageError, match=r"^standard input holds more than 0 MiB, too much to"):
        read_table("-")


def test_running_out_of_memory_while_parsing_is_one_line(tmp_path, monkeypatch):
    import pyarrow.csv

    def exhausted(*_, **__):
        raise MemoryError

    monkeypatch.setattr(pyarrow.csv, "read_csv", exhausted)
    with pytest.raises(UsageError, match=r"^not enough memory to read .*t\.csv$"):
        read(tmp_path, "a,b\n1,2\n")
