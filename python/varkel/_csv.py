"""Reading a numeric table for the command line: comma-, semicolon- or
tab-separated, UTF-8 with or without a byte-order mark, from a file or
standard input ("-").

pyarrow's CSV reader parses the values: fast, on several threads, and
correctly rounded (every number reads as the double nearest to its
decimal text, as Python's float() gives). Everything around it is ours: the
delimiter is sniffed from the first lines, the header is taken from the
first non-blank line (or not), and when the parser refuses the table or it
holds a missing or non-finite value, a second, slow pass over the text finds
the first offending cell and names it by the file's own line number. The
memory a table needs is checked before it is read, and input that is not a
regular file (a pipe, a device) is read only up to the memory left.
"""

from __future__ import annotations

import csv
import io
import os
import re
import stat
import sys
from collections.abc import Iterator
from typing import IO, Any

import numpy as np

from varkel._data import column_table
from varkel._errors import InputError
from varkel._memory import memory_left

DELIMITERS = (",", ";", "\t")
SNIFF_BYTES = 1 << 16
SNIFF_LINES = 50
CHUNK_BYTES = 1 << 20
# What reading takes per value at its peak: the parser's column buffers and
# the float64 matrix the search gets.
PEAK_BYTES_PER_VALUE = 24

LINE_END = re.compile(r"\r\n|\r|\n")
# A number as the parser reads it: no digit separators, no hexadecimal.
NUMBER = re.compile(r"\s*[+-]?(\d+\.?\d*([eE][+-]?\d+)?|\.\d+([eE][+-]?\d+)?|inf(inity)?|nan)\s*",
                    re.IGNORECASE)


class UsageError(InputError):
    """Bad input on the command line: reported in one line, exit status 2."""


def is_number(text: str) -> bool:
    return NUMBER.fullmatch(text) is not None


def _mib(count: float) -> str:
    return f"{count / 2**20:,.0f} MiB"


class Source:
    """The input: a regular file read by path, or the bytes of anything else
    (standard input, a pipe, a device), read up to the memory left."""

    def __init__(self, path: str) -> None:
        self.label = "standard input" if path == "-" else path
        self.path: str | None = None
        self.data: bytes | None = None
        try:
            if path == "-":
                if sys.stdin is None:
                    raise UsageError("standard input is closed")
                self.data = self._read_stream(sys.stdin.buffer)
            elif stat.S_ISREG(os.stat(path).st_mode):
                self.path = path
            elif stat.S_ISDIR(os.stat(path).st_mode):
                raise UsageError(f"cannot read {path}: it is a directory")
            else:
                with open(path, "rb") as stream:
                    self.data = self._read_stream(stream)
        except OSError as error:
            raise UsageError(f"cannot read {self.label}: {error.strerror or error}") from None
        self.head = self._head()
        if b"\0" in self.head:
            raise _not_text(self.label, self.head)

    def _read_stream(self, stream: IO[bytes]) -> bytes:
        available, limit = memory_left()
        cap = available // 4
        parts: list[bytes] = []
        size = 0
        while chunk := stream.read(CHUNK_BYTES):
            if b"\0" in chunk:
                raise _not_text(self.label, chunk if not parts else b"")
            size += len(chunk)
            if size > cap:
                raise UsageError(f"{self.label} holds more than {_mib(cap)}, too much to read "
                                 f"with the {_mib(available)} of memory left (limited by "
                                 f"{limit})")
            parts.append(chunk)
        return b"".join(parts)

    def _head(self) -> bytes:
        if self.data is not None:
            return self.data[:SNIFF_BYTES]
        assert self.path is not None
        with open(self.path, "rb") as stream:
            return stream.read(SNIFF_BYTES)

    def size(self) -> int:
        if self.data is not None:
            return len(self.data)
        assert self.path is not None
        return os.stat(self.path).st_size

    def binary(self) -> Any:
        """What the parser reads: the path, or the bytes in memory."""
        return self.path if self.path is not None else io.BytesIO(self.data or b"")

    def text(self) -> IO[str]:
        """The content as text, with its line ends kept for csv."""
        raw = open(self.path, "rb") if self.path is not None else io.BytesIO(self.data or b"")  # noqa: SIM115
        return io.TextIOWrapper(raw, encoding="utf-8-sig", newline="")


