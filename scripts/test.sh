#!/usr/bin/env bash
# Installs whatever is missing, builds buildsweep and runs every test.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/prerequisites.sh"
install_missing_packages cmake g++ make libgtest-dev libgmock-dev

jobs=$(nproc)
cmake -S "$repo" -B "$repo/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$repo/build" -j"$jobs"
ctest --test-dir "$repo/build" --output-on-failure -j"$jobs"

# The Windows executables, cross-built with the presets and tested under wine.
"$repo/scripts/test_windows.sh"
