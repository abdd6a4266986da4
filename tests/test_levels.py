"""Level by level: compact tables, parts of levels, checkpoints, MPI."""

from __future__ import annotations

import itertools
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import _exhaustive_kernel as kernel
import varkel
from conftest import f64_bits, in_columns
from varkel import _engine as engine
from varkel._checkpoint import CheckpointError

PYTHON = sys.executable
MPIEXEC = Path(PYTHON).parent / "mpiexec"
SANITIZED = bool(os.environ.get("VARKEL_SANITIZED"))


def problem(n_vars: int, n_samples: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    X = rng.laplace(size=(n_samples, n_vars))
    X = np.ascontiguousarray((X - X.mean(axis=0)) / X.std(axis=0))
    return X, engine.gram(X), varkel.reference_vector("normal", n_samples)


def test_compact_tables_match_sink_dp_at_sixteen_variables():
    # Up to 14 variables test_engine compares on many kinds of data. With
    # more samples than variables every regression is regular and every
    # score is sorted: the reference module takes about 25 s here.
    n_vars, n_samples = 16, 17
    X, C, R = problem(n_vars, n_samples, seed=n_vars)
    sinks, total = engine.search(X, C, R)
    want_sinks, want_total = kernel._sink_dp(X, C, R, n_vars, 0)
    assert np.array_equal(sinks.astype(np.int32), want_sinks)
    assert f64_bits(total) == f64_bits(want_total)


def run_in_parts(X, C, R, parts: int):
    """Relaxes every level in `parts` rank ranges, last part first."""
    search = engine.Search(X, C, R, threads=1)
    for level in range(1, search.n_vars + 1):
        count = search.level_size(level)
        bounds = [count * p // parts for p in range(parts + 1)]
        for first, last in reversed(list(itertools.pairwise(bounds))):
            search.relax_level(level, first, last)
        search.complete_level(level)
    return search.sinks, search.total


@pytest.mark.parametrize("parts", [1, 2, 3, 7])
def test_levels_relaxed_in_parts_give_the_same_bits(parts):
    X, C, R = problem(9, 60, seed=parts)
    want = engine.search(X, C, R)
    if parts % 2:  # read in place, in the search's column layout
        X = in_columns(X)
    sinks, total = run_in_parts(X, C, R, parts)
    assert np.array_equal(sinks, want[0]) and f64_bits(total) == f64_bits(want[1])


def test_a_level_filled_from_outside_is_used():
    # Complete two levels, copy them into a fresh search, finish there.
    X, C, R = problem(8, 50)
    want = engine.search(X, C, R)
    first = engine.Search(X, C, R)
    second = engine.Search(X, C, R)
    for level in (1, 2):
        first.relax_level(level)
        second.level_sinks()[:] = first.level_sinks()
        second.level_totals()[:] = first.level_totals()
        first.complete_level(level)
        second.complete_level(level)
    sinks, total = second.run()
    assert np.array_equal(sinks, want[0]) and total == want[1]


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda s: s.relax_level(2), "level 2 is not the next level"),
        (lambda s: s.complete_level(0), "level must be between 1 and 5"),
        (lambda s: s.relax_level(1, 3, 2), r"ranks \[3, 2\) are not within level 1"),
        (lambda s: s.relax_level(1, 0, 6), r"ranks \[0, 6\) are not within level 1's 5"),
        (lambda s: s.total, "the total is known once level 5 is complete"),
    ],
)
def test_levels_are_taken_in_order(call, message):
    X, C, R = problem(5, 30)
    with pytest.raises(ValueError, match=message):
        call(engine.Search(X, C, R))


def test_memory_is_two_levels_of_totals_and_a_byte_per_subset():
    plan = engine.plan(24, 1000)
    widest = 2704156  # binomial(24, 12)
    # Per thread: a residual buffer per variable (a subset's candidates
    # are computed together) and the regressions of one subset (8584 bytes).
    assert plan["bytes"] == 2**24 + widest * 9 + 8 * 1000 * 24 + \
        plan["threads"] * (24 * 8 * 1000 + 8584)
    # On many rows the buffers stay within the engine's copy of the data.
    column_bytes = 8 * 2_000_000 * 3
    many = engine.plan(3, 2_000_000, threads=2)
    assert many["bytes"] - column_bytes <= column_bytes + many["threads"] * 8584 + 100
    # Under half of what _exhaustive_kernel's six tables take.
    assert plan["bytes"] < (12 * 2**24) / 2


