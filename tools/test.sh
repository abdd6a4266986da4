#!/usr/bin/env bash
# Sets up the checkout, checks the Python code (ruff, mypy --strict), runs
# the test suite (the report's browser test included), builds the
# documentation site, runs a quick part of the suite on the regular interpreter against
# varkel's wheel for it, then runs the whole suite again against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
.venv/bin/ruff check .
.venv/bin/mypy
# The report's browser test must run here, not skip.
VARKEL_REQUIRE_BROWSER=1 .venv/bin/python -m pytest
echo "--- the documentation site, its tutorials run, warnings as errors"
bash tools/docs.sh
echo "--- the API, the estimator and the command line on the regular interpreter's wheel"
bash tools/test_regular.sh
echo "--- the same suite under AddressSanitizer and UndefinedBehaviorSanitizer"
bash tools/sanitize.sh -q
