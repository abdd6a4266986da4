#!/usr/bin/env bash
# Runs a quick part of the test suite (the API, the estimator, the command
# line, and the two interpreters against each other) on the machine's regular
# `python3`, against varkel's wheel for it installed in a virtual environment
# of its own (build/wheels/test-<tag>), away from the development build.
# Expects tools/setup.sh to have run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
wheel=$(bash tools/wheels.sh --regular | tail -1)
tag=$(basename "$wheel" | cut -d- -f3)
env=$root/build/wheels/test-$tag
if [ ! -x "$env/bin/python" ]; then
  python3 -m venv "$env"
fi
# The same pinned releases as the development environment, from wheels.
stamp=$env/.requirements-$(sha256sum requirements-dev.txt | cut -c1-16)
if [ ! -f "$stamp" ]; then
  "$env/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: \
    -c requirements-dev.txt numpy scipy scikit-learn pyarrow pandas matplotlib pytest \
    hypothesis pydot >&2
  touch "$stamp"
fi
"$env/bin/python" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall \
  "$wheel" >&2
cd "$root"
VARKEL_OTHER_PYTHON=$root/.venv/bin/python "$env/bin/python" -m pytest -p no:cacheprovider \
  -q "$@" tests/test_api.py tests/test_estimator.py tests/test_cli.py tests/test_csv.py \
  tests/test_interpreters.py
