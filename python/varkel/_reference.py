"""The reference vector: the null distribution the residuals are contrasted with.

The search scores a variable by how far the sorted standardised residuals of
its regression lie from the quantiles of a reference distribution, and looks
for the order that maximises the total distance. Independent non-Gaussian
noise lies far from a Gaussian; mixtures of noise terms (what a wrong order
leaves) lie closer. The reference must therefore be the distribution the
noise is NOT expected to follow: "normal" (the default), or a vector of your
own. Passing the noise's own distribution would reward the wrong orders.
"""

from __future__ import annotations

import math
from statistics import NormalDist

import numpy as np
import numpy.typing as npt

from varkel._errors import InputError

REFERENCES: tuple[str, ...] = ("normal",)


def reference_vector(name: str, n_samples: int) -> np.ndarray:
    """The sorted values the residuals are contrasted with.

    Quantiles of the named null distribution at Blom's plotting positions
    (i - 3/8) / (n + 1/4), ascending, rescaled to mean 0 and mean square 1.

    Parameters
    ----------
    name : str
        "normal".
    n_samples : int
        At least 2.

    Returns
    -------
    array of n_samples floats
    """
    if name not in REFERENCES:
        raise InputError(f"unknown reference {name!r}: the named reference is 'normal' (the "
                         "null distribution; pass a vector for another)")
    if n_samples < 2:
        raise InputError("a reference vector needs at least 2 samples")
    quantile = NormalDist().inv_cdf
    # Straight into an array: a list of millions of Python floats would
    # take five times the memory.
    q = np.fromiter((quantile((i - 0.375) / (n_samples + 0.25)) for i in range(1, n_samples + 1)),
                    dtype=np.float64, count=n_samples)
    q -= q.mean()
    q /= math.sqrt(float(np.mean(q * q)))
    return q


def resolve_reference(reference: str | npt.ArrayLike, n_samples: int
                      ) -> tuple[str, np.ndarray]:
    """A reference's name and its sorted values; a caller's vector is "custom"."""
    if isinstance(reference, str):
        return reference, reference_vector(reference, n_samples)
    try:
        values = np.asarray(reference, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise InputError(f"reference must be a name or a numeric vector: {error}") from None
    if values.shape != (n_samples,):
        raise InputError(f"reference must be a name or a vector of {n_samples} values, got "
                         f"shape {values.shape}")
    if not np.all(np.isfinite(values)):
        raise InputError("reference values must be finite")
    if np.all(values == values[0]):
        raise InputError("reference values are all equal: a constant reference scores every "
                         "order alike; give a distribution")
    return "custom", np.sort(values)
