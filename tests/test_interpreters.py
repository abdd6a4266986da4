"""The same answers on every interpreter: the free-threaded one and a
regular one with a global lock, from the development build or a wheel."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import varkel

OTHER = os.environ.get("VARKEL_OTHER_PYTHON")

ANSWERS = """
import json, sys, numpy as np, varkel
out = []
for n, m, seed in ((4, 300, 1), (7, 1000, 2), (9, 2000, 3)):
    X, _ = varkel.simulate_lingam(n, m, seed=seed, noise="laplace")
    found = varkel.causal_order(X)
    model = varkel.ExhaustiveLiNGAM(margins=True).fit(X)
    out.append({"order": found.order, "total": found.total.hex(),
                "sinks": found.sinks.tobytes().hex(),
                "margins": [float(v).hex() for v in model.order_margins_.ravel()],
                "adjacency": [float(v).hex() for v in model.adjacency_matrix_.ravel()]})
json.dump(out, sys.stdout)
"""


def answers(python: str) -> list[dict[str, object]]:
    done = subprocess.run([python, "-c", ANSWERS], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return list(json.loads(done.stdout))


@pytest.mark.skipif(OTHER is None, reason="VARKEL_OTHER_PYTHON names no second interpreter")
def test_both_interpreters_give_the_same_bits():
    here, there = answers(sys.executable), answers(str(OTHER))
    for mine, theirs in zip(here, there, strict=True):
        assert mine["order"] == theirs["order"]
        assert mine["total"] == theirs["total"] and mine["sinks"] == theirs["sinks"]
        assert mine["margins"] == theirs["margins"]
    # The graph's pruning runs in NumPy and scikit-learn, whose builds may
    # differ by interpreter in the last bits, never in the selected edges.
    for mine, theirs in zip(here, there, strict=True):
        a = np.array([float.fromhex(v) for v in mine["adjacency"]])
        b = np.array([float.fromhex(v) for v in theirs["adjacency"]])
        assert np.array_equal(a != 0, b != 0) and np.allclose(a, b, rtol=1e-9, atol=0)


def test_many_threads_calling_causal_order_get_what_one_gets():
    problems = [varkel.simulate_lingam(n, 500, seed=n)[0] for n in (3, 6, 8, 10)]
    alone = [varkel.causal_order(X, threads=1) for X in problems]
    with ThreadPoolExecutor(max_workers=8) as pool:
        found = list(pool.map(lambda k: varkel.causal_order(problems[k % 4], threads=k % 3),
                              range(16)))
    assert all(result == alone[k % 4] for k, result in enumerate(found))


def test_a_script_without_a_main_guard_can_bootstrap(tmp_path):
    """What a user writes: three lines, run as a script. Worker processes
    (on an interpreter with a global lock) must not run it again."""
    script = tmp_path / "user_script.py"
    script.write_text("import varkel\nX, _ = varkel.simulate_lingam(4, 300, seed=1)\n"
                      "print(len(varkel.ExhaustiveLiNGAM(threads=2).bootstrap(X, 6)"
                      ".causal_orders_))\n")
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          timeout=600, cwd=tmp_path)
    assert (done.returncode, done.stdout) == (0, "6\n"), done.stderr
