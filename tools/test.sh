#!/usr/bin/env bash
# Sets up the checkout, checks the Python code (ruff, mypy --strict), runs
# the test suite, runs a quick part of it on the regular interpreter against
# varkel's wheel for it, then runs the whole suite again against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
.venv/bin/ruff check .
.venv/bin/mypy
.venv/bin/python -m pytest
echo "--- the API, the estimator and the command line on the regular interpreter's wheel"
bash tools/test_regular.sh
echo "--- the same suite under AddressSanitizer and UndefinedBehaviorSanitizer"
bash tools/sanitize.sh -q
