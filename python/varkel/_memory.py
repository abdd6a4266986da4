"""How much memory this process may still take: the least of the system's
available memory, the memory cgroup's allowance and the address space left
under ulimit -v, as the engine reads them."""

from __future__ import annotations

from varkel import _engine


def memory_left() -> tuple[int, str]:
    """(bytes, what limits them), read now."""
    plan = _engine.plan(0, 0)
    return int(plan["available_bytes"]), str(plan["memory_limit"])
