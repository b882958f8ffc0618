#!/usr/bin/env bash
# Installs whatever is missing, builds buildsweep and runs every test three
# times: once as released, once built with AddressSanitizer and
# UndefinedBehaviorSanitizer, and once with ThreadSanitizer; any sanitizer
# report fails the run. Then the Windows executables are cross-built and
# tested under wine.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/prerequisites.sh"
install_missing_packages cmake g++ make libgtest-dev libgmock-dev tmux dpkg-dev git python3 trash-cli
install_korean_euc_locale

jobs=$(nproc)
cmake -S "$repo" -B "$repo/build" -DCMAKE_BUILD_TYPE=Release -DBUILDSWEEP_BUILD_TESTS=ON >/dev/null
cmake --build "$repo/build" -j"$jobs"
ctest --test-dir "$repo/build" --output-on-failure -j"$jobs"
"$repo/scripts/check_packages.sh" deb "$repo/build"

# A sanitizer report aborts the process that made it (the test binary, or
# the buildsweep a test runs), so the test it came from fails.
cmake -S "$repo" -B "$repo/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILDSWEEP_SANITIZE=ON >/dev/null
cmake --build "$repo/build-asan" -j"$jobs"
ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1 \
UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1 \
  ctest --test-dir "$repo/build-asan" --output-on-failure -j"$jobs"

# The cleaning threads under ThreadSanitizer: any data race the suite's
# parallel runs reach fails the test (in-process) or the program it ran.
cmake -S "$repo" -B "$repo/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILDSWEEP_TSAN=ON >/dev/null
cmake --build "$repo/build-tsan" -j"$jobs"
TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$repo/build-tsan" --output-on-failure -j"$jobs"

# Where clang and its libFuzzer runtime are installed, also let the fuzzers
# loose on the name rule and the escaping of printed paths, and on the git
# index reader, for a while each.
fuzz="$repo/build-fuzz"
mkdir -p "$fuzz"
if command -v clang++ >/dev/null &&
   echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
     clang++ -x c++ -fsanitize=fuzzer - -o "$fuzz/probe" 2>/dev/null; then
  cmake -S "$repo" -B "$fuzz" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILDSWEEP_FUZZ=ON >/dev/null
  cmake --build "$fuzz" -j"$jobs" --target buildsweep_name_fuzzer buildsweep_git_index_fuzzer
  for fuzzer in name:15 git_index:10; do
    name=${fuzzer%:*}
    if ! "$fuzz/tests/buildsweep_${name}_fuzzer" -max_total_time="${fuzzer#*:}" -seed=1 \
         -artifact_prefix="$fuzz/$name-" >"$fuzz/$name-fuzz.log" 2>&1; then
      cat "$fuzz/$name-fuzz.log"
      echo "The $name fuzzer found a failing input (saved in $fuzz/)."
      exit 1
    fi
    tail -n 1 "$fuzz/$name-fuzz.log"
  done
else
  echo "clang with libFuzzer not installed: fuzzers skipped"
fi

# The Windows executables, cross-built with the presets and tested under wine.
"$repo/scripts/test_windows.sh"
