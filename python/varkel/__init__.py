"""varkel: the best causal order of up to 30 variables, by exhaustive search.

For linear non-Gaussian data, regressing each variable on the ones before it
in the true causal order leaves residuals that are the independent,
non-Gaussian noise terms; in a wrong order they are mixtures, closer to
Gaussian. varkel scores every variable against every parent set by how far
its standardised residuals' quantiles lie from a reference distribution's,
and finds the order with the best total by dynamic programming over all
2^n subsets.

    >>> import varkel
    >>> result = varkel.causal_order(X)       # X: samples x variables
    >>> result.order                          # column indices, causes first
"""

from varkel._api import (
    REFERENCES,
    CausalOrder,
    InputError,
    causal_order,
    order_from_sinks,
    reference_vector,
)
from varkel._simulate import pair_agreement, simulate_lingam

__all__ = [
    "REFERENCES",
    "CausalOrder",
    "InputError",
    "causal_order",
    "order_from_sinks",
    "pair_agreement",
    "reference_vector",
    "simulate_lingam",
]
