"""Reading a numeric table for the command line: comma-, semicolon- or
tab-separated, UTF-8 with or without a byte-order mark, from a file or
standard input ("-")."""

from __future__ import annotations

import csv
import io
import sys

import numpy as np


class UsageError(Exception):
    """Bad input on the command line: reported in one line, exit status 2."""


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _read_text(path: str) -> str:
    try:
        if path == "-":
            return sys.stdin.buffer.read().decode("utf-8-sig")
        with open(path, "rb") as handle:
            return handle.read().decode("utf-8-sig")
    except OSError as error:
        raise UsageError(f"cannot read {path}: {error.strerror or error}") from None
    except UnicodeDecodeError:
        raise UsageError(f"{path} is not UTF-8 text") from None


def _delimiter(first_line: str) -> str:
    """Commas unless the first line has none and has semicolons or tabs."""
    if "," in first_line:
        return ","
    for candidate in (";", "\t"):
        if candidate in first_line:
            return candidate
    return ","


def read_table(path: str, header: bool | None) -> tuple[list[str], np.ndarray]:
    """Names and values of a numeric table. header=None: the first row is a
    header when any of its cells is not a number."""
    label = "standard input" if path == "-" else path
    text = _read_text(path)
    lines = text.splitlines()
    first = next((line for line in lines if line.strip()), "")
    delimiter = _delimiter(first)
    try:
        rows = [row for row in csv.reader(io.StringIO(text), delimiter=delimiter)
                if row and any(cell.strip() for cell in row)]
    except csv.Error as error:
        raise UsageError(f"{label} is not a readable table: {error}") from None
    if not rows:
        raise UsageError(f"{label} holds no rows")
    if header is None:
        header = not all(_is_number(cell) for cell in rows[0])
    width = len(rows[0])
    names = [cell.strip() for cell in rows[0]] if header else [f"x{j}" for j in range(width)]
    _refuse_duplicates(names, label)
    body = rows[1:] if header else rows
    values = []
    for line, row in enumerate(body, start=2 if header else 1):
        if len(row) != width:
            raise UsageError(f"{label}, row {line}: {len(row)} cells where the first row has "
                             f"{width}")
        bad = next((cell for cell in row if not _is_number(cell)), None)
        if bad is not None:
            hint = " (decimal commas are not supported)" if "," in bad and delimiter != "," \
                else ""
            raise UsageError(f"{label}, row {line}: {bad.strip()!r} is not a number{hint}")
        values.append([float(cell) for cell in row])
    if not values:
        raise UsageError(f"{label} has a header but no data rows")
    return names, np.array(values)


def _refuse_duplicates(names: list[str], label: str) -> None:
    seen: dict[str, int] = {}
    for j, name in enumerate(names):
        if name in seen:
            raise UsageError(f"{label}: column name {name!r} appears twice (columns "
                             f"{seen[name] + 1} and {j + 1})")
        seen[name] = j
