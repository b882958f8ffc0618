#!/usr/bin/env bash
# Makes the packages in a build folder and checks what they hold.
#   check_packages.sh deb BUILD_DIR   the .deb: program, man page, completions
#   check_packages.sh zip BUILD_DIR   a Windows zip: the .exe and the README
set -euo pipefail
kind=$1
build=$(cd "$2" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
fail() {
  echo "package check: $*" >&2
  exit 1
}
make_package() {
  if ! (cd "$build" && cpack -G "$1") >"$build/cpack.log" 2>&1; then
    cat "$build/cpack.log" >&2
    fail "cpack -G $1 failed"
  fi
}

case $kind in
  deb)
    make_package DEB
    deb="$build/buildsweep_${version}_$(dpkg --print-architecture).deb"
    [ -f "$deb" ] || fail "no $deb"
    [ "$(dpkg-deb -f "$deb" Package)" = buildsweep ] || fail "wrong package name"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "wrong package version"
    contents=$(dpkg-deb -c "$deb")
    for path in ./usr/bin/buildsweep ./usr/share/man/man1/buildsweep.1 \
                ./usr/share/bash-completion/completions/buildsweep; do
      grep -q " $path\$" <<<"$contents" || fail "$path missing from $deb"
    done
    # The man page carries the same version as the program.
    # (Read whole first: grep -q stops early, and pipefail would count tar's
    # broken pipe as a failure.)
    man=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/man/man1/buildsweep.1)
    grep -q "^\.TH BUILDSWEEP 1 .*\"buildsweep $version\"" <<<"$man" || fail "man page version"
    [ "$("$build/buildsweep" --version)" = "buildsweep $version" ] || fail "program version"
    echo "package check: $(basename "$deb") holds the program, its man page and completion"
    ;;
  zip)
    make_package ZIP
    zip=$(ls "$build"/buildsweep-"$version"-windows-*.zip)
    listing=$(python3 -m zipfile -l "$zip" | awk 'NR > 1 { print $1 }' | sort | tr '\n' ' ')
    [ "$listing" = "README.md buildsweep.exe " ] || fail "$zip holds: $listing"
    echo "package check: $(basename "$zip") holds buildsweep.exe and README.md"
    ;;
  *)
    fail "unknown kind $kind"
    ;;
esac