def _not_text(label: str, start: bytes) -> UsageError:
    """Why a file with NUL bytes cannot be read: UTF-16 or UTF-32 text (by
    its byte order mark, or ASCII with every other byte NUL), or binary."""
    even, odd = start[0::2], start[1::2]
    alternating = len(start) >= 4 and (
        (odd.count(0) == len(odd) and even.count(0) == 0)
        or (even.count(0) == len(even) and odd.count(0) == 0))
    if start.startswith((b"\xff\xfe", b"\xfe\xff")) or alternating:
        return UsageError(f"{label} is UTF-16 or UTF-32 text; save it as UTF-8")
    return UsageError(f"{label} is not a text file (it holds NUL bytes)")


def _decode_head(source: Source) -> tuple[int, list[str]]:
    """How many blank lines lead, and the first non-blank lines after them
    (without a line that may be cut short)."""
    head = source.head
    cut = len(head) == SNIFF_BYTES
    try:
        text = head.decode("utf-8-sig", errors="strict" if not cut else "ignore")
    except UnicodeDecodeError:
        raise UsageError(f"{source.label} is not UTF-8 text") from None
    lines = LINE_END.split(text)
    if cut and len(lines) > 1:
        lines = lines[:-1]
    blank = next((i for i, line in enumerate(lines) if line.strip()), len(lines))
    return blank, [line for line in lines if line.strip()][:SNIFF_LINES]


def sniff_delimiter(lines: list[str]) -> str:
    """The delimiter found the same number of times, and at least once, on
    every line; commas first. With no such delimiter, the one on the most
    lines; with none at all, commas."""
    if not lines:
        return ","
    for candidate in DELIMITERS:
        counts = {line.count(candidate) for line in lines}
        if len(counts) == 1 and 0 not in counts:
            return candidate
    best = max(DELIMITERS, key=lambda d: sum(d in line for line in lines))
    return best if any(best in line for line in lines) else ","


def _first_row(lines: list[str], delimiter: str) -> tuple[list[str], int]:
    """The first row's cells, and how many lines it spans: a quoted cell may
    hold a line break."""
    reader = csv.reader((line + "\n" for line in lines), delimiter=delimiter)
    try:
        return next(reader, []), max(reader.line_num, 1)
    except csv.Error:
        return next(csv.reader(lines[:1], delimiter=delimiter), []), 1


def _column_names(first: list[str], header: bool, index: int | None,
                  label: str) -> list[str]:
    """The columns' names; every column but the index must have its own."""
    if not header:
        return [f"x{j}" for j in range(len(first))]
    names = [cell.strip() for cell in first]
    for j, name in enumerate(names):
        if not name and j != index:
            hint = (" (a table written by pandas starts with its unnamed index column: "
                    "pass --index-col 0)" if j == 0 else "")
            raise UsageError(f"{label}: column {j + 1} has no name{hint}")
    seen: dict[str, int] = {}
    for j, name in enumerate(names):
        if name in seen:
            raise UsageError(f"{label}: column name {name!r} appears twice (columns "
                             f"{seen[name] + 1} and {j + 1})")
        seen[name] = j
    return names


def _index_position(index_col: str | None, names: list[str], width: int,
                    label: str) -> int | None:
    if index_col is None:
        return None
    if index_col and index_col in names:
        return names.index(index_col)
    if index_col.isdigit() and int(index_col) < width:
        return int(index_col)
    raise UsageError(f"{label}: --index-col {index_col!r} is neither a column name nor a "
                     f"position from 0 to {width - 1}")


