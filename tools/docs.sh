#!/usr/bin/env bash
# Builds the documentation site into docs/_build/html with warnings as
# errors, after running every tutorial's code (Sphinx's doctest builder), so
# that neither a broken reference nor a stale example gets through. Needs
# the set-up (bash tools/setup.sh) first.
set -euo pipefail
cd "$(dirname "$0")/.."
export MPLBACKEND=Agg
.venv/bin/python -m sphinx -W --keep-going -q -b doctest docs docs/_build/doctest
.venv/bin/python -m sphinx -W --keep-going -q -b html docs docs/_build/html
echo "docs: docs/_build/html/index.html"
