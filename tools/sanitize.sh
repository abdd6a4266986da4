#!/usr/bin/env bash
# Builds the extensions with AddressSanitizer and UndefinedBehaviorSanitizer
# (any finding aborts: -fno-sanitize-recover) into build/sanitize-<toolchain
# key>, and runs the whole test suite against that build with the sanitizer
# runtimes preloaded into the interpreter. Expects tools/setup.sh to have run.
#
# Leaks are checked in a process of their own, tools/leak_check.py, which
# runs the modules' allocating paths twice and exits with few threads alive:
# at the end of the whole suite, with many threads alive, the leak checker's
# thread tracer sometimes crashes ("Tracer caught signal 11"), which fails the
# run without any finding. A crash of the tracer, and only that, is retried.
# The free-threaded interpreter keeps its objects in mimalloc arenas, which
# the leak checker does not scan, so buffers owned by live objects look
# leaked at exit; tools/lsan.supp names those owners (NumPy, OpenSSL,
# interpreter locks, pybind11's one-time registration). Everything the
# modules' own code allocates is still checked.
set -euo pipefail
cd "$(dirname "$0")/.."

toolchain=$(bash tools/toolchain.sh) || { echo "sanitize: the toolchain could not be built (see above)" >&2; exit 1; }
eval "$toolchain"
python=$PWD/.venv/bin/python
out=$PWD/build/sanitize-$TOOLCHAIN_KEY

.venv/bin/cmake -S . -B "$out" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARKEL_SANITIZE=ON \
  -DSKBUILD_PROJECT_NAME=varkel -DSKBUILD_PROJECT_VERSION=0.1.0 \
  -DPython_EXECUTABLE="$python" -Dpybind11_DIR="$("$python" -m pybind11 --cmakedir)" >/dev/null
.venv/bin/cmake --build "$out" >/dev/null
# The build tree holds the sanitized engine in varkel/; the package's Python
# files join it there, so that `import varkel` loads the sanitized build.
for file in python/varkel/*; do ln -sf "$PWD/$file" "$out/varkel/"; done

runtimes="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
export LD_PRELOAD=$runtimes
# Reports go to files: pytest captures standard error, and a report written
# there is lost when the sanitizer ends the process. Huge requests return null
# (NumPy then raises MemoryError) instead of aborting.
logs=$out/logs
rm -rf "$logs"; mkdir -p "$logs"
asan_options="allocator_may_return_null=1:exitcode=86:log_path=$logs/asan"
export ASAN_OPTIONS="detect_leaks=0:$asan_options"
export LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87:log_path=$logs/ubsan"
export PYTHONPATH="$out:$out/testing"
export VARKEL_SANITIZED=1
"$python" -c '
import sys, _exhaustive_kernel, _exhaustive_testing, varkel._engine
for module in (_exhaustive_kernel, _exhaustive_testing, varkel._engine):
    assert module.__file__.startswith(sys.argv[1]), module.__file__' "$out"
status=0
"$python" -m pytest -p no:cacheprovider "$@" || status=$?
if [ "$status" -eq 0 ]; then
  for attempt in 1 2 3; do
    status=0
    ASAN_OPTIONS="detect_leaks=1:$asan_options:log_path=$logs/leaks-$attempt" \
      "$python" tools/leak_check.py || status=$?
    if [ "$status" -eq 0 ] || [ "$attempt" -eq 3 ] ||
       ! grep -q "Tracer caught signal" "$logs"/leaks-"$attempt".* 2>/dev/null; then
      break
    fi
    rm -f "$logs"/leaks-"$attempt".*
  done
fi
# Refused huge allocations only leave warnings; errors, UB reports and the
# sanitizers' own fatal errors fail.
reports=$(grep -l -E 'ERROR: |runtime error|fatal error' "$logs"/* 2>/dev/null || true)
if [ -n "$reports" ]; then
  echo "sanitizer reports:" >&2
  cat $reports >&2
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
