#!/usr/bin/env bash
# Sets up the checkout: builds (or reuses) the cached toolchain, creates
# .venv with the free-threaded interpreter and the build and test
# dependencies, and builds and installs the extension into it.
# Safe to run again; a repeat run takes seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

eval "$(bash tools/toolchain.sh)"

# .venv must be the free-threaded interpreter; recreate it if it is not ours.
if [ ! -x .venv/bin/python ] ||
   [ "$(readlink -f .venv/bin/python)" != "$(readlink -f "$PYTHON")" ]; then
  rm -rf .venv
  "$PYTHON" -m venv .venv
fi

# Dependencies, reinstalled only when the pinned list changes.
stamp=.venv/.requirements-$(sha256sum requirements-dev.txt | cut -c1-16)
if [ ! -f "$stamp" ]; then
  .venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt
  touch "$stamp"
fi

# The extension. build/ keeps CMake's tree, per toolchain, so a rebuild is
# incremental.
export SKBUILD_BUILD_DIR="build/$TOOLCHAIN_KEY-{wheel_tag}"
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
  --no-deps . >&2
.venv/bin/python -c 'import sys, _exhaustive_kernel
assert not sys._is_gil_enabled(), "the GIL came back on import"' >&2
