#!/usr/bin/env bash
# Sets up the checkout: builds (or reuses) the cached toolchain, creates
# .venv with the free-threaded interpreter and the pinned dependencies, and
# builds and installs varkel into it. Safe to run again; a repeat run takes
# seconds. Stops at the first failure and says why.
set -euo pipefail
cd "$(dirname "$0")/.."

toolchain=$(bash tools/toolchain.sh) || { echo "setup: the toolchain could not be built (see above)" >&2; exit 1; }
eval "$toolchain"

# Debian's chromium renders the HTML reports in the browser test.
if ! command -v chromium >/dev/null; then
  as_root=$([ "$(id -u)" = 0 ] && echo "" || echo sudo)
  export DEBIAN_FRONTEND=noninteractive
  $as_root apt-get install -y -q --no-install-recommends chromium >&2 ||
    { $as_root apt-get update -q >&2 &&
      $as_root apt-get install -y -q --no-install-recommends chromium >&2; } ||
    { echo "setup: could not install Debian's chromium package (the report's browser test needs it)" >&2; exit 1; }
fi

# .venv must be the free-threaded interpreter; recreate it if it is not ours.
if [ ! -x .venv/bin/python ] ||
   [ "$(readlink -f .venv/bin/python)" != "$(readlink -f "$PYTHON")" ]; then
  rm -rf .venv
  "$PYTHON" -m venv .venv
fi

# Dependencies, reinstalled only when the pinned list changes. Only binary
# wheels are accepted, so a missing wheel fails here instead of starting a
# long source build.
stamp=.venv/.requirements-$(sha256sum requirements-dev.txt | cut -c1-16)
if [ ! -f "$stamp" ]; then
  .venv/bin/python -m pip install -q --disable-pip-version-check --only-binary=:all: \
    -r requirements-dev.txt
  touch "$stamp"
fi

# varkel and its extensions. build/ keeps CMake's tree, per toolchain, so a
# rebuild is incremental.
build=build/$TOOLCHAIN_KEY
export SKBUILD_BUILD_DIR=$build
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
  --no-deps . >&2
# The test-only module stays in the build tree; the development environment
# finds it through a path file.
site=$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
echo "$PWD/$build/testing" > "$site/varkel-testing-module.pth"
.venv/bin/python -c 'import sys, _exhaustive_kernel, _exhaustive_testing, varkel._engine
assert not sys._is_gil_enabled(), "the GIL came back on import"' >&2
