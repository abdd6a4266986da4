"""The command line: commands, one-line errors, Ctrl-C, progress, --yes."""

from __future__ import annotations

import ast
import io
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pydot
import pytest

import varkel
from varkel._cli import main
from varkel._progress import ProgressBar, SearchDeclined, WorkModel

PYTHON = sys.executable


def write_csv(path, X, header=True, delimiter=",", names=None, bom=False):
    names = names or [f"v{j}" for j in range(X.shape[1])]
    lines = [delimiter.join(names)] if header else []
    lines += [delimiter.join(repr(float(v)) for v in row) for row in X]
    path.write_text(("\ufeff" if bom else "") + "\n".join(lines) + "\n", encoding="utf-8")
    return str(path)


def run_cli(*args, stdin=None, env=None, timeout=300):
    return subprocess.run([PYTHON, "-m", "varkel", *args], input=stdin, capture_output=True,
                          text=True, timeout=timeout, env=env)


@pytest.fixture(scope="module")
def data_file(tmp_path_factory):
    X, truth = varkel.simulate_lingam(4, 800, seed=3)
    return write_csv(tmp_path_factory.mktemp("data") / "data.csv", X), truth


@pytest.mark.parametrize("header", [True, False])
def test_order_prints_json(tmp_path, capsys, header):
    X, truth = varkel.simulate_lingam(4, 800, seed=3)
    file = write_csv(tmp_path / "data.csv", X, header)
    args = ["order", file, "--json", "--threads", "1"] + ([] if header else ["--no-header"])
    assert main(args) == 0
    out = json.loads(capsys.readouterr().out)
    assert out["order_indices"] == truth
    assert out["order"] == [f"{'v' if header else 'x'}{j}" for j in truth]
    assert out["reference"] == "normal" and out["n_samples"] == 800
    # The command standardises the table it read in place: the same bits.
    assert out["total"].hex() == varkel.causal_order(X).total.hex()


def test_graph_prints_edges_and_writes_pictures(tmp_path, capsys):
    sim = varkel.simulate_dag(5, 1000, seed=2, edge_probability=0.5)
    names = ["a", "b", "c", "d", "e"]
    file = write_csv(tmp_path / "d.csv", sim.X, names=names)
    dot, png = tmp_path / "g.dot", tmp_path / "g.png"
    assert main(["graph", file, "--bootstrap", "4", "--dot", str(dot), "--png", str(png)]) == 0
    out = capsys.readouterr().out.splitlines()
    model = varkel.ExhaustiveLiNGAM().fit(sim.X)
    assert out[0] == "order: " + " -> ".join(names[j] for j in model.causal_order_)
    assert len(out) - 1 == np.count_nonzero(model.adjacency_matrix_)
    assert all(" -> " in line and "p=" in line and " margin=" in line for line in out[1:])
    assert len(pydot.graph_from_dot_data(dot.read_text())[0].get_edges()) == len(out) - 1
    assert png.read_bytes().startswith(b"\x89PNG") and png.stat().st_size > 10_000
    assert main(["graph", file, "--json"]) == 0
    captured = capsys.readouterr()
    result = json.loads(captured.out)
    assert result["names"] == names
    assert np.array_equal(result["order_margins"], model.order_margins_)
    assert result["runner_up_order"] == [names[j] for j in model.runner_up_order_]
    assert result["diagnostics"] == [] and captured.err.startswith("search: exact\nrunner-up "
                                                                   "order: ")
    assert f"residuals: {model.independence_}".endswith(captured.err.splitlines()[2])
    assert result["independence"]["pairs_tested"] == model.independence_.pairs_tested
    assert np.array_equal(result["adjacency_matrix"], model.adjacency_matrix_)
    assert {(e["from"], e["to"]) for e in result["edges"]} == {
        (names[j], names[i]) for i, j in np.argwhere(model.adjacency_matrix_ != 0)}


