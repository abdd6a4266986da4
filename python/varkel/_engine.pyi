from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

def order_margins(
    X: npt.ArrayLike,
    C: npt.ArrayLike | None,
    R: npt.ArrayLike,
    order: Sequence[int] | None,
    /,
    *,
    threads: int = 0,
    successors: Sequence[int] | None = None,
    progress: Callable[[int, int], Any] | None = None,
    progress_interval: float = 0.5,
    sort: str = "auto",
    slice_seconds: float = 0.05,
) -> dict[str, Any]: ...
def search(
    X: npt.ArrayLike,
    C: npt.ArrayLike | None,
    R: npt.ArrayLike,
    /,
    *,
    threads: int = 0,
    successors: Sequence[int] | None = None,
    progress: Callable[[int, int], Any] | None = None,
    progress_interval: float = 0.5,
    wait: str = "block",
    sort: str = "auto",
    slice_seconds: float = 0.05,
    prune: bool | None = None,
    candidate_buffers: int = 0,
) -> tuple[np.ndarray[Any, np.dtype[np.int8]], float]: ...
def score(
    X: npt.ArrayLike,
    C: npt.ArrayLike | None,
    R: npt.ArrayLike,
    target: int,
    parents: int,
    /,
    *,
    sort: str = "auto",
) -> float: ...
def gram(X: npt.ArrayLike, /) -> np.ndarray[Any, np.dtype[np.float64]]: ...
COLUMN_ALIGNMENT: int

def reads_in_place(X: npt.ArrayLike, /) -> bool: ...
def plan(n_vars: int, n_samples: int | Sequence[int], /, *, threads: int = 0) -> dict[str, Any]: ...

class Search:
    def __init__(
        self,
        X: npt.ArrayLike,
        C: npt.ArrayLike | None,
        R: npt.ArrayLike,
        /,
        *,
        threads: int = 0,
        successors: Sequence[int] | None = None,
        wait: str = "block",
        sort: str = "auto",
        slice_seconds: float = 0.05,
        prune: bool | None = None,
    ) -> None: ...
    @property
    def n_vars(self) -> int: ...
    @property
    def threads(self) -> int: ...
    @property
    def completed_level(self) -> int: ...
    @property
    def scores(self) -> int: ...
    @property
    def skipped(self) -> int: ...
    @property
    def sinks(self) -> np.ndarray[Any, np.dtype[np.int8]]: ...
    @property
    def total(self) -> float: ...
    def level_size(self, k: int) -> int: ...
    def scores_before(self, k: int) -> int: ...
    def relax_level(
        self,
        k: int,
        first: int = 0,
        last: int | None = None,
        *,
        progress: Callable[[int, int], Any] | None = None,
        progress_interval: float = 0.5,
    ) -> None: ...
    def level_totals(self) -> np.ndarray[Any, np.dtype[np.float32]]: ...
    def level_sinks(self) -> np.ndarray[Any, np.dtype[np.int8]]: ...
    def complete_level(self, k: int) -> None: ...
    def run(
        self, *, progress: Callable[[int, int], Any] | None = None, progress_interval: float = 0.5
    ) -> tuple[np.ndarray[Any, np.dtype[np.int8]], float]: ...
