"""Where a search of one block stands, in a file of its checkpoint's
directory, so that a killed run resumes where it was instead of starting
over. The file names the inputs it was written for (a fingerprint) and is
replaced durably at each save."""

from __future__ import annotations

import json
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any, TypeVar

from varkel._checkpoint import CheckpointError, read_regular, write_regular

T = TypeVar("T")


class StateFile:
    """A JSON object in `directory` (None: nothing is kept)."""

    def __init__(self, directory: str | None, name: str, fingerprint: str) -> None:
        self.path = None if directory is None else Path(directory) / name
        self.fingerprint = fingerprint

    def load(self) -> dict[str, Any] | None:
        """The saved fields, or None when nothing was saved; refuses a file
        of other inputs or one that is damaged."""
        if self.path is None or not os.path.lexists(self.path):
            return None
        state = self.fields(lambda: json.loads(read_regular(self.path)))  # type: ignore[arg-type]
        if not isinstance(state, dict):
            raise CheckpointError(f"checkpoint file {self.path} is damaged")
        if state.get("fingerprint") != self.fingerprint:
            raise CheckpointError(f"checkpoint {self.path.parent} was written for other "
                                  "inputs; use another path or delete it")
        return state

    def fields(self, read: Callable[[], T]) -> T:
        """read(), with a missing or mistyped field reported as damage."""
        try:
            return read()
        except (ValueError, KeyError, TypeError):
            raise CheckpointError(f"checkpoint file {self.path} is damaged") from None

    def save(self, **fields: Any) -> None:
        if self.path is not None:
            write_regular(self.path, json.dumps({"fingerprint": self.fingerprint,
                                                 **fields}).encode())
