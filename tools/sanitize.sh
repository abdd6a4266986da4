#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (any finding aborts: -fno-sanitize-recover) into build/sanitize, and runs
# the whole test suite against that build with the sanitizer runtimes
# preloaded into the interpreter. Expects tools/setup.sh to have run.
#
# Leak checking stays on. The free-threaded interpreter keeps its objects in
# mimalloc arenas, which the leak checker does not scan, so buffers owned by
# live objects look leaked at exit; tools/lsan.supp names those owners
# (NumPy, OpenSSL, interpreter locks, pybind11's one-time registration).
# Everything the module's own code allocates is still checked.
set -euo pipefail
cd "$(dirname "$0")/.."

eval "$(bash tools/toolchain.sh)"
export CMAKE_PREFIX_PATH="$HWY_PREFIX:$DJBSORT_PREFIX${CMAKE_PREFIX_PATH:+:$CMAKE_PREFIX_PATH}"
python=$PWD/.venv/bin/python
out=$PWD/build/sanitize-$TOOLCHAIN_KEY

.venv/bin/cmake -S . -B "$out" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARKEL_SANITIZE=ON \
  -DSKBUILD_PROJECT_NAME=varkel -DSKBUILD_PROJECT_VERSION=0.1.0 \
  -DPython_EXECUTABLE="$python" -Dpybind11_DIR="$("$python" -m pybind11 --cmakedir)" >/dev/null
.venv/bin/cmake --build "$out" >/dev/null

runtimes="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
export LD_PRELOAD=$runtimes
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:exitcode=86"
export LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87"
export PYTHONPATH="$out:$PWD/python"
export VARKEL_SANITIZED=1
"$python" -c 'import _exhaustive_kernel, sys; assert _exhaustive_kernel.__file__.startswith(sys.argv[1]), _exhaustive_kernel.__file__' "$out"
exec "$python" -m pytest -p no:cacheprovider "$@"
