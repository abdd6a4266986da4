#!/usr/bin/env bash
# Builds the toolchain the extension needs and caches it outside the checkout:
#   - a free-threaded CPython 3.13 from Debian's python3.13 source,
#   - Highway 1.3.0 (static, position-independent) from Debian's source,
#   - djbsort's static library and header from Debian's libdjbsort-dev.
# Each piece lives in its own directory keyed by its version and by the
# revision of its recipe below, so a repeat run finds everything and takes
# seconds. Prints on stdout only shell assignments for the caller to eval:
# the interpreter, the prefixes, CMAKE_PREFIX_PATH and the toolchain's key.
#
# Only Debian's archive and PyPI are reachable here; the newer suites are read
# through a private apt configuration so the system's package state is never
# touched.
set -euo pipefail

PY_VERSION=3.13.15
PY_DEB=3.13.15-1
HWY_VERSION=1.3.0
DJB_DEB=0~20260621-2
# Bump a recipe number whenever its build steps change.
PY_RECIPE=1
HWY_RECIPE=3
DJB_RECIPE=1

HERE=$(cd "$(dirname "$0")" && pwd)
CACHE=${VARKEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/varkel-toolchain}
PY_PREFIX=$CACHE/python-$PY_VERSION-ft-r$PY_RECIPE
HWY_PREFIX=$CACHE/highway-$HWY_VERSION-r$HWY_RECIPE
DJB_PREFIX=$CACHE/djbsort-$DJB_DEB-r$DJB_RECIPE
JOBS=$(nproc 2>/dev/null || echo 2)

log() { printf '[toolchain] %s\n' "$*" >&2; }

