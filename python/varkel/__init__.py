"""varkel: the best causal order of up to 30 variables, by exhaustive search.

For linear non-Gaussian data, regressing each variable on the ones before it
in the true causal order leaves residuals that are the independent,
non-Gaussian noise terms; in a wrong order they are mixtures, closer to
Gaussian. varkel scores every variable against every parent set by how far
its standardised residuals' quantiles lie from a Gaussian reference, and
finds the order with the best total by dynamic programming over all 2^n
subsets: exactly, not greedily.

    >>> import varkel
    >>> model = varkel.ExhaustiveLiNGAM().fit(X)   # X: samples x variables
    >>> model.causal_order_                        # column indices, causes first
    >>> model.adjacency_matrix_                    # B[i, j] != 0: x_j -> x_i
    >>> varkel.causal_order(X).order               # the order alone

MultiGroupExhaustiveLiNGAM finds one order shared by several data sets (one
graph each); VARExhaustiveLiNGAM the instantaneous and lagged graphs of a
time series.
"""

from varkel._blocks.plan import SEARCHES
from varkel._bootstrap import BootstrapResult
from varkel._data import column_table
from varkel._diagnostics import Diagnostic
from varkel._errors import InputError
from varkel._estimator import ExhaustiveLiNGAM
from varkel._graph import edges, picture_formats, plot_graph, to_dot
from varkel._groups import MultiGroupExhaustiveLiNGAM
from varkel._independence import IndependenceCheck
from varkel._reference import REFERENCES, reference_vector
from varkel._search import CausalOrder, causal_order, order_from_sinks
from varkel._simulate import (
    SimulatedDAG,
    SimulatedVAR,
    pair_agreement,
    simulate_dag,
    simulate_groups,
    simulate_lingam,
    simulate_var,
)
from varkel._var import VARExhaustiveLiNGAM
from varkel._version import VERSION as __version__

__all__ = [
    "REFERENCES",
    "SEARCHES",
    "BootstrapResult",
    "CausalOrder",
    "Diagnostic",
    "ExhaustiveLiNGAM",
    "IndependenceCheck",
    "InputError",
    "MultiGroupExhaustiveLiNGAM",
    "SimulatedDAG",
    "SimulatedVAR",
    "VARExhaustiveLiNGAM",
    "__version__",
    "causal_order",
    "column_table",
    "edges",
    "order_from_sinks",
    "pair_agreement",
    "picture_formats",
    "plot_graph",
    "reference_vector",
    "simulate_dag",
    "simulate_groups",
    "simulate_lingam",
    "simulate_var",
    "to_dot",
]
