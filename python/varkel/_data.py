"""The data a search accepts, and its preparation.

A data set is a numeric samples x variables matrix with a name per column
(a DataFrame's column names, else x0, x1, ...). It must be finite, have more
samples than variables, no constant column, no duplicated name, and no
collinear columns. Preparation always centres each column and by default
scales it to unit variance, without overflow or underflow at any finite scale.
"""

from __future__ import annotations

import operator
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from varkel import _engine
from varkel._errors import InputError

# The most variables one exact search takes; more are searched in blocks.
MAX_VARS = 30

# A search meets no regression whose relative pivot (the share of a
# standardised column's variance its parents leave unexplained) is below
# the smallest eigenvalue of the columns' correlation matrix. Below this
# tolerance the residuals are rounding noise, so such data are refused.
COLLINEARITY_TOLERANCE = 1e-10


@dataclass(frozen=True)
class Data:
    values: np.ndarray  # samples x variables, float64, as given
    names: list[str]
    from_frame: bool


def default_names(n_vars: int) -> list[str]:
    return [f"x{j}" for j in range(n_vars)]


def _frame_values(X: Any) -> tuple[np.ndarray, list[str]]:
    names = [str(c) for c in X.columns]
    if names and all(getattr(d, "kind", "") == "f" and d.itemsize == 8 for d in X.dtypes):
        # Doubles already: the frame's own values, without a copy per column.
        return np.ascontiguousarray(X.to_numpy(dtype=np.float64)), names
    columns = []
    for j, name in enumerate(names):
        if np.iscomplexobj(X.iloc[:, j]):
            raise InputError(f"column {name!r} holds complex numbers; the search needs real "
                             "values")
        # Dates, durations, categories and text (even text of numbers) are
        # not measurements to order: converting them would invent a scale.
        dtype = X.dtypes.iloc[j]
        if getattr(dtype, "kind", "O") not in "fiub":
            raise InputError(f"column {name!r} holds {dtype} values, not numbers; drop it or "
                             "convert it to numbers first")
        try:
            columns.append(np.asarray(X.iloc[:, j], dtype=np.float64))
        except (TypeError, ValueError):
            raise InputError(f"column {name!r} is not numeric") from None
    if not columns:
        raise InputError("X has no columns")
    return np.column_stack(columns), names


def check_same_columns(data: Data, fitted_names: list[str] | None) -> None:
    """Refuses a DataFrame whose columns are not the ones the model was
    fitted on, in the same order: its columns would be read as other
    variables."""
    if fitted_names is None or not data.from_frame or data.names == fitted_names:
        return
    raise InputError(f"X's columns {data.names} are not the ones the model was fitted on, "
                     f"{fitted_names}: give the same columns in the same order")


def _is_frame(X: object) -> bool:
    return hasattr(X, "columns") and hasattr(X, "iloc") and hasattr(X, "to_numpy")


