"""The user-facing package and its command line."""

from __future__ import annotations

import json
import subprocess
import sys

import numpy as np
import pytest

import varkel
from varkel._cli import main


@pytest.mark.parametrize("seed", range(4))
def test_recovers_fully_connected_order(seed):
    X, truth = varkel.simulate_lingam(6, 3000, seed)
    result = varkel.causal_order(X)
    assert result.order == truth
    assert result.reference == "normal"
    assert result.sinks.shape == (64,)


def test_result_does_not_depend_on_threads_or_units():
    X, _ = varkel.simulate_lingam(7, 500, seed=9)
    one = varkel.causal_order(X, threads=1)
    scaled = varkel.causal_order(X * np.arange(1, 8) + 3.0, threads=2)
    assert one.order == scaled.order


@pytest.mark.parametrize(
    ("mutate", "message"),
    [
        (lambda X: X.__setitem__((4, 2), np.nan), r"^X\[4, 2\] is nan: values must be finite$"),
        (lambda X: X.__setitem__((7, 0), -np.inf), r"^X\[7, 0\] is -inf: values must be finite$"),
        (lambda X: X.__setitem__((slice(None), 1), 5.0), r"^column 1 is constant"),
    ],
)
def test_bad_values_are_refused_with_their_place(mutate, message):
    X, _ = varkel.simulate_lingam(4, 50, seed=1)
    mutate(X)
    with pytest.raises(varkel.InputError, match=message):
        varkel.causal_order(X)


@pytest.mark.parametrize(
    ("X", "kwargs", "message"),
    [
        (np.ones((3, 5)), {}, "3 samples for 5 variables"),
        (np.random.default_rng(0).standard_normal((40, 31)), {}, "at most 30"),
        (np.ones(10), {}, "two-dimensional"),
        (np.random.default_rng(0).standard_normal((9, 2)), {"reference": "cauchy"},
         "unknown reference 'cauchy'"),
        (np.random.default_rng(0).standard_normal((9, 2)), {"reference": np.ones(8)},
         "vector of 9 values"),
        (np.random.default_rng(0).standard_normal((9, 2)), {"threads": -1}, "non-negative"),
    ],
)
def test_unsearchable_input_is_refused(X, kwargs, message):
    with pytest.raises(varkel.InputError, match=message):
        varkel.causal_order(X, **kwargs)


def test_order_from_sinks_walks_the_table():
    # 3 variables; full set 7 -> sink 1; {0, 2} = 5 -> sink 0; {2} -> 2.
    sinks = np.array([-1, 0, 1, 0, 2, 0, 1, 1], dtype=np.int32)
    assert varkel.order_from_sinks(sinks, 3) == [2, 0, 1]
    sinks[5] = -1
    with pytest.raises(varkel.InputError, match=r"variables \[0, 2\]"):
        varkel.order_from_sinks(sinks, 3)
    sinks[5] = 1  # not a member of {0, 2}
    with pytest.raises(varkel.InputError, match="not a member"):
        varkel.order_from_sinks(sinks, 3)


def test_degenerate_data_raises_instead_of_a_partial_order():
    X, _ = varkel.simulate_lingam(3, 40, seed=2)
    X[:, 2] = X[:, 0] + X[:, 1]  # exactly collinear: no full ordering scores
    with pytest.raises(varkel.InputError, match="finite score"):
        varkel.causal_order(X, reference=np.linspace(-1, 1, 40))


@pytest.mark.parametrize("name", varkel.REFERENCES)
@pytest.mark.parametrize("n", [2, 7, 1000])
def test_reference_vectors_are_standardised(name, n):
    R = varkel.reference_vector(name, n)
    assert R.shape == (n,) and np.all(np.diff(R) > 0)
    assert abs(R.mean()) < 1e-12 and abs(np.mean(R * R) - 1.0) < 1e-12


def test_normal_reference_uses_blom_positions():
    from statistics import NormalDist

    R = varkel.reference_vector("normal", 5)
    q = np.array([NormalDist().inv_cdf((i - 0.375) / 5.25) for i in range(1, 6)])
    q = (q - q.mean()) / np.sqrt(np.mean((q - q.mean()) ** 2))
    np.testing.assert_allclose(R, q, rtol=0, atol=1e-15)


# -- command line ------------------------------------------------------------

def write_csv(path, X, header=True):
    lines = ([",".join(f"v{j}" for j in range(X.shape[1]))] if header else [])
    lines += [",".join(repr(float(v)) for v in row) for row in X]
    path.write_text("\n".join(lines) + "\n")
    return str(path)


@pytest.mark.parametrize("header", [True, False])
def test_order_command_prints_json(tmp_path, capsys, header):
    X, truth = varkel.simulate_lingam(4, 800, seed=3)
    file = write_csv(tmp_path / "data.csv", X, header)
    args = ["order", file, "--json", "--threads", "1"] + ([] if header else ["--no-header"])
    assert main(args) == 0
    out = json.loads(capsys.readouterr().out)
    assert out["order_indices"] == truth
    assert out["order"] == [f"{'v' if header else 'x'}{j}" for j in truth]
    assert out["reference"] == "normal" and out["n_samples"] == 800


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (None, "cannot read"),
        ("a,b\n1,2\n3,oops\n4,5\n", "row 3: 'oops' is not a number"),
        ("a,b\n1,2\n3\n4,5\n", "row 3: 1 cells where the first row has 2"),
        ("a,b,c\n1,2,3\n4,5,6\n", "2 data rows for 3 columns"),
        (",".join(f"c{j}" for j in range(31)) + "\n" + "1," * 30 + "1\n", "31 columns"),
        ("a,b\n1,2\n1,3\n1,4\n", "column 0 is constant"),
    ],
)
def test_bad_files_exit_2_with_one_line(tmp_path, capsys, content, message):
    path = tmp_path / "in.csv"
    if content is not None:
        path.write_text(content)
    assert main(["order", str(path)]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err and err.startswith("python -m varkel: error:")


def test_command_line_runs_as_a_module(tmp_path):
    done = subprocess.run([sys.executable, "-m", "varkel", "order", str(tmp_path / "none.csv")],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 2 and "Traceback" not in done.stderr
    demo = subprocess.run([sys.executable, "-m", "varkel", "demo", "--vars", "5", "--samples",
                           "1500", "--seed", "4"], capture_output=True, text=True, timeout=120)
    assert demo.returncode == 0, demo.stderr
    assert "ordered pairs recovered: 1.000" in demo.stdout


def test_long_searches_are_announced(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr("varkel._cli.ANNOUNCE_SECONDS", 0.0)
    X, _ = varkel.simulate_lingam(8, 300, seed=5)
    assert main(["order", write_csv(tmp_path / "d.csv", X), "--threads", "1"]) == 0
    err = capsys.readouterr().err
    assert err.startswith("1,024 score evaluations, estimated ")