# A private apt configuration that reads the archive's forky suite.
apt_private() {
  local dir=$CACHE/apt
  if [ ! -f "$dir/updated" ]; then
    mkdir -p "$dir/lists/partial" "$dir/archives/partial"
    local uri
    uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    uri=${uri:-http://deb.debian.org/debian}
    printf 'deb %s forky main\ndeb-src %s forky main\n' "$uri" "$uri" > "$dir/sources.list"
    apt-get "${APT_OPTS[@]}" update >&2
    touch "$dir/updated"
  fi
}
APT_OPTS=(-o "Dir::Etc::sourcelist=$CACHE/apt/sources.list" -o Dir::Etc::sourceparts=/dev/null
          -o "Dir::State::Lists=$CACHE/apt/lists" -o "Dir::Cache::archives=$CACHE/apt/archives"
          -o APT::Sandbox::User=root)

fetch_source() {  # fetch_source PACKAGE VERSION -> downloads into $CACHE/src
  mkdir -p "$CACHE/src"
  (cd "$CACHE/src" && apt-get "${APT_OPTS[@]}" source --download-only "$1=$2" >&2)
}

build_python() {
  [ -f "$PY_PREFIX/.complete" ] && return
  log "building free-threaded CPython $PY_VERSION into $PY_PREFIX (about 5 minutes)"
  apt_private
  fetch_source python3.13 "$PY_DEB"
  local work; work=$(mktemp -d)
  tar -xf "$CACHE/src/python3.13_$PY_VERSION.orig.tar.xz" -C "$work"
  # The prefix is baked into the interpreter, so it is built in place; the
  # stamp file marks a finished install.
  rm -rf "$PY_PREFIX"
  (cd "$work"/Python-$PY_VERSION &&
     ./configure --disable-gil --prefix="$PY_PREFIX" >"$work/configure.log" 2>&1 &&
     make -j"$JOBS" >"$work/make.log" 2>&1 &&
     make install >"$work/install.log" 2>&1) || { log "CPython build failed; logs in $work"; exit 1; }
  touch "$PY_PREFIX/.complete"
  rm -rf "$work"
}

build_highway() {
  [ -f "$HWY_PREFIX/lib/libhwy_pool.a" ] && return
  log "building Highway $HWY_VERSION into $HWY_PREFIX"
  apt_private
  fetch_source highway "$HWY_VERSION-5.1"
  local work; work=$(mktemp -d)
  tar -xf "$CACHE/src/highway_$HWY_VERSION.orig.tar.gz" -C "$work"
  local src; src=$(echo "$work"/highway-*)
  # Without this, a refused worker thread terminates the process.
  patch -s -p1 -d "$src" < "$HERE/patches/highway-1.3.0-pool-thread-failure.patch"
  # Only the core library is built, plus the few contrib sources the thread
  # pool needs (its topology, and the double sort its auto-tuner uses); the
  # full contrib sort would dominate the build.
  cmake -S "$src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
    -DHWY_ENABLE_TESTS=OFF -DHWY_ENABLE_EXAMPLES=OFF -DHWY_ENABLE_CONTRIB=OFF \
    -DHWY_ENABLE_INSTALL=ON -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DCMAKE_INSTALL_PREFIX="$HWY_PREFIX.part" >"$work/cmake.log" 2>&1
  cmake --build "$work/build" -j"$JOBS" --target hwy >"$work/build.log" 2>&1
  cmake --install "$work/build" >"$work/install.log" 2>&1
  local objects=()
  for file in contrib/thread_pool/topology.cc contrib/sort/vqsort.cc contrib/sort/vqsort_f64a.cc; do
    local object=$work/$(basename "$file" .cc).o
    g++ -O2 -fPIC -std=c++17 -ffp-contract=off -DHWY_STATIC_DEFINE -DTOOLCHAIN_MISS_ASM_HWCAP_H \
      -I"$src" -c "$src/hwy/$file" -o "$object" &
    objects+=("$object")
  done
  wait
  ar rcs "$HWY_PREFIX.part/lib/libhwy_pool.a" "${objects[@]}"
  # Headers the install step leaves out: those the thread pool includes.
  local inc=$HWY_PREFIX.part/include/hwy
  cp "$src"/hwy/bit_set.h "$src"/hwy/stats.h "$src"/hwy/perf_counters.h "$inc"/
  mkdir -p "$inc/contrib/thread_pool" "$inc/contrib/sort"
  cp "$src"/hwy/contrib/thread_pool/*.h "$inc/contrib/thread_pool/"
  cp "$src"/hwy/contrib/sort/vqsort.h "$src"/hwy/contrib/sort/order.h "$inc/contrib/sort/"
  rm -rf "$HWY_PREFIX"; mv "$HWY_PREFIX.part" "$HWY_PREFIX"
  rm -rf "$work"
}

build_djbsort() {
  [ -f "$DJB_PREFIX/lib/libdjbsort_private.a" ] && return
  log "unpacking djbsort $DJB_DEB into $DJB_PREFIX"
  apt_private
  mkdir -p "$CACHE/debs"
  (cd "$CACHE/debs" && apt-get "${APT_OPTS[@]}" download "libdjbsort-dev=$DJB_DEB" >&2)
  local work; work=$(mktemp -d)
  dpkg-deb -x "$CACHE/debs/libdjbsort-dev_${DJB_DEB/\~/%7e}_amd64.deb" "$work" 2>/dev/null ||
    dpkg-deb -x "$CACHE"/debs/libdjbsort-dev_*_amd64.deb "$work"
  mkdir -p "$DJB_PREFIX.part/include" "$DJB_PREFIX.part/lib"
  cp "$work"/usr/include/djbsort.h "$DJB_PREFIX.part/include/"
  local lib; lib=$(find "$work" -name libdjbsort.a | head -1)
  # The library defines its own float64 selector under the name the module's
  # selector uses. A renamed private copy keeps the two apart, and gives the
  # AVX2 and portable float64 sorts the names the module calls them by.
  objcopy --redefine-sym djbsort_float64=djbsort_library_float64 \
    --redefine-sym djbsort_float64_avx2useint64_C0=djbsort_float64_avx2 \
    --redefine-sym djbsort_float64_useint64_C1=djbsort_float64_portable \
    "$lib" "$DJB_PREFIX.part/lib/libdjbsort_private.a"
  rm -rf "$DJB_PREFIX"; mv "$DJB_PREFIX.part" "$DJB_PREFIX"
  rm -rf "$work"
}

build_python
build_highway
build_djbsort
echo "PYTHON=$PY_PREFIX/bin/python3"
echo "HWY_PREFIX=$HWY_PREFIX"
echo "DJBSORT_PREFIX=$DJB_PREFIX"
echo "export CMAKE_PREFIX_PATH=\"$HWY_PREFIX:$DJB_PREFIX\${CMAKE_PREFIX_PATH:+:\$CMAKE_PREFIX_PATH}\""
# Names the toolchain, so that build trees made with another one are not reused.
echo "TOOLCHAIN_KEY=$(echo "$PY_PREFIX $HWY_PREFIX $DJB_PREFIX" | sha256sum | cut -c1-12)"
