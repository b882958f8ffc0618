#!/usr/bin/env bash
# Builds buildsweep and runs it on a throw-away demo project, never on your
# own files: the tree is made under a fresh temporary folder.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/prerequisites.sh"
install_missing_packages cmake g++ make
cmake -S "$repo" -B "$repo/build-demo" -DCMAKE_BUILD_TYPE=Release -DBUILDSWEEP_BUILD_TESTS=OFF >/dev/null
cmake --build "$repo/build-demo" --target buildsweep -j"$(nproc)" >/dev/null

demo=$(mktemp -d "${TMPDIR:-/tmp}/buildsweep-demo.XXXXXX")
trap 'rm -rf "$demo"' EXIT
proj="$demo/proj"
mkdir -p "$proj/Debug" "$proj/res" "$proj/src/Release"
touch "$proj/Debug/main.obj" "$proj/Debug/proj.ilk" "$proj/Debug/proj.pdb" \
      "$proj/main.cpp" "$proj/proj.ncb" "$proj/proj.suo" \
      "$proj/src/util.cpp" "$proj/src/util.cpp.bak" "$proj/src/Release/util.obj" \
      "$proj/src/Release/UTIL.OBJ" "$proj/src/Release/build.log"
echo "Demo project before the run:"
(cd "$demo" && find proj -type f | sort | sed 's/^/  /')
echo
if [ -t 0 ]; then
  (cd "$proj" && "$repo/build-demo/buildsweep")          # answer both prompts with Enter
else
  (cd "$proj" && printf '\n\n' | "$repo/build-demo/buildsweep")
fi
echo
echo "Demo project after the run:"
(cd "$demo" && find proj -type f | sort | sed 's/^/  /')
