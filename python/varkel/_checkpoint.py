"""Level checkpoints: each finished level written durably, so that an
interrupted or killed search resumes after its last complete level.

A checkpoint is a directory. For every complete level k it holds
sinks-KK.bin (the level's sinks in rank order, one byte each), and for the
last complete level also totals-KK.bin (its float32 totals, which the next
level reads; earlier totals are deleted once no longer needed). A file is a
header (format, kind, level, n_vars, count and the search's fingerprint), the
payload, and the SHA-256 of both. Files are written to a temporary name,
synced and renamed into place, and then the directory is synced, so a crash
leaves either the old state or the new one.

The fingerprint covers the data the engine searches (after centring and
scaling), the reference vector, the order constraints, varkel's version and
the arithmetic of this processor's kernels. A file written for other inputs,
or one whose size or checksum is wrong, is refused with a message naming it,
never used.
"""

from __future__ import annotations

import hashlib
import os
import re
import struct
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from varkel import _engine
from varkel._errors import InputError
from varkel._version import VERSION

MAGIC = b"VARKELCK"
FORMAT = 1
HEADER = struct.Struct("<8sIIIIQ32s")  # magic, format, kind, level, n_vars, count, fingerprint
KINDS = {"sinks": (1, np.int8), "totals": (2, np.float32)}
FILE_NAME = re.compile(r"^(sinks|totals)-(\d{2})\.bin$")
DIGEST_BYTES = 32


class CheckpointError(InputError):
    """A checkpoint that cannot be used; the message names the file and why."""


def fingerprint(searched: np.ndarray, reference: np.ndarray,
                successors: Sequence[int] | None) -> bytes:
    digest = hashlib.sha256()
    digest.update(f"varkel {VERSION} checkpoint {FORMAT} arithmetic "
                  f"{_engine.plan(0, 0)['arithmetic']}".encode())
    digest.update(repr(searched.shape).encode())
    digest.update(np.ascontiguousarray(searched, dtype=np.float64).tobytes())
    digest.update(np.ascontiguousarray(reference, dtype=np.float64).tobytes())
    digest.update(repr(None if successors is None else list(successors)).encode())
    return digest.digest()


def _fsync_directory(directory: Path) -> None:
    handle = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(handle)
    finally:
        os.close(handle)


class Checkpoint:
    """The checkpoint directory of one search."""

    def __init__(self, path: str | os.PathLike[str], fingerprint: bytes, n_vars: int) -> None:
        self.directory = Path(path)
        self.fingerprint = fingerprint
        self.n_vars = n_vars
        if self.directory.exists() and not self.directory.is_dir():
            raise CheckpointError(f"checkpoint {self.directory} exists and is not a directory")
        try:
            self.directory.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise CheckpointError(f"cannot create checkpoint {self.directory}: "
                                  f"{error.strerror or error}") from None

    def _path(self, kind: str, level: int) -> Path:
        return self.directory / f"{kind}-{level:02d}.bin"

    def _listed(self) -> dict[tuple[str, int], Path]:
        """The checkpoint's files by (kind, level); stray temporary files of an
        interrupted write are removed."""
        files = {}
        for entry in self.directory.iterdir():
            if entry.name.endswith(".tmp"):
                entry.unlink(missing_ok=True)
                continue
            match = FILE_NAME.match(entry.name)
            if match:
                files[match.group(1), int(match.group(2))] = entry
        return files

    def _read(self, path: Path, kind: str, level: int, count: int) -> np.ndarray:
        code, dtype = KINDS[kind]
        try:
            content = path.read_bytes()
        except OSError as error:
            raise CheckpointError(f"cannot read checkpoint file {path}: "
                                  f"{error.strerror or error}") from None
        _, _, file_kind, file_level, _, file_count, _ = self._check_header(path, content)
        expected = HEADER.size + count * np.dtype(dtype).itemsize + DIGEST_BYTES
        if (file_kind, file_level, file_count) != (code, level, count) or len(content) != expected:
            raise CheckpointError(f"checkpoint file {path} is truncated or damaged "
                                  f"({len(content)} bytes, {expected} expected)")
        if hashlib.sha256(content[:-DIGEST_BYTES]).digest() != content[-DIGEST_BYTES:]:
            raise CheckpointError(f"checkpoint file {path} is corrupt (checksum mismatch)")
        return np.frombuffer(content, dtype=dtype, count=count, offset=HEADER.size)

    def last_complete_level(self) -> int:
        """The highest level k with the sinks of levels 1..k and the totals of
        level k present (their contents are checked when loaded)."""
        files = self._listed()
        for _, level in files:
            if level > self.n_vars:
                raise CheckpointError(f"checkpoint {self.directory} holds level {level}; this "
                                      f"search has {self.n_vars} variables")
        last = 0
        while ("sinks", last + 1) in files:
            last += 1
        while last > 0 and ("totals", last) not in files:
            last -= 1
        # Every file must belong to this search, used or not.
        for path in files.values():
            with open(path, "rb") as handle:
                self._check_header(path, handle.read(HEADER.size))
        return last

    def _check_header(self, path: Path, head: bytes) -> tuple[Any, ...]:
        """The header's fields, once it is known to belong to this search."""
        if len(head) < HEADER.size:
            raise CheckpointError(f"checkpoint file {path} is truncated")
        fields = HEADER.unpack_from(head)
        magic, form, _, _, n_vars, _, file_print = fields
        if magic != MAGIC or form != FORMAT:
            raise CheckpointError(f"{path} is not a varkel checkpoint file of format {FORMAT}")
        if file_print != self.fingerprint or n_vars != self.n_vars:
            raise CheckpointError(
                f"checkpoint {self.directory} was written for other inputs (data, reference, "
                "prior knowledge, varkel version or processor arithmetic differ); use another "
                "path or delete it")
        return tuple(fields)

    def fill_level(self, search: Any, level: int, *, with_totals: bool) -> None:
        """Fills the search's next level (its sinks, and its totals when asked)
        from the files; the caller completes it."""
        count = search.level_size(level)
        search.level_sinks()[:] = self._read(self._path("sinks", level), "sinks", level, count)
        if with_totals:
            search.level_totals()[:] = self._read(self._path("totals", level), "totals", level,
                                                  count)

    def _write(self, kind: str, level: int, values: np.ndarray) -> None:
        code, dtype = KINDS[kind]
        payload = np.ascontiguousarray(values, dtype=dtype)
        header = HEADER.pack(MAGIC, FORMAT, code, level, self.n_vars, payload.size,
                             self.fingerprint)
        digest = hashlib.sha256(header)
        digest.update(memoryview(payload).cast("B"))
        final = self._path(kind, level)
        temporary = final.with_name(final.name + ".tmp")
        with open(temporary, "wb") as handle:
            handle.write(header)
            handle.write(memoryview(payload).cast("B"))
            handle.write(digest.digest())
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, final)

    def save_level(self, level: int, totals: np.ndarray, sinks: np.ndarray) -> None:
        """Writes level `level` durably; the previous level's totals go."""
        try:
            self._write("totals", level, totals)
            self._write("sinks", level, sinks)
            _fsync_directory(self.directory)
            if level > 1:
                self._path("totals", level - 1).unlink(missing_ok=True)
        except OSError as error:
            raise CheckpointError(f"cannot write checkpoint {self.directory}: "
                                  f"{error.strerror or error}") from None