def column_table(n_samples: int, n_vars: int) -> np.ndarray:
    """A zeroed n_samples x n_vars matrix laid out as the search's columns:
    each column contiguous, 64-byte aligned and padded with zeros to a
    multiple of 8 doubles. A search reads such a matrix in place, without
    the copy it makes of any other layout; with ``copy=False`` it is also
    standardised in place, so that a long table is held once.

    >>> X = varkel.column_table(1000, 3)
    >>> X[:] = varkel.simulate_lingam(3, 1000, seed=0)[0]
    >>> varkel.causal_order(X, copy=False).order
    [2, 0, 1]
    """
    try:
        n_samples, n_vars = operator.index(n_samples), operator.index(n_vars)
    except TypeError:
        raise InputError("column_table takes whole numbers of samples and variables, got "
                         f"{n_samples!r} and {n_vars!r}") from None
    if n_samples < 1 or n_vars < 1:
        raise InputError(f"column_table needs at least 1 sample and 1 variable, got "
                         f"{n_samples} x {n_vars}")
    # The engine's padding: a multiple of `align` doubles per column, and
    # columns starting on a multiple of as many doubles' bytes.
    align = _engine.COLUMN_ALIGNMENT
    stride = -(-n_samples // align) * align
    raw = np.zeros(n_vars * stride + align)
    start = (-raw.ctypes.data % (8 * align)) // 8
    block = raw[start:start + n_vars * stride].reshape(n_vars, stride)
    return block[:, :n_samples].T


def as_data(X: npt.ArrayLike, names: list[str] | None = None, *,
            keep_layout: bool = False) -> Data:
    """Reads X (array-like or DataFrame) and checks everything but
    collinearity. names: an array's column names (a DataFrame has its own).
    keep_layout=True keeps a float64 array as it is laid out (such as a
    column_table) instead of making it C-ordered."""
    if _is_frame(X):
        values, names = _frame_values(X)
        from_frame = True
    else:
        if isinstance(X, np.ma.MaskedArray) and np.ma.is_masked(X):
            raise InputError("X is a masked array with masked entries; fill or drop them "
                             "first (the search uses every value)")
        if np.iscomplexobj(X):
            raise InputError("X holds complex numbers; the search needs real values")
        try:
            values = np.asarray(X, dtype=np.float64)
        except (TypeError, ValueError) as error:
            raise InputError(f"X must be a numeric matrix: {error}") from None
        if values.ndim != 2:
            raise InputError("X must be two-dimensional (samples x variables), got "
                             f"{values.ndim} dimensions")
        from_frame = names is not None
        names = default_names(values.shape[1]) if names is None else list(names)
        if len(names) != values.shape[1]:
            raise InputError(f"{len(names)} names for {values.shape[1]} columns")
    n_samples, n_vars = values.shape
    if n_vars == 0:
        raise InputError("X has no columns")
    if n_samples <= n_vars:
        raise InputError(f"X has {_count(n_samples, 'sample')} for "
                         f"{_count(n_vars, 'variable')}; it needs at least {n_vars + 1} samples")
    _refuse_duplicate_names(names)
    _refuse_non_finite(values, names)
    refuse_constant(values, names)
    return Data(values if keep_layout else np.ascontiguousarray(values), names, from_frame)


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}{'' if number == 1 else 's'}"


def _refuse_duplicate_names(names: list[str]) -> None:
    seen: dict[str, int] = {}
    for j, name in enumerate(names):
        if name in seen:
            raise InputError(f"column name {name!r} appears twice (columns {seen[name]} and {j})")
        seen[name] = j


def _refuse_non_finite(values: np.ndarray, names: list[str]) -> None:
    bad = ~np.isfinite(values)
    if bad.any():
        row, col = (int(i) for i in np.argwhere(bad)[0])
        raise InputError(f"X[{row}, {col}] ({names[col]}) is {values[row, col]}: values must "
                         "be finite")


def refuse_constant(values: np.ndarray, names: list[str]) -> None:
    constant = [int(j) for j in np.flatnonzero(np.all(values == values[0], axis=0))]
    if constant:
        listed = ", ".join(repr(names[j]) for j in constant)
        raise InputError(f"column {names[constant[0]]!r} is constant; it cannot be ordered"
                         + (f" (constant columns: {listed})" if len(constant) > 1 else ""))


def scale_exponents(values: np.ndarray) -> np.ndarray:
    """Per column, e with its largest magnitude in [2^(e-1), 2^e)."""
    # max |x| as max(max x, -min x): the same exact value, without a
    # temporary table of magnitudes.
    _, exponents = np.frexp(np.maximum(np.max(values, axis=0), -np.min(values, axis=0)))
    return np.asarray(exponents)


def scale_exactly(values: np.ndarray, *, overwrite: bool = False) -> np.ndarray:
    """Each column times 2^-e (e from scale_exponents), which brings its
    largest magnitude into [0.5, 1) exactly; in two steps, so that the
    factor stays finite for the tiniest (subnormal) columns too.
    overwrite=True scales a writeable `values` in place."""
    exponents = scale_exponents(values)
    half = -exponents // 2
    with np.errstate(all="ignore"):
        if overwrite and values.flags.writeable:
            scaled = values
            scaled *= np.ldexp(1.0, half)
        else:
            scaled = np.ascontiguousarray(values * np.ldexp(1.0, half))
        scaled *= np.ldexp(1.0, -exponents - half)
        return scaled