def test_prior_knowledge_file_is_applied(tmp_path, capsys):
    X, truth = varkel.simulate_lingam(4, 1000, seed=5)
    file = write_csv(tmp_path / "d.csv", X)
    pk = -np.ones((4, 4))
    pk[truth[0], truth[-1]] = 1  # the last variable must precede the first
    prior = tmp_path / "pk.csv"
    np.savetxt(prior, pk, delimiter=",", fmt="%d")
    assert main(["order", file, "--prior", str(prior), "--json"]) == 0
    order = json.loads(capsys.readouterr().out)["order_indices"]
    assert order.index(truth[-1]) < order.index(truth[0])


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (None, "cannot read"),
        ("a,b\n1,2\n3,oops\n4,5\n", "row 3: 'oops' is not a number"),
        ("a,b\n1,2\n3\n4,5\n", "row 3: 1 cells where the first row has 2"),
        ("a,b,c\n1,2,3\n4,5,6\n", "2 samples for 3 variables"),
        (",".join(f"c{j}" for j in range(31)) + "\n" + "".join(
            ",".join(str((k * 7919 + j * 104729) % 1000) for j in range(31)) + "\n"
            for k in range(40)), "columns 'c0' and 'c11' are collinear"),
        ("a,b\n1,2\n1,3\n1,4\n", "column 'a' is constant"),
        ("a;b\n1,5;2\n2;3\n", "row 2: '1,5' is not a number (decimal commas are not supported)"),
        ("a,b,a\n1,2,3\n2,3,1\n3,1,2\n4,4,4\n", "column name 'a' appears twice (columns 1 and 3)"),
        ("\xff\xfe", "is not UTF-8 text"),
        ("a,b\n", "has a header but no data rows"),
        ("a,b\n1,2\n\nnan,3\n", "row 4: 'nan' is not a finite number"),
        (",".join(f"c{j}" for j in range(1100)) + "\n" + "1," * 1099 + "1\n",
         "1 sample for 1100 variables"),
    ],
)
def test_bad_files_exit_2_with_one_line(tmp_path, capsys, content, message):
    path = tmp_path / "in.csv"
    if content is not None:
        path.write_bytes(content.encode("latin-1"))
    assert main(["order", str(path)]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err and err.startswith("varkel: error:"), err


def test_installed_commands_and_help(data_file):
    script = str(Path(PYTHON).parent / "varkel")  # the console script beside the interpreter
    for command in ([script], [PYTHON, "-m", "varkel"]):
        done = subprocess.run([*command, "--version"], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0 and done.stdout.strip() == f"varkel {varkel.__version__}"
    for sub in ("order", "graph", "demo"):
        done = run_cli(sub, "--help")
        assert done.returncode == 0 and "usage:" in done.stdout and "--threads" in done.stdout
    assert "order" in run_cli("--help").stdout and "graph" in run_cli("--help").stdout


def test_demo_runs_as_a_module():
    demo = run_cli("demo", "--vars", "5", "--samples", "1500", "--seed", "4")
    assert demo.returncode == 0, demo.stderr
    assert "ordered pairs recovered: 1.000" in demo.stdout


# -- faults found by trying the command line as a new user, one test each -------

def test_a_byte_order_mark_keeps_the_first_row_of_a_headerless_file(tmp_path, capsys):
    X, _ = varkel.simulate_lingam(3, 300, seed=1)
    assert main(["order", write_csv(tmp_path / "d.csv", X, header=False, bom=True), "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["n_samples"] == 300


def test_dash_reads_standard_input(data_file):
    path, truth = data_file
    done = run_cli("order", "-", "--json", stdin=Path(path).read_text())
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["order_indices"] == truth


@pytest.mark.parametrize("delimiter", [";", "\t"])
def test_semicolon_and_tab_separated_files_are_read(tmp_path, capsys, delimiter):
    X, truth = varkel.simulate_lingam(4, 800, seed=3)
    assert main(["order", write_csv(tmp_path / "d.txt", X, delimiter=delimiter), "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["order_indices"] == truth


@pytest.mark.parametrize(
    ("args", "message"),
    [(["demo", "--seed", "-1"], "must be 0 or more"), (["demo", "--threads", "x"], "'x'"),
     (["graph"], "required"), (["order", "a", "--nope"], "--nope"),
     (["demo", "--vars", "0"], "between 1 and 30"),
     (["graph", "a.csv", "--bootstrap", "-3"], "must be at least 1, got -3"),
     (["demo", "--threads", "1_000"], "'1_000' is not a whole number"),
     (["order", "a.csv", "--checkpoint", ""], "--checkpoint needs a directory"),
     (["graph", "a.csv", "--png", "/nonexistent/g.png"], "no such directory /nonexistent"),
     (["graph", "a.csv", "--png", "g.jpgx"], ".jpgx is not a picture format; use one of"),
     (["graph", "a.csv", "--dot", "/tmp"], "cannot write /tmp: it is a directory")],
)
def test_usage_errors_are_one_line(args, message):
    # Output paths are checked before anything is read, let alone searched.
    done = run_cli(*args)
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert "error:" in done.stderr and message in done.stderr


@pytest.mark.parametrize(
    ("shell", "message"),
    [("{cmd} order {file} >&-", "standard output is closed"),
     ("{cmd} order - <&-", "standard input is closed"),
     ("{cmd} order /nonexistent.csv 2>&-", None)],
)
def test_closed_standard_streams_are_one_line(data_file, shell, message):
    command = shell.format(cmd=f"{PYTHON} -m varkel", file=data_file[0])
    done = subprocess.run(["sh", "-c", command], capture_output=True, text=True, timeout=120)
    assert done.returncode == 2, done.stderr
    if message is not None:
        assert done.stderr.endswith(f"error: {message}\n") and done.stderr.count("\n") == 1


def test_a_picture_that_cannot_be_written_comes_after_the_result(data_file):
    done = run_cli("graph", data_file[0], "--dot", "/dev/full")
    assert done.returncode == 2 and done.stdout.startswith("order: ")
    assert done.stderr.endswith("error: cannot write /dev/full: No space left on device\n")


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_a_full_disk_is_one_line(data_file, tmp_path):
    path, _ = data_file
    with open("/dev/full", "w") as full:
        done = subprocess.run([PYTHON, "-m", "varkel", "order", path], stdout=full,
                              stderr=subprocess.PIPE, text=True, timeout=120)
    assert done.returncode == 2
    assert done.stderr == "search: exact\npython -m varkel: error: cannot write the output: No " \
                          "space left on device\n"
    done = run_cli("graph", path, "--dot", "/dev/full/g.dot")
    assert done.returncode == 2 and done.stderr.count("\n") == 1 and "cannot write" in done.stderr
    # A file-size limit cuts the first write short and fails the next.
    import resource

    def limit() -> None:
        resource.setrlimit(resource.RLIMIT_FSIZE, (600, 600))

    with open(tmp_path / "out.json", "w") as out:
        done = subprocess.run([PYTHON, "-m", "varkel", "graph", path, "--json"], stdout=out,
                              stderr=subprocess.PIPE, text=True, timeout=120, preexec_fn=limit)
    assert done.returncode == 2 and "cannot write the output: File too large" in done.stderr


def test_the_command_line_uses_only_the_public_api():
    sources = Path(varkel.__file__).parent.glob("_cli*.py")
    imported = set()
    for node in ast.walk(ast.parse("\n".join(p.read_text() for p in sources))):
        if isinstance(node, ast.ImportFrom) and node.module and node.module.startswith("varkel"):
            imported.add(node.module)
        if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) \
                and node.value.id == "varkel":
            assert not node.attr.startswith("_") or node.attr == "__version__", node.attr
    # Its own modules (reading tables, progress, agreement between MPI ranks)
    # and nothing of the API's.
    assert {m for m in imported if not m.startswith("varkel._cli")} <= {
        "varkel._csv", "varkel._progress", "varkel._mpi"}


# -- long searches: Ctrl-C, memory, progress and confirmation -----------------

def test_ctrl_c_exits_130_with_one_line(tmp_path):
    # How soon a search stops, counted in slices of work rather than in
    # seconds, is test_engine's; here the command line's exit and message.
    X = np.random.default_rng(0).laplace(size=(1000, 22))
    path = write_csv(tmp_path / "big.csv", X)
    # A shell without job control starts background jobs with SIGINT
    # ignored, and Python then keeps ignoring it: restore the default, so
    # the signal is delivered however pytest was started.
    child = subprocess.Popen([PYTHON, "-m", "varkel", "order", path, "--yes"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))  # noqa: PLW1509
    assert child.stderr is not None
    first = child.stderr.readline()  # the progress bar's first line: the search is under way
    assert child.poll() is None, child.communicate()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=120)  # a guard against a hang; the search takes hours
    assert child.returncode == 130
    *progress, last = (first + err).splitlines()
    assert last == "python -m varkel: interrupted" and out == ""
    assert all(line.startswith("[") and line.endswith(" left") for line in progress)


def order_under_address_limit(path: str, headroom: int) -> subprocess.CompletedProcess[str]:
    """`varkel order path` with `headroom` bytes of address space beyond
    what the interpreter, NumPy, pyarrow and varkel have mapped."""
    code = ("import resource, runpy, sys\n"
            "import pyarrow.csv, varkel._cli\n"
            "with open('/proc/self/statm') as f:\n"
            "    mapped = int(f.read().split()[0]) * resource.getpagesize()\n"
            f"resource.setrlimit(resource.RLIMIT_AS, (mapped + {headroom}, "
            "resource.RLIM_INFINITY))\n"
            f"sys.argv = ['varkel', 'order', {path!r}]\n"
            "runpy.run_module('varkel', run_name='__main__')\n")
    return subprocess.run([PYTHON, "-c", code], capture_output=True, text=True, timeout=300)


@pytest.mark.skipif(bool(os.environ.get("VARKEL_SANITIZED")),
                    reason="address-space limits break the sanitizer's shadow memory")
def test_a_search_too_large_for_memory_is_one_line(tmp_path):
    X = np.random.default_rng(0).standard_normal((40, 30))
    done = order_under_address_limit(write_csv(tmp_path / "wide.csv", X), 2**30)
    assert done.returncode == 2
    assert done.stderr.count("\n") == 1
    assert "a search over 30 variables needs" in done.stderr and "of memory" in done.stderr


@pytest.mark.skipif(bool(os.environ.get("VARKEL_SANITIZED")),
                    reason="address-space limits break the sanitizer's shadow memory")
def test_a_table_that_fits_is_read_and_searched_under_ulimit_v(tmp_path):
    # Arrow's default allocator would reserve about a gibibyte of address
    # space on its first allocation and leave too little for the search.
    X = np.random.default_rng(0).standard_normal((200_000, 3))
    done = order_under_address_limit(write_csv(tmp_path / "long.csv", X), 2**30 + 100 * 2**20)
    assert done.returncode == 0, done.stderr
    assert done.stderr == "search: exact\n" and done.stdout.count("->") == 2


class FakeClock:
    def __init__(self) -> None:
        self.now = 0.0

    def __call__(self) -> float:
        return self.now


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


def test_progress_bar_shows_done_rate_and_time_left_after_a_delay():
    clock, stream = FakeClock(), Terminal()
    bar = ProgressBar(10, stream=stream, clock=clock, delay=1.5)
    total = 10 * 2**9
    bar(0, total)  # the starting point
    clock.now = 1.0
    bar(100, total)
    assert stream.getvalue() == ""  # too early to show anything
    clock.now = 2.0
    bar(total // 2, total)
    text = stream.getvalue()
    assert text.startswith("\r[") and f"{total // 2:,}/{total:,} scores" in text
    assert f"{total // 4:,}/s" in text and " left" in text
    bar.close()
    assert stream.getvalue().endswith("\n")


def test_a_shorter_progress_line_covers_the_longer_one():
    clock, stream = FakeClock(), Terminal()
    bar = ProgressBar(10, stream=stream, clock=clock, delay=0.0)
    total = 10 * 2**9
    bar(0, total)
    for now, done in ((2.0, 10), (4.0, total - 10)):  # from hours left to seconds
        clock.now = now
        bar(done, total)
    first, second = stream.getvalue().split("\r")[1:]
    assert len(second) >= len(first) and second.rstrip(" ").endswith(" left")


def test_progress_counts_from_where_a_resumed_search_starts():
    clock, stream = FakeClock(), Terminal()
    bar = ProgressBar(10, stream=stream, clock=clock)
    total = 10 * 2**9
    bar(total // 2, total)  # resumed halfway, from a checkpoint
    clock.now = 2.0
    bar(total // 2 + 1000, total)
    assert " 500/s " in stream.getvalue()


def test_work_model_weighs_scores_by_their_parents():
    model = WorkModel(3)
    # Level sizes in scores: 3 (no parents), 6 (one), 3 (two); weights 24 + parents.
    assert model.done(3) == 3 * 24
    assert model.done(9) == 3 * 24 + 6 * 25
    assert model.done(12) == model.total
    assert WorkModel(2000).total > 0  # exact integers: no overflow at any width


@pytest.mark.parametrize(
    ("interactive", "answer", "assume_yes", "outcome"),
    [
        (False, None, False, "rerun with --yes"),
        (False, None, True, None),
        (True, "n\n", False, "search cancelled"),
        (True, "y\n", False, None),
    ],
)
def test_long_searches_need_confirmation(interactive, answer, assume_yes, outcome):
    clock, asked = FakeClock(), []

    def ask(prompt: str) -> str:
        asked.append(prompt)
        return answer

    bar = ProgressBar(26, stream=io.StringIO(), clock=clock, interactive=interactive, ask=ask,
                      assume_yes=assume_yes)
    bar(0, 26 * 2**25)  # the starting point
    clock.now = 1.2
    if outcome is None:
        bar(1000, 26 * 2**25)
    else:
        with pytest.raises(SearchDeclined, match=outcome):
            bar(1000, 26 * 2**25)
    if interactive and not assume_yes:
        assert asked[0].startswith("this search is estimated to take about ")
        assert asked[0].endswith("days. Continue? [y/N] ")


def test_yes_lets_a_long_search_run(tmp_path, capsys, monkeypatch):
    # Pretend any search is above the confirmation threshold.
    monkeypatch.setattr("varkel._cli.progress_for", lambda options, n_vars: ProgressBar(
        n_vars, assume_yes=options.yes, confirm_above=0.0, interactive=False))
    X = np.random.default_rng(1).laplace(size=(1000, 17))
    path = write_csv(tmp_path / "d.csv", X)
    assert main(["order", path, "--threads", "1"]) == 2
    assert "rerun with --yes to run it anyway" in capsys.readouterr().err
    assert main(["order", path, "--yes", "--threads", "2"]) == 0


def test_graph_of_three_rows_prints_its_result_and_no_traceback(tmp_path, capsys):
    X = np.array([[0.1, 2.0], [1.5, -0.3], [-0.7, 0.9]])
    assert main(["graph", write_csv(tmp_path / "d.csv", X)]) == 0
    captured = capsys.readouterr()
    assert captured.out.startswith("order: ")
    assert "3 samples are few for 2 variables" in captured.err
    model = varkel.ExhaustiveLiNGAM().fit(X)
    with pytest.warns(UserWarning, match="needs at least 6 rows, got 3"):
        p = model.get_error_independence_p_values(X)
    assert np.isnan(p[0, 1]) and np.isnan(p[1, 0])


@pytest.mark.parametrize(("size", "rank", "lines"), [("2", "0", 1), ("2", "1", 0)])
def test_a_launcher_without_mpi_is_named_instead_of_searching_n_times(data_file, capsys,
                                                                       monkeypatch, size, rank,
                                                                       lines):
    monkeypatch.setenv("PMI_SIZE", size)
    monkeypatch.setenv("PMI_RANK", rank)
    assert main(["order", data_file[0]]) == 2
    err = capsys.readouterr().err
    assert err.count("of an MPI job without --mpi") == lines == err.count("\n")


@pytest.mark.parametrize(("args", "tiers", "status", "lines"), [
    (["--window", "4"], None, 0,
     ["window ignored: 7 variables are searched exactly", "search: exact"]),
    (["--beam", "3", "--window", "5"], None, 0,
     ["window ignored: 7 variables are searched exactly",
      "beam ignored: 7 variables are searched exactly", "search: exact"]),
    (["--window", "6"], '"a,b",c\n1,d,e,f,g\n', 0,
     ["window ignored: blocks of up to 5 variables are searched exactly",
      "search: exact, in 2 blocks of 2, 5 variables"]),
    ([], "a,b,c\n1,d,e,f,g\n", 2, ["tiers name 'a', which is not a column"]),
    ([], '"a,b",0\nc,d,e,f,g\n', 0,
     ["warning: TIERS: '0' is read as the column named '0', not as position 0 ('a,b'); "
      "names win", "search: exact, in 2 blocks of 2, 5 variables"]),
    *[(["--window", bad], None, 2,
       [f"argument --window: must be a whole number from 2 to 25, got '{bad}'"])
      for bad in ("-3", "0", "1", "26", "x")],
    (["--beam", "0"], None, 2, ["argument --beam: must be a whole number of at least 1, got '0'"]),
    (["--search", "exact", "--wide"], None, 2,
     ["X has 31 variables; the exact search takes at most 30 at once: give --tiers FILE "
      "(groups of variables, earlier groups first, at most 30 each) or --search large"]),
])
def test_the_command_line_says_what_it_did_with_windows_beams_and_tiers(
        tmp_path, capsys, args, tiers, status, lines):
    wide = "--wide" in args
    args = [a for a in args if a != "--wide"]
    X, _ = varkel.simulate_lingam(31 if wide else 7, 200, seed=4)
    names = ["a,b", "0", "c", "d", "e", "f", "g"] if not wide else None
    data = write_csv(tmp_path / "d.csv", X, names=names)
    if names:  # the quoted name a CSV reader needs
        text = (tmp_path / "d.csv").read_text().replace("a,b", '"a,b"', 1)
        (tmp_path / "d.csv").write_text(text)
    extra = []
    if tiers is not None:
        (tmp_path / "tiers.txt").write_text(tiers)
        extra = ["--tiers", str(tmp_path / "tiers.txt")]
    try:
        code = main(["order", data, "--json", *args, *extra])
    except SystemExit as usage:  # argparse's own refusals
        code = usage.code
    assert code == status
    err = capsys.readouterr().err.replace(str(tmp_path / "tiers.txt"), "TIERS")
    assert all(line in err for line in lines), err
    assert len(err.strip().splitlines()) == len(lines)
