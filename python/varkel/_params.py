"""scikit-learn's parameter protocol (get_params, set_params, a repr of what
differs from the defaults) for varkel's estimators, read from each one's
keyword-only constructor parameters."""

from __future__ import annotations

import inspect
from typing import Any, Self

from varkel._errors import InputError


class EstimatorParams:
    @classmethod
    def _defaults(cls) -> dict[str, Any]:
        """The constructor's parameters and their defaults."""
        return {name: parameter.default
                for name, parameter in inspect.signature(cls.__init__).parameters.items()
                if parameter.kind is inspect.Parameter.KEYWORD_ONLY}

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """The constructor's parameters (scikit-learn's estimator protocol)."""
        return {name: getattr(self, name) for name in self._defaults()}

    def set_params(self, **params: Any) -> Self:
        """Sets constructor parameters by name; returns self."""
        known = self._defaults()
        for name, value in params.items():
            if name not in known:
                raise InputError(f"{type(self).__name__} has no parameter {name!r}")
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        defaults = self._defaults()
        changed = [f"{name}={value!r}" for name, value in self.get_params().items()
                   if value is not defaults[name]]
        return f"{type(self).__name__}({', '.join(changed)})"
