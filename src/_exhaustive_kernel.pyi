import typing

import numpy
import numpy.typing

def _sink_dp(
    arg0: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    arg1: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    arg2: typing.Annotated[numpy.typing.ArrayLike, numpy.float64],
    arg3: typing.SupportsInt | typing.SupportsIndex,
    arg4: typing.SupportsInt | typing.SupportsIndex,
    /,
) -> tuple[numpy.ndarray[typing.Any, numpy.dtype[numpy.int32]], float]:
    """Best sink of every subset of n_vars variables, and the best total.

    X: n_samples x n_vars data; C: its n_vars x n_vars Gram matrix; R: the
    n_samples reference values; num_threads: 0 for all processors.
    Entry S of the returned int32 table is the last variable of the best
    ordering of the subset with bit mask S (or -1).
    """