# -- checkpoints -----------------------------------------------------------------

def write_data(path: Path, n_vars: int, n_samples: int, seed: int = 0) -> str:
    X = np.random.default_rng(seed).laplace(size=(n_samples, n_vars))
    np.savetxt(path, X, delimiter=",", header=",".join(f"v{j}" for j in range(n_vars)),
               comments="")
    return str(path)


def test_checkpointed_search_equals_a_plain_one(tmp_path):
    X, _ = varkel.simulate_lingam(8, 300, seed=2)
    plain = varkel.causal_order(X)
    # Searched in place in the column layout: the checkpoint is the same.
    first = varkel.causal_order(in_columns(X), copy=False, checkpoint=tmp_path / "ck")
    assert first == plain
    assert sorted(p.name for p in (tmp_path / "ck").iterdir()) == \
        [f"sinks-{k:02d}.bin" for k in range(1, 9)] + ["totals-08.bin", "varkel.lock"]
    assert varkel.causal_order(X, checkpoint=tmp_path / "ck") == plain  # all loaded


def kill_after_levels(args: list[str], checkpoint: Path, levels: int,
                      sig: signal.Signals) -> subprocess.CompletedProcess[str] | None:
    """Starts a command, waits until `levels` levels are checkpointed, then
    sends it `sig`."""
    child = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 240
    while not (checkpoint / f"sinks-{levels:02d}.bin").exists():
        assert child.poll() is None, child.communicate()
        assert time.monotonic() < deadline
        time.sleep(0.005)
    child.send_signal(sig)
    out, err = child.communicate(timeout=60)
    return subprocess.CompletedProcess(args, child.returncode, out, err)


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGINT])
def test_a_killed_search_resumes_to_identical_bits(tmp_path, sig):
    # Levels 1-4 are under 5% of an n = 14 search, which takes about a
    # second on one quiet core: the signal comes long before the end, on a
    # fast machine too, and a busy one only widens the gap.
    data = write_data(tmp_path / "d.csv", 14, 2000)
    ck = tmp_path / "ck"
    # --yes: a slow machine (or the sanitizers) must not make the time estimate decline it.
    args = [PYTHON, "-m", "varkel", "order", data, "--json", "--yes", "--checkpoint", str(ck)]
    killed = kill_after_levels([*args, "--threads", "1"], ck, 4, sig)
    assert killed.returncode == (-9 if sig == signal.SIGKILL else 130)
    assert "sinks-14.bin" not in [p.name for p in ck.iterdir()]
    resumed = subprocess.run(args, capture_output=True, text=True, timeout=300)
    assert resumed.returncode == 0, resumed.stderr
    plain = subprocess.run(args[:-2], capture_output=True, text=True, timeout=300)
    assert resumed.stdout == plain.stdout  # the total, to the last bit, and the order


def damage(path: Path, how: str) -> None:
    content = bytearray(path.read_bytes())
    if how == "tampered":
        content[-33] ^= 0x01  # the last byte of the payload, before the checksum
        path.write_bytes(bytes(content))
    elif how == "truncated":
        path.write_bytes(bytes(content[: len(content) - 5]))


@pytest.mark.parametrize(
    ("how", "message"),
    [
        ("tampered", r"sinks-03\.bin is corrupt \(checksum mismatch\)"),
        ("truncated", r"sinks-03\.bin is truncated or damaged"),
        ("other data", "was written for other inputs"),
        ("other prior", "was written for other inputs"),
    ],
)
def test_a_damaged_or_foreign_checkpoint_is_refused(tmp_path, how, message):
    X, _ = varkel.simulate_lingam(6, 200, seed=3)
    ck = tmp_path / "ck"
    varkel.causal_order(X, checkpoint=ck)
    if how in ("tampered", "truncated"):
        damage(ck / "sinks-03.bin", how)
    if how == "other data":
        X = X.copy()
        X[0, 0] += 1.0
    prior = None
    if how == "other prior":
        prior = -np.ones((6, 6))
        prior[1, 0] = 0
    with pytest.raises(CheckpointError, match=message):
        varkel.causal_order(X, checkpoint=ck, prior_knowledge=prior)


