"""Level checkpoints: each finished level written durably, so that an
interrupted or killed search resumes after its last complete level.

A checkpoint is a directory. For every complete level k it holds
sinks-KK.bin (the level's sinks in rank order, one byte each), and for the
last complete level also totals-KK.bin (its float32 totals, which the next
level reads; earlier totals are deleted once no longer needed). A file is a
header (format, kind, level, n_vars, count and the search's fingerprint), the
payload, and the SHA-256 of both. Files are written to a fresh temporary
file (created exclusively, never through a link), synced and renamed into
place, and then the directory is synced, so a crash leaves either the old
state or the new one. A write that fails removes its temporary file; a
process killed in the middle of a write may leave one behind, named
.sinks-KK.bin.XXXXXXXX.tmp, which is safe to delete.

varkel touches only these files, by their exact names, and varkel.lock: a
run holds an exclusive lock on it (flock) for as long as it uses the
directory, so that two runs never share one. Links and other non-regular
files under these names are refused, never followed.

The fingerprint covers the data the engine searches (after centring and
scaling), the reference vector, the order constraints, varkel's version and
the arithmetic of this processor's kernels. A file written for other inputs,
or one whose size or checksum is wrong, is refused with a message naming it,
never used.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import hashlib
import os
import re
import stat
import struct
import tempfile
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
LOCK_NAME = "varkel.lock"
DIGEST_BYTES = 32


class CheckpointError(InputError):
    """A checkpoint that cannot be used; the message names the file and why."""


HASHED_ROWS = 1 << 16


def fingerprint(searched: np.ndarray | list[np.ndarray], reference: np.ndarray | list[np.ndarray],
                successors: Sequence[int] | None) -> bytes:
    """What a checkpoint was made from: the data (one matrix, or every
    group's in order), the references, the constraints and the arithmetic."""
    digest = hashlib.sha256()
    digest.update(f"varkel {VERSION} checkpoint {FORMAT} arithmetic "
                  f"{_engine.plan(0, 0)['arithmetic']}".encode())
    grouped = isinstance(searched, list)
    matrices = searched if isinstance(searched, list) else [searched]
    references = reference if isinstance(reference, list) else [reference]
    if grouped:
        digest.update(f"groups {len(matrices)}".encode())
    for matrix, vector in zip(matrices, references, strict=True):
        digest.update(repr(matrix.shape).encode())
        # The bytes of the C-ordered matrix, a block of rows at a time: the
        # same digest in any layout, without a copy of the whole table.
        for first in range(0, matrix.shape[0], HASHED_ROWS):
            digest.update(np.ascontiguousarray(matrix[first:first + HASHED_ROWS],
                                               dtype=np.float64))
        digest.update(np.ascontiguousarray(vector, dtype=np.float64))
    digest.update(repr(None if successors is None else list(successors)).encode())
    return digest.digest()


def _fsync_directory(directory: Path) -> None:
    handle = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(handle)
    finally:
        os.close(handle)


def _refuse_non_regular(path: Path, mode: int, links: int = 1) -> None:
    """Refuses anything but a regular file with one name: through a symbolic
    or a hard link, a write would change a file outside the checkpoint."""
    hard_link = stat.S_ISREG(mode) and links > 1
    if not stat.S_ISREG(mode) or hard_link:
        what = "a link" if stat.S_ISLNK(mode) or hard_link else "not a regular file"
        raise CheckpointError(f"checkpoint file {path} is {what}; varkel reads and writes only "
                              "regular files there: remove it or use another directory")


def _mode_and_links(path: Path) -> tuple[int, int]:
    status = path.lstat()
    return status.st_mode, status.st_nlink


def _open_regular(path: Path, flags: int) -> int:
    """A descriptor of the regular file at `path`, never through a link and
    never waiting on a FIFO."""
    try:
        handle = os.open(path, flags | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, 0o644)
    except OSError as error:
        if error.errno == errno.ELOOP:
            _refuse_non_regular(path, stat.S_IFLNK)
        if error.errno == errno.EISDIR:
            _refuse_non_regular(path, stat.S_IFDIR)
        raise
    try:
        status = os.fstat(handle)
        _refuse_non_regular(path, status.st_mode, status.st_nlink)
        os.set_blocking(handle, True)
    except BaseException:
        os.close(handle)
        raise
    return handle


def _read_regular(path: Path, size: int = -1) -> bytes:
    """The first `size` bytes (all by default) of the regular file at path."""
    try:
        with os.fdopen(_open_regular(path, os.O_RDONLY), "rb") as handle:
            return handle.read(size)
    except OSError as error:
        raise CheckpointError(f"cannot read checkpoint file {path}: "
                              f"{error.strerror or error}") from None


read_regular = _read_regular


def _replace(path: Path, parts: Sequence[bytes | memoryview]) -> None:
    """Replaces the file at `path` with `parts` one after another: written
    to a fresh temporary file, synced and renamed into place. mkstemp
    creates the file with O_CREAT | O_EXCL | O_NOFOLLOW under a fresh random
    name: nothing already there is ever written through."""
    with contextlib.suppress(FileNotFoundError):
        _refuse_non_regular(path, *_mode_and_links(path))
    handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp",
                                         dir=path.parent)
    try:
        with os.fdopen(handle, "wb") as stream:
            for part in parts:
                stream.write(part)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def write_regular(path: Path, content: bytes) -> None:
    """Replaces the file at `path` with `content` durably (the directory is
    synced too)."""
    try:
        _replace(path, [content])
        _fsync_directory(path.parent)
    except OSError as error:
        raise CheckpointError(f"cannot write checkpoint file {path}: "
                              f"{error.strerror or error}") from None


