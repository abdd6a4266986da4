from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

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
def plan(n_vars: int, n_samples: int, /, *, threads: int = 0) -> dict[str, Any]: ...
