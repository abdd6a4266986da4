#!/usr/bin/env bash
# Builds the toolchain the extension needs and caches it outside the checkout:
#   - a free-threaded CPython 3.13 from Debian's python3.13 source,
#   - Highway 1.3 (static, position-independent) from Debian's source,
#   - djbsort's static library and header from Debian's libdjbsort-dev.
# Each piece lives in its own directory keyed by its version and by the
# revision of its recipe below, so a repeat run finds everything and takes
# seconds. Prints on stdout only shell assignments for the caller to eval:
# the interpreter, the prefixes, CMAKE_PREFIX_PATH and the toolchain's key.
#
# Only Debian's archive and PyPI are reachable here; the newer suites are read
# through a private apt configuration so the system's package state is never
# touched. Debian's rolling suites drop old versions: when a pinned version is
# no longer served, the newest version of the same series is taken instead,
# and the script says so.
set -Eeuo pipefail

log() { printf '[toolchain] %s\n' "$*" >&2; }
trap 'log "failed (exit $?) at line $LINENO: $BASH_COMMAND"' ERR

# Pinned Debian versions, and the series a replacement must come from.
PY_DEB=3.13.15-1;        PY_SERIES=3.13.
HWY_DEB=1.3.0-5.1;       HWY_SERIES=1.3.
DJB_DEB=0~20260621-2;    DJB_SERIES=0~
# Bump a recipe number whenever its build steps change.
PY_RECIPE=1
HWY_RECIPE=3
DJB_RECIPE=1

HERE=$(cd "$(dirname "$0")" && pwd)
CACHE=${VARKEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/varkel-toolchain}
JOBS=$(nproc 2>/dev/null || echo 2)
mkdir -p "$CACHE"

APT_OPTS=(-o "Dir::Etc::sourcelist=$CACHE/apt/sources.list" -o Dir::Etc::sourceparts=/dev/null
          -o "Dir::State::Lists=$CACHE/apt/lists" -o "Dir::Cache::archives=$CACHE/apt/archives"
          -o APT::Sandbox::User=root)