@pytest.mark.parametrize(
    "change",
    ["data", "shape", "reference", "successors", "no successors"],
)
def test_the_fingerprint_covers_every_input(change):
    from varkel._checkpoint import fingerprint

    X, _, R = problem(4, 30)
    successors = [0, 0, 0, 0b1000]
    base = fingerprint(X, R, successors)
    if change == "data":
        X = X.copy()
        X[-1, -1] = np.nextafter(X[-1, -1], 9.0)
    elif change == "shape":
        X = np.ascontiguousarray(X.reshape(60, 2))
    elif change == "reference":
        R = R.copy()
        R[0] = np.nextafter(R[0], 9.0)
    elif change == "successors":
        successors = [0, 0, 0, 0b0100]
    else:
        successors = None
    assert fingerprint(X, R, successors) != base


def test_a_missing_last_totals_file_restarts_cleanly(tmp_path):
    X, _ = varkel.simulate_lingam(6, 200, seed=4)
    plain = varkel.causal_order(X)
    varkel.causal_order(X, checkpoint=tmp_path)
    (tmp_path / "totals-06.bin").unlink()
    assert varkel.causal_order(X, checkpoint=tmp_path) == plain


def plant(path: Path, kind: str, outside: Path) -> None:
    if kind == "link":
        path.symlink_to(outside)
    elif kind == "dangling link":
        path.symlink_to(outside.with_name("nowhere"))
    elif kind == "hard link":
        os.link(outside, path)
    elif kind == "directory":
        path.mkdir()
    else:
        os.mkfifo(path)


@pytest.mark.parametrize("kind", ["link", "dangling link", "hard link", "directory", "fifo"])
@pytest.mark.parametrize("name", ["sinks-02.bin", "totals-01.bin", "varkel.lock"])
def test_non_regular_files_under_a_checkpoints_names_are_refused(tmp_path, kind, name):
    X, _ = varkel.simulate_lingam(4, 100, seed=1)
    outside = tmp_path / "outside.bin"
    outside.write_bytes(b"not varkel's")
    ck = tmp_path / "ck"
    ck.mkdir()
    plant(ck / name, kind, outside)
    what = "a link" if "link" in kind else "not a regular file"
    with pytest.raises(CheckpointError, match=rf"{name} is {what}; varkel reads and writes only "):
        varkel.causal_order(X, checkpoint=ck)
    assert outside.read_bytes() == b"not varkel's"


def test_only_the_checkpoints_own_files_are_touched(tmp_path):
    X, _ = varkel.simulate_lingam(5, 100, seed=1)
    (tmp_path / "notes.tmp").write_text("mine")
    (tmp_path / "sinks-03.bin.tmp").write_text("mine too")
    (tmp_path / "folder.tmp").mkdir()
    varkel.causal_order(X, checkpoint=tmp_path)
    assert (tmp_path / "notes.tmp").read_text() == "mine"
    assert (tmp_path / "sinks-03.bin.tmp").read_text() == "mine too"
    assert (tmp_path / "folder.tmp").is_dir()
    assert not list(tmp_path.glob(".*.tmp"))


