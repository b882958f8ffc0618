#!/usr/bin/env bash
# Cross-builds buildsweep.exe for one Windows architecture (x64 or x86) with
# the CMake presets, together with the unit tests where wine can run them,
# checks its ZIP, and runs them all under wine. Installs what is missing: MinGW-w64, wine (for x86 its
# 32-bit half) and the Korean locale.
#
# Usage: test_windows.sh x64|x86
# Exit 77, after a line saying why, when this machine can't offer what the
# build needs (MinGW-w64); the x86 build is still built and checked where
# wine can't run it, and the line "not run: REASON" says so.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/prerequisites.sh"
arch=${1:?usage: test_windows.sh x64|x86}
jobs=$(nproc)
case $arch in
  x86) triplet=i686-w64-mingw32 ;;
  x64) triplet=x86_64-w64-mingw32 ;;
  *) echo "usage: test_windows.sh x64|x86" >&2; exit 2 ;;
esac

skip() {
  echo "skipped: $*"
  exit 77
}
# Said once, on the last line, for the summary of scripts/test.sh.
not_run=""

install_missing_packages mingw-w64 python3 libgtest-dev ||
  skip "MinGW-w64 could not be installed"

# wine32 is an i386 package, and once i386 is an architecture of the system
# every later `apt-get update` fetches its index too, where a mirror mid-sync
# or i386 libraries older than the amd64 ones already installed break it. So
# the architecture is added for this one attempt and taken away again when
# it fails, and a failure only means the 32-bit build is not run.
install_wine32() {
  [ -z "$(missing_packages wine32:i386)" ] && return 0
  local added=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386 || return 1
    added=1
  fi
  install_missing_packages wine32:i386 && return 0
  if [ "$added" = 1 ]; then
    as_root dpkg --remove-architecture i386 ||
      echo "dpkg kept the i386 architecture (above); apt-get update may fetch its index from now on"
  fi
  return 1
}

runs_wine=1
if ! install_missing_packages wine wine64 locales; then
  runs_wine=0
  not_run="wine could not be installed"
elif [ "$arch" = x86 ]; then
  if ! install_wine32; then
    runs_wine=0
    not_run="wine32 (i386) could not be installed"
  elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    runs_wine=0
    not_run="this machine runs no 32-bit programs"
  fi
fi
# Wine runs with ANSI code page 949 under LANG=ko_KR.UTF-8 only when the
# host has that locale; without it, wine silently stays with 1252.
if [ "$runs_wine" = 1 ] && ! locale -a 2>/dev/null | grep -qix 'ko_KR.utf8'; then
  as_root localedef -i ko_KR -f UTF-8 ko_KR.UTF-8
fi

# The committed icon must be the one the script draws.
icon=$(mktemp "${TMPDIR:-/tmp}/buildsweep-icon.XXXXXX")
trap 'rm -f "$icon"' EXIT
python3 "$repo/res/make_icon.py" "$icon"
if ! cmp -s "$icon" "$repo/res/buildsweep.ico"; then
  echo "res/buildsweep.ico differs from what res/make_icon.py draws" >&2
  exit 1
fi

cd "$repo"
build="$repo/build-windows-$arch"
# What a Visual Studio user meets: a 32-bit build, where size_t is narrower
# than 64-bit values (-Wconversion finds what MSVC's C4244 reports), and a
# configure without GoogleTest, which leaves the tests out instead of failing.
strict_x86() {
  cmake --preset windows-x86 -B "$1" -DBUILDSWEEP_BUILD_TESTS=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_CXX_FLAGS="-Wconversion -Werror" >/dev/null
  cmake --build "$1" -j"$jobs"
}
# Exactly what a user runs, with the unit tests beside it, against a
# GoogleTest built from the system's sources for this target. Where wine
# can't run them, the tests are not built: the other architecture's build
# compiles the same sources; and an x86 that is not run is built once, the
# strict way, which makes the same program and is what gets packaged.
if [ "$runs_wine" = 1 ]; then
  gtest="$build/googletest"
  if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
    cmake -S /usr/src/googletest -B "$build/googletest-build" \
      -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-$triplet.cmake" -DCMAKE_BUILD_TYPE=Release \
      -DBUILD_GMOCK=OFF -Dgtest_disable_pthreads=ON -DCMAKE_INSTALL_PREFIX="$gtest" >/dev/null
    cmake --build "$build/googletest-build" -j"$jobs" >/dev/null
    cmake --install "$build/googletest-build" >/dev/null
  fi
  cmake --preset "windows-$arch" -DBUILDSWEEP_BUILD_TESTS=ON -DGTest_DIR="$gtest/lib/cmake/GTest" >/dev/null
  cmake --build --preset "windows-$arch" -j"$jobs"
  if [ "$arch" = x86 ]; then strict_x86 "$repo/build-windows-x86-strict"; fi
elif [ "$arch" = x86 ]; then
  build="$repo/build-windows-x86-strict"
  strict_x86 "$build"
else
  cmake --preset "windows-$arch" -DBUILDSWEEP_BUILD_TESTS=OFF >/dev/null
  cmake --build --preset "windows-$arch" -j"$jobs"
fi
"$repo/scripts/check_packages.sh" zip "$build"

if [ "$runs_wine" = 1 ]; then
  "$repo/tests/wine/run_wine_tests.sh" "$build"
else
  echo "not run: $not_run"
fi
