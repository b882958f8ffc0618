#!/usr/bin/env bash
# Cross-builds buildsweep.exe for Windows x86 and x64 with the CMake presets,
# together with the unit tests, and runs them all under wine. Installs what
# is missing: MinGW-w64, wine (with its 32-bit half) and the Korean locale.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/prerequisites.sh"
started=$SECONDS
jobs=$(nproc)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# wine32 is an i386 package: apt must know the architecture before it looks.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi
install_missing_packages mingw-w64 wine wine64 wine32:i386 locales python3 libgtest-dev
# Wine runs with ANSI code page 949 under LANG=ko_KR.UTF-8 only when the
# host has that locale; without it, wine silently stays with 1252.
if ! locale -a 2>/dev/null | grep -qix 'ko_KR.utf8'; then
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
for arch in x86 x64; do
  case $arch in
    x86) triplet=i686-w64-mingw32 ;;
    x64) triplet=x86_64-w64-mingw32 ;;
  esac
  build="$repo/build-windows-$arch"
  # Exactly what a user runs...
  cmake --preset "windows-$arch" >/dev/null
  cmake --build --preset "windows-$arch" -j"$jobs"
  # ...then the same tree with the unit tests, against a GoogleTest built
  # from the system's sources for this target.
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
done

# What a Visual Studio user meets: a 32-bit build, where size_t is narrower
# than 64-bit values (-Wconversion finds what MSVC's C4244 reports), and a
# configure without GoogleTest, which leaves the tests out instead of failing.
cmake --preset windows-x86 -B "$repo/build-windows-x86-strict" -DBUILDSWEEP_BUILD_TESTS=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_CXX_FLAGS="-Wconversion -Werror" >/dev/null
cmake --build "$repo/build-windows-x86-strict" -j"$jobs"

"$repo/tests/wine/run_wine_tests.sh" "$repo/build-windows-x86" "$repo/build-windows-x64"
for arch in x86 x64; do
  "$repo/scripts/check_packages.sh" zip "$repo/build-windows-$arch"
done
echo "Windows builds and wine tests: $((SECONDS - started)) s"