def read_table(path: str, header: bool | None = None, index_col: str | None = None, *,
               finite: bool = True, columns: bool = False) -> tuple[list[str], np.ndarray]:
    """Names and values of a numeric table. header=None: the first non-blank
    row is a header when any of its cells is not a number. index_col: a
    column (by name or position from 0) to drop, such as a row index.
    finite=False lets missing and non-finite values through as NaN or inf.
    columns=True gives the values in the search's column layout
    (column_table), which causal_order(copy=False) searches without a copy;
    else C-ordered."""
    source = Source(path)
    label = source.label
    blank, lines = _decode_head(source)
    if not lines:
        raise UsageError(f"{label} holds no rows")
    delimiter = sniff_delimiter(lines)
    first, first_lines = _first_row(lines, delimiter)
    if header is None:
        header = not all(is_number(cell) for cell in first)
    index = _index_position(index_col, [cell.strip() for cell in first] if header else [],
                            len(first), label)
    names = _column_names(first, header, index, label)
    if header:
        _refuse_other_width(source, delimiter, blank + first_lines, len(names))
    kept = [j for j in range(len(names)) if j != index]
    if not kept:
        raise UsageError(f"{label} has no column left besides its index")
    # The reader's libraries are mapped before the memory left is read, so
    # that an address-space limit (ulimit -v) counts them.
    import pyarrow as pa  # noqa: PLC0415 - only the command line reads tables
    import pyarrow.csv  # noqa: PLC0415

    # Arrow allocates with the system's allocator. Its default (mimalloc)
    # reserves about a gibibyte of address space on its first allocation,
    # which under ulimit -v can leave nothing for the table (Arrow then
    # aborts the process), and it kept 18 MiB more at the command's peak.
    pa.set_memory_pool(pa.system_memory_pool())

    limited = _check_memory(source, lines, delimiter)
    values = _parse(source, delimiter, blank + first_lines * int(header), len(names), kept,
                    finite, threads=not limited, columns=columns)
    return [names[j] for j in kept], values


def _refuse_other_width(source: Source, delimiter: str, skip_rows: int, width: int) -> None:
    """Refuses a header whose cells are not as many as the first data
    row's: the reader would drop the extra columns, or invent missing ones."""
    for line, row in _rows(source, delimiter, skip_rows):
        if len(row) != width:
            raise UsageError(f"{source.label}, row {line}: {len(row)} cells where the header "
                             f"names {width} column{'s' * (width != 1)} (delimiter "
                             f"{delimiter!r})")
        return


def _check_memory(source: Source, lines: list[str], delimiter: str) -> bool:
    """Refuses a table whose values will not fit, estimated from its size
    and the values per byte of its first lines. Returns whether an
    address-space limit is what binds."""
    sample = sum(len(line) + 1 for line in lines)
    cells = sum(line.count(delimiter) + 1 for line in lines)
    size = source.size()
    needed = size * cells / max(sample, 1) * PEAK_BYTES_PER_VALUE
    available, limit = memory_left()
    if needed > available:
        raise UsageError(f"{source.label} ({_mib(size)}) needs about {_mib(needed)} of memory "
                         f"to read, more than the {_mib(available)} left (limited by {limit})")
    return "ulimit -v" in limit


def _column_into(out: np.ndarray, column: Any) -> None:
    """An Arrow column of doubles copied into `out` chunk by chunk: a
    chunk without missing cells is read straight from its buffer (neither a
    temporary copy of the column nor pyarrow's conversion, which imports
    pandas); missing cells become NaN."""
    row = 0
    for chunk in column.chunks:
        size = len(chunk)
        if chunk.null_count == 0:
            out[row:row + size] = np.frombuffer(chunk.buffers()[1], dtype=np.float64,
                                                count=size, offset=chunk.offset * 8)
        else:
            out[row:row + size] = chunk.to_numpy(zero_copy_only=False)
        row += size


