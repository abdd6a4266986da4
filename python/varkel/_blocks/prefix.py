"""Regressing out the variables placed so far, by a factor that grows with
the order instead of a regression refitted from scratch.

Each group's placed columns are kept as an orthonormal basis Q (of their
span, which is all a regression on them depends on). A column's residual on
them is the column less Q Q^T times it; placing more columns appends their
residuals, orthonormalised, to Q. Each projection is done twice: once is
enough in exact arithmetic, and the second pass removes what rounding left
of the first (Gram-Schmidt with reorthogonalisation), so residuals stay
orthogonal to Q to rounding even after hundreds of columns.
"""

from __future__ import annotations

import numpy as np

from varkel._data import prepare


class Prefix:
    """The placed columns of every group's matrix (all with the same
    columns), as orthonormal bases; empty at first."""

    def __init__(self, matrices: list[np.ndarray]) -> None:
        self.matrices = matrices
        self.bases = [np.empty((m.shape[0], 0)) for m in matrices]

    def residuals(self, columns: list[int]) -> list[np.ndarray]:
        """Each group's `columns`, less their projection on the placed ones."""
        result = []
        for matrix, basis in zip(self.matrices, self.bases, strict=True):
            block = matrix[:, columns]
            for _ in range(2):
                block = block - basis @ (basis.T @ block)
            result.append(block)
        return result

    def extend(self, columns: list[int]) -> None:
        """Places `columns` after those placed before."""
        if not columns:
            return
        for g, residual in enumerate(self.residuals(columns)):
            q, _ = np.linalg.qr(residual)
            self.bases[g] = np.hstack([self.bases[g], q])

    def searched(self, columns: list[int]) -> list[np.ndarray]:
        """The residuals of `columns`, centred and scaled to unit variance:
        what the exact search takes."""
        return [prepare(r, scale=True) for r in self.residuals(columns)]