def prepare(values: np.ndarray, *, scale: bool, overwrite: bool = False) -> np.ndarray:
    """Centres every column, and with scale=True divides it by its standard
    deviation. Columns are first brought to magnitude below 1 by an exact
    power of two, so no step overflows or underflows. Without scaling the
    result is in the caller's units; it is refused when its Gram matrix
    would overflow or underflow. overwrite=True (with scale=True) may
    standardise `values` itself, for a caller that owns the table."""
    with np.errstate(all="ignore"):
        # In place where the arithmetic allows: each step gives the bits of
        # its out-of-place form, without a copy of the table per step.
        centred = scale_exactly(values, overwrite=overwrite and scale)
        centred -= column_means(centred)
        if scale:
            sd = np.sqrt(column_means(centred, squared=True))
            centred /= sd
            return centred
        # Back to the caller's units; for subnormal columns 2^-e overflows
        # to inf and the result underflows to 0, refused below.
        result = np.ascontiguousarray(centred / np.ldexp(1.0, -scale_exponents(values)))
    gram = _engine.gram(result) if np.all(np.isfinite(result)) else None
    if gram is None or not np.all(np.isfinite(gram)):
        raise InputError("X's values are too large to search without scaling (their squares "
                         "overflow); use standardize=True")
    if np.min(np.diag(gram)) < 1e-290:
        raise InputError("X's values are too small to search without scaling (their squares "
                         "underflow); use standardize=True")
    return result


def column_means(values: np.ndarray, *, squared: bool = False) -> np.ndarray:
    """The columns' means (of squares with squared=True), with the bits
    NumPy's mean gives the C-ordered table, in any layout: rows added one
    after another (a single column pairwise, as NumPy sums one run), then
    divided by the number of rows. No temporary the size of a column
    unless the table is C-ordered."""
    count = values.shape[0]
    if values.flags.c_contiguous or values.shape[1] == 1:
        return np.asarray(np.mean(values * values if squared else values, axis=0))
    sums = np.array([_sum_in_order(values[:, j], squared) for j in range(values.shape[1])])
    return np.asarray(sums / count)


# Rows a running sum takes at a time: its temporaries stay this small.
SUMMED_ROWS = 1 << 16


def _sum_in_order(column: np.ndarray, squared: bool) -> float:
    """x[0] + x[1] + ... added left to right (of squares with squared=True):
    a running sum's last entry, continued from one block of rows to the
    next."""
    total: float | None = None
    for first in range(0, column.shape[0], SUMMED_ROWS):
        block = column[first:first + SUMMED_ROWS]
        if squared:
            block = block * block
        if total is not None:
            block = np.concatenate(([total], block))
        total = float(np.cumsum(block)[-1])
    return 0.0 if total is None else total


def refuse_collinear(standardized: np.ndarray, names: list[str]) -> None:
    """Refuses columns that are (nearly) linear combinations of others,
    naming the pair or the set. `standardized` has unit-variance columns."""
    # The engine's Gram matrix is the search's own; beyond one search's
    # size BLAS computes it (the check needs no particular bits).
    gram = _engine.gram(standardized) if standardized.shape[1] <= MAX_VARS \
        else standardized.T @ standardized
    correlation = gram / standardized.shape[0]
    eigenvalues, eigenvectors = np.linalg.eigh(correlation)
    smallest = float(eigenvalues[0])
    if smallest >= COLLINEARITY_TOLERANCE:
        return
    weights = np.abs(eigenvectors[:, 0])
    members = [names[j] for j in np.flatnonzero(weights > 0.1 * weights.max())]
    if len(members) == 2:
        what = f"columns {members[0]!r} and {members[1]!r} are collinear (duplicated or " \
               "proportional)"
    else:
        what = "columns " + ", ".join(repr(m) for m in members[:-1]) + \
               f" and {members[-1]!r} are linearly dependent"
    raise InputError(f"{what}: the smallest eigenvalue of their correlation is "
                     f"{max(smallest, 0.0):.1e}, below {COLLINEARITY_TOLERANCE:.0e}; drop one of "
                     "them")