def _parse(source: Source, delimiter: str, skip_rows: int, width: int,
           kept: list[int], finite: bool, *, threads: bool = True,
           columns: bool = False) -> np.ndarray:
    """The kept columns' values (see read_table for `columns`).
    threads=False reads on this thread alone: no thread stacks are reserved
    beyond what the memory check counted."""
    import pyarrow as pa  # noqa: PLC0415 - only the command line reads tables
    import pyarrow.csv as pa_csv  # noqa: PLC0415

    fields = [f"f{j}" for j in kept]
    try:
        table = pa_csv.read_csv(
            source.binary(),
            read_options=pa_csv.ReadOptions(autogenerate_column_names=True, skip_rows=skip_rows,
                                            use_threads=threads),
            parse_options=pa_csv.ParseOptions(delimiter=delimiter),
            convert_options=pa_csv.ConvertOptions(
                column_types=dict.fromkeys(fields, pa.float64()), include_columns=fields),
            memory_pool=pa.system_memory_pool())
        # Each column leaves Arrow's table once copied. In the column layout,
        # whose pages are taken only as each column is written, the two
        # copies then overlap by one column, not the whole table.
        shape = (table.num_rows, len(fields))
        values = column_table(*shape) if columns else np.zeros(shape)
        for j, name in enumerate(fields):
            _column_into(values[:, j], table.column(name))
            table = table.drop_columns([name])
            # The allocator keeps freed pages for reuse (each reading
            # thread's arena its own): give the column's back now.
            pa.system_memory_pool().release_unused()
        del table
    except MemoryError:
        raise UsageError(f"not enough memory to read {source.label}") from None
    except pa.ArrowInvalid as error:
        raise _first_fault(source, delimiter, skip_rows, width, kept) or UsageError(
            f"{source.label} is not a readable table: {error}") from None
    except OSError as error:
        raise UsageError(f"cannot read {source.label}: {error.strerror or error}") from None
    if values.shape[0] == 0:
        raise UsageError(f"{source.label} has a header but no data rows")
    if finite and not np.isfinite(values).all():
        raise _first_fault(source, delimiter, skip_rows, width, kept) or UsageError(
            f"{source.label} holds a value that is not a finite number")
    return values


def _rows(source: Source, delimiter: str, skip_rows: int) -> Iterator[tuple[int, list[str]]]:
    """(line number in the file, cells) of each non-empty row after the
    first `skip_rows` lines."""
    with source.text() as text:
        reader = csv.reader(text, delimiter=delimiter)
        try:
            for row in reader:
                if row and reader.line_num > skip_rows:
                    yield reader.line_num, row
        except UnicodeDecodeError:
            raise UsageError(f"{source.label} is not UTF-8 text") from None
        except csv.Error as error:
            raise UsageError(f"{source.label}, row {reader.line_num}: {error}") from None


def _first_fault(source: Source, delimiter: str, skip_rows: int, width: int,
                 kept: list[int]) -> UsageError | None:
    """The first row the parser could not take, as a message with the
    file's line number; None if the slow pass finds nothing wrong."""
    seen = False
    for line, row in _rows(source, delimiter, skip_rows):
        seen = True
        where = f"{source.label}, row {line}"
        if not "".join(row).strip():
            return UsageError(f"{where} holds only whitespace; remove it")
        if len(row) != width:
            return UsageError(f"{where}: {len(row)} cells where the first row has {width}")
        for j in kept:
            cell = row[j].strip()
            if not cell:
                return UsageError(f"{where}: cell {j + 1} is empty")
            if not is_number(cell):
                hint = (" (decimal commas are not supported)"
                        if "," in cell and delimiter != "," else "")
                return UsageError(f"{where}: {cell!r} is not a number{hint}")
            if not np.isfinite(float(cell)):
                return UsageError(f"{where}: {cell!r} is not a finite number")
    return None if seen else UsageError(f"{source.label} has a header but no data rows")