def _lock(directory: Path) -> int:
    """Holds varkel.lock in `directory` exclusively; returns its descriptor.
    The lock goes with the process, also when it is killed."""
    path = directory / LOCK_NAME
    try:
        handle = _open_regular(path, os.O_RDWR | os.O_CREAT)
    except OSError as error:
        raise CheckpointError(f"cannot lock checkpoint {directory}: "
                              f"{error.strerror or error}") from None
    try:
        fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        holder = os.pread(handle, 32, 0).decode("ascii", "replace").strip() or "unknown"
        os.close(handle)
        raise CheckpointError(f"checkpoint {directory} is in use by another varkel run "
                              f"(process {holder}); wait for it to end or use another "
                              "directory") from None
    os.ftruncate(handle, 0)
    os.pwrite(handle, f"{os.getpid()}\n".encode(), 0)
    return handle


class Checkpoint:
    """The checkpoint directory of one search, locked until close()."""

    def __init__(self, path: str | os.PathLike[str], fingerprint: bytes, n_vars: int) -> None:
        if not os.fspath(path):
            raise CheckpointError("the checkpoint path is empty; name a directory")
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
        self._lock: int | None = _lock(self.directory)

    def close(self) -> None:
        """Releases the directory for other runs."""
        if self._lock is not None:
            os.close(self._lock)
            self._lock = None

    def __enter__(self) -> Checkpoint:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    def _path(self, kind: str, level: int) -> Path:
        return self.directory / f"{kind}-{level:02d}.bin"

    def _listed(self) -> dict[tuple[str, int], Path]:
        """The checkpoint's files by (kind, level); anything under one of their
        names that is not a regular file is refused."""
        files = {}
        for entry in self.directory.iterdir():
            match = FILE_NAME.match(entry.name)
            if match:
                _refuse_non_regular(entry, *_mode_and_links(entry))
                files[match.group(1), int(match.group(2))] = entry
        return files

    def _read(self, path: Path, kind: str, level: int, count: int) -> np.ndarray:
        code, dtype = KINDS[kind]
        content = _read_regular(path)
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
            self._check_header(path, _read_regular(path, HEADER.size))
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
        _replace(self._path(kind, level),
                 [header, memoryview(payload).cast("B"), digest.digest()])

    def save_level(self, level: int, totals: np.ndarray, sinks: np.ndarray) -> None:
        """Writes level `level` durably; the previous level's totals go."""
        try:
            self._write("totals", level, totals)
            self._write("sinks", level, sinks)
            _fsync_directory(self.directory)
            if level > 1:
                previous = self._path("totals", level - 1)
                with contextlib.suppress(FileNotFoundError):
                    _refuse_non_regular(previous, *_mode_and_links(previous))
                    previous.unlink()
        except OSError as error:
            raise CheckpointError(f"cannot write checkpoint {self.directory}: "
                                  f"{error.strerror or error}") from None
