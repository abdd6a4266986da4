"""The one-file HTML report: rendered by a real browser (Chromium,
headless), and checked for anything it would fetch from outside itself."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

import varkel
from test_cli import run_cli, write_csv

# A page that records its script errors, and, once loaded, what a reader
# would see: the graph's nodes and edges, the edge table, and the table
# after a click on its weight header.
PROBE_HEAD = """<script>window.__errors = [];
addEventListener("error", function (e) { __errors.push(String(e.message)); });
var __consoleError = console.error;
console.error = function () { __errors.push(Array.from(arguments).join(" "));
  __consoleError.apply(console, arguments); };</script>"""
PROBE_TAIL = """<script>
function rows() { return Array.from(document.querySelectorAll("#edges tbody tr")).map(
  function (r) { return [r.cells[0].textContent, r.cells[1].textContent,
                         parseFloat(r.cells[2].getAttribute("data-value"))]; }); }
var before = rows();
Array.from(document.querySelectorAll("#edges thead th")).find(
  function (h) { return h.textContent === "weight"; }).click();
var probe = document.createElement("pre");
probe.id = "probe";
probe.textContent = JSON.stringify({errors: __errors, before: before, after: rows(),
  nodes: document.querySelectorAll("svg.graph [id^=node-]").length,
  edges: document.querySelectorAll("svg.graph [id^=edge-]").length});
document.body.appendChild(probe);
</script>"""


def chromium() -> str:
    found = shutil.which("chromium")
    if found is None:
        reason = "Chromium is not installed (tools/setup.sh installs Debian's chromium package)"
        if os.environ.get("VARKEL_REQUIRE_BROWSER"):
            pytest.fail(reason)
        pytest.skip(reason)
    return found


def headless(browser: str, *args: str) -> subprocess.CompletedProcess[str]:
    # The browser is not ours to check: a sanitized test run preloads its
    # runtimes, which Chromium must not inherit.
    env = {key: value for key, value in os.environ.items()
           if key != "LD_PRELOAD" and not key.endswith("SAN_OPTIONS")}
    return subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu",
                           "--hide-scrollbars", *args], capture_output=True, text=True,
                          timeout=300, check=True, env=env)


@pytest.fixture(scope="module")
def fitted(tmp_path_factory):
    sim = varkel.simulate_dag(6, 600, seed=4, edge_probability=0.5)
    model = varkel.ExhaustiveLiNGAM(random_state=1).fit(sim.X)
    path = tmp_path_factory.mktemp("report") / "report.html"
    model.report(sim.X, path, model.bootstrap(sim.X, 10))
    return model, path


def test_the_report_renders_in_a_browser_as_the_model_says(fitted, tmp_path):
    browser = chromium()
    model, path = fitted
    text = path.read_text(encoding="utf-8")
    probed = tmp_path / "probed.html"
    probed.write_text(text.replace("<head>", "<head>" + PROBE_HEAD, 1).replace(
        "</body>", PROBE_TAIL + "</body>", 1), encoding="utf-8")
    dom = headless(browser, "--dump-dom", probed.as_uri()).stdout
    seen = json.loads(re.search(r'<pre id="probe">(.*?)</pre>', dom, re.DOTALL)[1]
                      .replace("&quot;", '"').replace("&amp;", "&"))
    assert seen["errors"] == []
    B = model.adjacency_matrix_
    names = model.feature_names()
    assert seen["nodes"] == B.shape[0] and seen["edges"] == np.count_nonzero(B)
    assert sorted(seen["before"]) == sorted([names[j], names[i], float(B[i, j])]
                                            for j, i in varkel.edges(B))
    weights = [w for *_, w in seen["after"]]
    assert weights == sorted(weights) and seen["after"] != seen["before"]
    screenshot = tmp_path / "report.png"
    headless(browser, f"--screenshot={screenshot}", "--window-size=1100,1400", path.as_uri())
    from matplotlib.image import imread

    pixels = imread(screenshot)[..., :3]
    assert np.mean(np.any(pixels < 0.8, axis=-1)) > 0.02  # ink on more than 2% of the page


def refers_outside(html: str) -> list[str]:
    """Anything the page would fetch or link to outside itself."""
    found = re.findall(r"https?:[^\s\"'<>]*", html)
    found += re.findall(r"\bsrc\s*=", html, re.IGNORECASE)
    found += [h for h in re.findall(r"\bhref\s*=\s*[\"']([^\"']*)", html, re.IGNORECASE)
              if not h.startswith("#")]
    return found


def test_reports_of_groups_and_series_have_their_sections(tmp_path):
    groups = [g.X for g in varkel.simulate_groups(3, (300, 400), 2, edge_probability=0.6)]
    files = [write_csv(tmp_path / f"g{k}.csv", X) for k, X in enumerate(groups)]
    done = run_cli("report", *files, "--groups", "--bootstrap", "3", "-o",
                   str(tmp_path / "groups.html"))
    assert done.returncode == 0, done.stderr
    page = (tmp_path / "groups.html").read_text(encoding="utf-8")
    assert all(f'id="graph-{g}"' in page and f'id="bootstrap-{g}"' in page for g in (0, 1))
    assert "g0.csv" in page and "varkel report" in page and refers_outside(page) == []
    series = write_csv(tmp_path / "s.csv", varkel.simulate_var(3, 500, 1).X)
    model = varkel.VARExhaustiveLiNGAM(lags=2, criterion=None).fit(
        np.loadtxt(series, delimiter=",", skiprows=1))
    done = run_cli("report", series, "--lags", "2", "-o", str(tmp_path / "s.html"))
    assert done.returncode == 0, done.stderr
    page = (tmp_path / "s.html").read_text(encoding="utf-8")
    assert all(f'id="lag-{lag}"' in page for lag in range(model.lags_ + 1)
               if np.any(model.adjacency_matrices_[lag]))
    assert refers_outside(page) == []


def test_a_report_refers_to_nothing_outside_itself(fitted):
    _, path = fitted
    page = path.read_text(encoding="utf-8")
    assert refers_outside(page) == []
    assert refers_outside('<a href="https://x.org">') != []  # the scan itself sees links
    assert "<svg" in page and 'id="margins"' in page and 'id="order-p"' in page


def test_report_refuses_an_unwritable_path_before_searching(tmp_path):
    file = write_csv(tmp_path / "d.csv", varkel.simulate_dag(3, 200, seed=1).X)
    done = run_cli("report", file, "-o", str(tmp_path / "missing" / "r.html"))
    assert done.returncode == 2 and "no such directory" in done.stderr
    assert done.stdout == ""
