#!/usr/bin/env bash
# Installs whatever is missing, builds buildsweep and runs every test twice:
# once as released, and once more built with AddressSanitizer and
# UndefinedBehaviorSanitizer, where any report fails the run.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/prerequisites.sh"
install_missing_packages cmake g++ make libgtest-dev libgmock-dev tmux

jobs=$(nproc)
cmake -S "$repo" -B "$repo/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$repo/build" -j"$jobs"
ctest --test-dir "$repo/build" --output-on-failure -j"$jobs"

# A sanitizer report aborts the process that made it (the test binary, or
# the buildsweep a test runs), so the test it came from fails.
cmake -S "$repo" -B "$repo/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILDSWEEP_SANITIZE=ON >/dev/null
cmake --build "$repo/build-asan" -j"$jobs"
ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1 \
UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1 \
  ctest --test-dir "$repo/build-asan" --output-on-failure -j"$jobs"