def test_a_second_run_on_a_locked_checkpoint_is_refused(tmp_path):
    X, _ = varkel.simulate_lingam(4, 100, seed=1)
    holder = subprocess.Popen([PYTHON, "-c", "import sys, time\n"
                               "from varkel._checkpoint import Checkpoint\n"
                               "Checkpoint(sys.argv[1], b'', 4); print('held', flush=True)\n"
                               "time.sleep(600)", str(tmp_path)],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout is not None and holder.stdout.readline() == "held\n"
        held = rf"in use by another varkel run \(process {holder.pid}\)"
        with pytest.raises(CheckpointError, match=held):
            varkel.causal_order(X, checkpoint=tmp_path)
        assert (tmp_path / "varkel.lock").read_text() == f"{holder.pid}\n"  # left as it was
    finally:
        holder.kill()
        holder.communicate()
    assert varkel.causal_order(X, checkpoint=tmp_path) == varkel.causal_order(X)


def test_a_failed_write_leaves_no_temporary_file(tmp_path, monkeypatch):
    import errno

    import varkel._checkpoint as checkpoint

    def full(_: int) -> None:
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    X, _ = varkel.simulate_lingam(4, 100, seed=1)
    monkeypatch.setattr(checkpoint.os, "fsync", full)
    with pytest.raises(CheckpointError, match="No space left on device"):
        varkel.causal_order(X, checkpoint=tmp_path)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["varkel.lock"]


def test_an_empty_checkpoint_path_is_refused():
    X, _ = varkel.simulate_lingam(3, 50, seed=1)
    with pytest.raises(CheckpointError, match="path is empty"):
        varkel.causal_order(X, checkpoint="")


def test_a_checkpoint_error_on_the_command_line_is_one_line(tmp_path):
    data = write_data(tmp_path / "d.csv", 5, 100)
    ck = tmp_path / "ck"
    args = [PYTHON, "-m", "varkel", "order", data, "--checkpoint", str(ck)]
    assert subprocess.run(args, capture_output=True, timeout=120).returncode == 0
    damage(ck / "sinks-02.bin", "tampered")
    done = subprocess.run(args, capture_output=True, text=True, timeout=120)
    assert done.returncode == 2 and done.stderr.count("\n") == 1
    assert "sinks-02.bin is corrupt" in done.stderr


# -- MPI ---------------------------------------------------------------------------

needs_mpi = pytest.mark.skipif(not MPIEXEC.exists() or SANITIZED,
                               reason="needs mpiexec (varkel[mpi]); not under the sanitizers")


def mpiexec(ranks: int, *args: str, timeout: int = 300) -> subprocess.CompletedProcess[str]:
    return subprocess.run([str(MPIEXEC), "-n", str(ranks), PYTHON, *args],
                          capture_output=True, text=True, timeout=timeout)


@needs_mpi
def test_mpi_ranks_give_the_same_bits_as_one_process(tmp_path):
    code = """
        import sys, numpy as np, varkel
        from mpi4py import MPI
        for n in (1, 4, 7, 10):
            X, _ = varkel.simulate_lingam(n, 300, seed=n)
            result = varkel.causal_order(X, mpi=True, threads=1)
            if MPI.COMM_WORLD.Get_rank() == 0:
                np.save(sys.argv[1] + f"/sinks-{n}.npy", result.sinks)
                print(n, result.total.hex(), result.order)
    """
    done = mpiexec(2, "-c", __import__("textwrap").dedent(code), str(tmp_path))
    assert done.returncode == 0, done.stderr
    for line in done.stdout.splitlines():
        n, total, *_ = line.split()
        X, _ = varkel.simulate_lingam(int(n), 300, seed=int(n))
        alone = varkel.causal_order(X)
        assert float.fromhex(total) == alone.total
        assert np.array_equal(np.load(tmp_path / f"sinks-{n}.npy"), alone.sinks)
    assert len(done.stdout.splitlines()) == 4


@needs_mpi
def test_a_killed_rank_stops_the_job_and_a_rerun_resumes(tmp_path):
    data = write_data(tmp_path / "d.csv", 17, 1000, seed=5)
    ck = tmp_path / "ck"
    args = [str(MPIEXEC), "-n", "2", PYTHON, "-m", "varkel", "order", data, "--mpi", "--json",
            "--threads", "1", "--checkpoint", str(ck)]
    child = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 240
    while not (ck / "sinks-05.bin").exists():
        assert child.poll() is None and time.monotonic() < deadline, child.communicate()
        time.sleep(0.05)
    ranks = subprocess.run(["pgrep", "-f", f"varkel order {data} --mpi"], capture_output=True,
                           text=True).stdout.split()
    os.kill(int(ranks[-1]), signal.SIGKILL)
    out, err = child.communicate(timeout=120)
    # MPICH's mpiexec ends the job and says which process died, and how.
    assert child.returncode != 0
    assert "BAD TERMINATION OF ONE OF YOUR APPLICATION PROCESSES" in out + err
    assert "EXIT CODE: 9" in out + err and '"order"' not in out
    resumed = subprocess.run(args, capture_output=True, text=True, timeout=300)
    assert resumed.returncode == 0, resumed.stderr
    plain = subprocess.run([PYTHON, "-m", "varkel", "order", data, "--json", "--yes"],
                           capture_output=True, text=True, timeout=300)
    assert resumed.stdout == plain.stdout


@needs_mpi
def test_a_failure_on_one_rank_ends_every_rank_with_one_line(tmp_path):
    # Rank 0 alone reads the checkpoint; its refusal must reach rank 1, which
    # would otherwise wait for rank 0 forever.
    data = write_data(tmp_path / "d.csv", 6, 200)
    ck = tmp_path / "ck"
    single = subprocess.run([PYTHON, "-m", "varkel", "order", data, "--checkpoint", str(ck)],
                            capture_output=True, timeout=120)
    assert single.returncode == 0
    damage(ck / "sinks-02.bin", "tampered")
    done = mpiexec(2, "-m", "varkel", "order", data, "--mpi", "--checkpoint", str(ck),
                   timeout=120)
    assert done.returncode == 2
    errors = [line for line in done.stderr.splitlines() if "error:" in line]
    assert len(errors) == 1 and "MPI rank 0: checkpoint file" in errors[0]
    assert "sinks-02.bin is corrupt" in errors[0]


RANK_SPECIFIC = """
    import sys
    from mpi4py import MPI
    from varkel._cli import main
    good, bad = sys.argv[1:3]
    command = sys.argv[3:] or ["order"]
    sys.exit(main([*command, good if MPI.COMM_WORLD.Get_rank() == 0 else bad, "--mpi"]))
"""


@needs_mpi
@pytest.mark.parametrize(("bad", "message"), [
    ("missing", "MPI rank 1: cannot read"),
    ("nan", "MPI rank 1: {path}, row 4: 'nan' is not a finite number"),
    ("collinear", "MPI rank 1: the autoregression's residuals cannot be searched: columns"),
])
def test_input_that_fails_on_one_rank_ends_every_rank(tmp_path, bad, message):
    good = write_data(tmp_path / "good.csv", 4, 100)
    path = tmp_path / "bad.csv"
    if bad == "nan":
        lines = Path(good).read_text().splitlines()
        lines[3] = "nan" + lines[3][lines[3].index(","):]
        path.write_text("\n".join(lines) + "\n")
    command = ["graph", "--lags", "1"] if bad == "collinear" else []
    if bad == "collinear":  # a column that is the sum of two others
        X = np.loadtxt(good, delimiter=",", skiprows=1)
        X[:, 3] = X[:, 0] + X[:, 1]
        np.savetxt(path, X, delimiter=",", header="v0,v1,v2,v3", comments="")
    done = mpiexec(2, "-c", __import__("textwrap").dedent(RANK_SPECIFIC), good, str(path),
                   *command, timeout=60)
    assert done.returncode == 2
    errors = [line for line in done.stderr.splitlines() if "error:" in line]
    assert len(errors) == 1 and message.format(path=path) in errors[0], done.stderr


@needs_mpi
def test_standard_input_under_mpi_is_refused(tmp_path):
    data = write_data(tmp_path / "d.csv", 3, 50)
    with open(data) as stdin:
        done = subprocess.run([str(MPIEXEC), "-n", "2", PYTHON, "-m", "varkel", "order", "-",
                               "--mpi"], stdin=stdin, capture_output=True, text=True, timeout=60)
    assert done.returncode == 2
    errors = [line for line in done.stderr.splitlines() if "error:" in line]
    assert len(errors) == 1 and "reaches only one rank under --mpi" in errors[0]