# A private apt configuration that reads the archive's forky suite. With
# "refresh" the package lists are read again even if they were read before.
apt_private() {
  local dir=$CACHE/apt
  if [ ! -f "$dir/updated" ] || [ "${1:-}" = refresh ]; then
    mkdir -p "$dir/lists/partial" "$dir/archives/partial"
    local uri
    uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    uri=${uri:-http://deb.debian.org/debian}
    printf 'deb %s forky main\ndeb-src %s forky main\n' "$uri" "$uri" > "$dir/sources.list"
    apt-get "${APT_OPTS[@]}" update >&2
    touch "$dir/updated"
  fi
}

# Versions of a source (kind "source") or binary package the archive lists.
listed_versions() {  # listed_versions KIND PACKAGE
  if [ "$1" = source ]; then
    apt-cache "${APT_OPTS[@]}" showsrc "$2" 2>/dev/null | awk '/^Version:/ {print $2}'
  else
    apt-cache "${APT_OPTS[@]}" madison "$2" 2>/dev/null | awk -F'|' '{gsub(/ /, "", $2); print $2}'
  fi
}

# The version to use: the pinned one while the archive lists it, otherwise
# the newest listed one of the same series. The answer is remembered, so a
# cached build of a replacement is found again without asking the archive.
resolve_version() {  # resolve_version KIND PACKAGE PINNED SERIES
  local memo=$CACHE/versions/$2-$3
  if [ -f "$memo" ]; then cat "$memo"; return; fi
  apt_private refresh
  local listed chosen
  listed=$(listed_versions "$1" "$2" | sort -u)
  if grep -qxF "$3" <<<"$listed"; then
    chosen=$3
  else
    chosen=$(grep -F "$4" <<<"$listed" | grep "^$4" | sort -V | tail -1 || true)
    [ -n "$chosen" ] || { log "$2 $3 is no longer served, and no other $4* version is listed"; exit 1; }
    log "$2 $3 is no longer served by the archive; using $chosen, the newest of the same series"
  fi
  mkdir -p "$CACHE/versions"
  echo "$chosen" > "$memo"
  echo "$chosen"
}

fetch_source() {  # fetch_source PACKAGE VERSION -> downloads into $CACHE/src
  mkdir -p "$CACHE/src"
  (cd "$CACHE/src" && apt-get "${APT_OPTS[@]}" source --download-only "$1=$2" >&2)
}

upstream() { echo "${1%-*}"; }  # 3.13.15-1 -> 3.13.15

python_prefix() { echo "$CACHE/python-$(upstream "$1")-ft-r$PY_RECIPE"; }
highway_prefix() { echo "$CACHE/highway-$(upstream "$1")-r$HWY_RECIPE"; }
djbsort_prefix() { echo "$CACHE/djbsort-$1-r$DJB_RECIPE"; }

build_python() {  # build_python DEBIAN_VERSION
  local prefix version; prefix=$(python_prefix "$1"); version=$(upstream "$1")
  [ -f "$prefix/.complete" ] && return
  log "building free-threaded CPython $version into $prefix (about 5 minutes)"
  apt_private
  fetch_source python3.13 "$1"
  local work; work=$(mktemp -d)
  tar -xf "$CACHE/src/python3.13_$version.orig.tar.xz" -C "$work"
  # The prefix is baked into the interpreter, so it is built in place; the
  # stamp file marks a finished install.
  rm -rf "$prefix"
  (cd "$work"/Python-"$version" &&
     ./configure --disable-gil --prefix="$prefix" >"$work/configure.log" 2>&1 &&
     make -j"$JOBS" >"$work/make.log" 2>&1 &&
     make install >"$work/install.log" 2>&1) || { log "CPython build failed; logs in $work"; exit 1; }
  touch "$prefix/.complete"
  rm -rf "$work"
}

build_highway() {  # build_highway DEBIAN_VERSION
  local prefix version; prefix=$(highway_prefix "$1"); version=$(upstream "$1")
  [ -f "$prefix/lib/libhwy_pool.a" ] && return
  log "building Highway $version into $prefix"
  apt_private
  fetch_source highway "$1"
  local work; work=$(mktemp -d)
  tar -xf "$CACHE/src/highway_$version.orig.tar.gz" -C "$work"
  local src; src=$(echo "$work"/highway-*)
  # Without this, a refused worker thread terminates the process.
  patch -s -p1 -d "$src" < "$HERE/patches/highway-1.3.0-pool-thread-failure.patch"
  # Only the core library is built, plus the few contrib sources needed: the
  # thread pool's topology, and the double sort that the engine and the
  # pool's auto-tuner use; the full contrib sort would dominate the build.
  cmake -S "$src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
    -DHWY_ENABLE_TESTS=OFF -DHWY_ENABLE_EXAMPLES=OFF -DHWY_ENABLE_CONTRIB=OFF \
    -DHWY_ENABLE_INSTALL=ON -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DCMAKE_INSTALL_PREFIX="$prefix.part" >"$work/cmake.log" 2>&1
  cmake --build "$work/build" -j"$JOBS" --target hwy >"$work/build.log" 2>&1
  cmake --install "$work/build" >"$work/install.log" 2>&1
  local objects=() pids=()
  for file in contrib/thread_pool/topology.cc contrib/sort/vqsort.cc contrib/sort/vqsort_f64a.cc; do
    local object=$work/$(basename "$file" .cc).o
    g++ -O2 -fPIC -std=c++17 -ffp-contract=off -DHWY_STATIC_DEFINE -DTOOLCHAIN_MISS_ASM_HWCAP_H \
      -I"$src" -c "$src/hwy/$file" -o "$object" &
    pids+=($!)
    objects+=("$object")
  done
  for pid in "${pids[@]}"; do wait "$pid"; done
  ar rcs "$prefix.part/lib/libhwy_pool.a" "${objects[@]}"
  # Headers the install step leaves out: those the thread pool includes.
  local inc=$prefix.part/include/hwy
  cp "$src"/hwy/bit_set.h "$src"/hwy/stats.h "$src"/hwy/perf_counters.h "$inc"/
  mkdir -p "$inc/contrib/thread_pool" "$inc/contrib/sort"
  cp "$src"/hwy/contrib/thread_pool/*.h "$inc/contrib/thread_pool/"
  cp "$src"/hwy/contrib/sort/vqsort.h "$src"/hwy/contrib/sort/order.h "$inc/contrib/sort/"
  rm -rf "$prefix"; mv "$prefix.part" "$prefix"
  rm -rf "$work"
}

build_djbsort() {  # build_djbsort DEBIAN_VERSION
  local prefix; prefix=$(djbsort_prefix "$1")
  [ -f "$prefix/lib/libdjbsort_private.a" ] && return
  log "unpacking djbsort $1 into $prefix"
  apt_private
  mkdir -p "$CACHE/debs"
  (cd "$CACHE/debs" && apt-get "${APT_OPTS[@]}" download "libdjbsort-dev=$1" >&2)
  local work; work=$(mktemp -d)
  dpkg-deb -x "$CACHE/debs/libdjbsort-dev_${1}_amd64.deb" "$work"
  mkdir -p "$prefix.part/include" "$prefix.part/lib"
  cp "$work"/usr/include/djbsort.h "$prefix.part/include/"
  local lib; lib=$(find "$work" -name libdjbsort.a | head -1)
  # The library defines its own float64 selector under the name the module's
  # selector uses. A renamed private copy keeps the two apart, and gives the
  # AVX2 and portable float64 sorts the names the module calls them by.
  objcopy --redefine-sym djbsort_float64=djbsort_library_float64 \
    --redefine-sym djbsort_float64_avx2useint64_C0=djbsort_float64_avx2 \
    --redefine-sym djbsort_float64_useint64_C1=djbsort_float64_portable \
    "$lib" "$prefix.part/lib/libdjbsort_private.a"
  rm -rf "$prefix"; mv "$prefix.part" "$prefix"
  rm -rf "$work"
}

# The pinned version when it is already built, else the version to build.
choose() {  # choose KIND PACKAGE PINNED SERIES PREFIX_FUNCTION STAMP
  if [ -e "$($5 "$3")/$6" ]; then echo "$3"; else resolve_version "$1" "$2" "$3" "$4"; fi
}

py_deb=$(choose source python3.13 "$PY_DEB" "$PY_SERIES" python_prefix .complete)
hwy_deb=$(choose source highway "$HWY_DEB" "$HWY_SERIES" highway_prefix lib/libhwy_pool.a)
djb_deb=$(choose binary libdjbsort-dev "$DJB_DEB" "$DJB_SERIES" djbsort_prefix lib/libdjbsort_private.a)
build_python "$py_deb"
build_highway "$hwy_deb"
build_djbsort "$djb_deb"
PY_PREFIX=$(python_prefix "$py_deb")
HWY_PREFIX=$(highway_prefix "$hwy_deb")
DJB_PREFIX=$(djbsort_prefix "$djb_deb")
echo "PYTHON=$PY_PREFIX/bin/python3"
echo "HWY_PREFIX=$HWY_PREFIX"
echo "DJBSORT_PREFIX=$DJB_PREFIX"
echo "export CMAKE_PREFIX_PATH=\"$HWY_PREFIX:$DJB_PREFIX\${CMAKE_PREFIX_PATH:+:\$CMAKE_PREFIX_PATH}\""
# Names the toolchain, so that build trees made with another one are not reused.
echo "TOOLCHAIN_KEY=$(echo "$PY_PREFIX $HWY_PREFIX $DJB_PREFIX" | sha256sum | cut -c1-12)"
