#!/usr/bin/env bash
# Sets up the checkout, checks the Python code (ruff, mypy --strict), runs
# the test suite, then runs it again against a build with AddressSanitizer
# and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
.venv/bin/ruff check .
.venv/bin/mypy
.venv/bin/python -m pytest
echo "--- the same suite under AddressSanitizer and UndefinedBehaviorSanitizer"
bash tools/sanitize.sh -q
