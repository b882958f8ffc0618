#!/usr/bin/env bash
# Installs whatever is missing, builds buildsweep and runs every test: as
# released, built with AddressSanitizer and UndefinedBehaviorSanitizer, and
# with ThreadSanitizer (any sanitizer report fails the run); the fuzzers for a
# while; the Debian package; and the Windows executables, cross-built and
# tested under wine.
#
# Each part runs on its own: one that fails does not keep the others from
# running, and one that needs what this machine can't offer (MinGW-w64,
# wine, 32-bit wine, clang's libFuzzer) is skipped with one line saying why.
# The summary at the end names every part with its result and time. The
# status is 0 when every part that could run passed; only the packages the
# build and the Linux tests need are required, and without them nothing runs.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/prerequisites.sh"
jobs=$(nproc)
started=$SECONDS

if ! install_missing_packages cmake g++ make libgtest-dev libgmock-dev tmux dpkg-dev git python3 trash-cli; then
  echo "The packages the build and its tests need could not be installed (see above): nothing was run." >&2
  exit 1
fi
install_korean_euc_locale

notes=$(mktemp -d "${TMPDIR:-/tmp}/buildsweep-test.XXXXXX")
trap 'rm -rf "$notes"' EXIT
summary=()
failed_parts=0
passed_parts=0
skipped_parts=0

# Runs the function FN as the part NAME, in a subshell of its own that stops
# at its first failing command; a part ends with status 77 to say it was
# skipped, its reason in $notes/why, and may leave a word on what it ran in
# $notes/detail.
part() {
  local name=$1 fn=$2 part_started=$SECONDS status result
  rm -f "$notes/why" "$notes/detail"
  echo
  echo "=== $name"
  set +e
  (set -e; "$fn")
  status=$?
  set -e
  case $status in
    0) result="passed$(detail)"; passed_parts=$((passed_parts + 1)) ;;
    77) result="skipped: $(cat "$notes/why" 2>/dev/null || true)"; skipped_parts=$((skipped_parts + 1)) ;;
    *) result="FAILED (status $status)$(detail)"; failed_parts=$((failed_parts + 1)) ;;
  esac
  summary+=("$(printf '%-22s %5d s   %s' "$name" $((SECONDS - part_started)) "$result")")
}
detail() {
  if [ -s "$notes/detail" ]; then printf ' (%s)' "$(cat "$notes/detail")"; fi
}
skip() {
  echo "skipped: $*"
  echo "$*" >"$notes/why"
  exit 77
}

# ctest over BUILD with ENV before it; what it counted goes to the detail.
run_ctest() {
  local build=$1 status=0
  shift
  env "$@" ctest --test-dir "$build" --output-on-failure -j"$jobs" 2>&1 | tee "$notes/ctest.log" ||
    status=$?
  grep -oE '[0-9]+ tests failed out of [0-9]+' "$notes/ctest.log" |
    sed -E 's/([0-9]+) tests failed out of ([0-9]+)/\2 tests, \1 failed/' >"$notes/detail" || true
  return "$status"
}

release() {
  cmake -S "$repo" -B "$repo/build" -DCMAKE_BUILD_TYPE=Release -DBUILDSWEEP_BUILD_TESTS=ON >/dev/null
  cmake --build "$repo/build" -j"$jobs"
  run_ctest "$repo/build"
}

packages() {
  [ -x "$repo/build/buildsweep" ] || { echo "the Release build is missing" >&2; return 1; }
  "$repo/scripts/check_packages.sh" deb "$repo/build"
}

# The sanitizer builds are optimised as the sanitizers advise (-O1) and
# carry line tables only (-g1), which is all their reports print: their
# build takes some 40% less time than at -O2 -g. They leave the benchmark's
# tools to the Release build, which runs their tests.
sanitized=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
  -DBUILDSWEEP_BUILD_BENCH=OFF)

# A sanitizer report aborts the process that made it (the test binary, or
# the buildsweep a test runs), so the test it came from fails.
address_sanitizer() {
  cmake -S "$repo" -B "$repo/build-asan" "${sanitized[@]}" -DBUILDSWEEP_SANITIZE=ON >/dev/null
  cmake --build "$repo/build-asan" -j"$jobs"
  run_ctest "$repo/build-asan" \
    ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1 \
    UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
}

# The cleaning threads under ThreadSanitizer: any data race the suite's
# parallel runs reach fails the test (in-process) or the program it ran.
thread_sanitizer() {
  cmake -S "$repo" -B "$repo/build-tsan" "${sanitized[@]}" -DBUILDSWEEP_TSAN=ON >/dev/null
  cmake --build "$repo/build-tsan" -j"$jobs"
  run_ctest "$repo/build-tsan" TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:second_deadlock_stack=1
}

# The fuzzers let loose on the name rule and the escaping of printed paths,
# and on the git index reader, for a while each.
fuzzers() {
  local fuzz="$repo/build-fuzz" fuzzer name
  mkdir -p "$fuzz"
  command -v clang++ >/dev/null || skip "clang++ is not installed"
  echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
    clang++ -x c++ -fsanitize=fuzzer - -o "$fuzz/probe" 2>/dev/null ||
    skip "clang++ here has no libFuzzer runtime"
  cmake -S "$repo" -B "$fuzz" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILDSWEEP_FUZZ=ON >/dev/null
  cmake --build "$fuzz" -j"$jobs" --target buildsweep_name_fuzzer buildsweep_git_index_fuzzer
  for fuzzer in name:15 git_index:10; do
    name=${fuzzer%:*}
    if ! "$fuzz/tests/buildsweep_${name}_fuzzer" -max_total_time="${fuzzer#*:}" -seed=1 \
         -artifact_prefix="$fuzz/$name-" >"$fuzz/$name-fuzz.log" 2>&1; then
      cat "$fuzz/$name-fuzz.log"
      echo "The $name fuzzer found a failing input (saved in $fuzz/)."
      return 1
    fi
    tail -n 1 "$fuzz/$name-fuzz.log"
  done
  echo "name 15 s, git index 10 s" >"$notes/detail"
}

# The Windows executables, cross-built with the presets and tested under
# wine; what could not be run is said in the detail.
windows() {
  local status=0
  "$repo/scripts/test_windows.sh" "$1" 2>&1 | tee "$notes/windows.log" || status=$?
  [ "$status" = 77 ] && skip "$(sed -n 's/^skipped: //p' "$notes/windows.log" | tail -n 1)"
  { grep -oE '^wine: .*' "$notes/windows.log" || sed -n 's/^not run: /built and checked, not run: /p' "$notes/windows.log"; } |
    tail -n 1 >"$notes/detail"
  return "$status"
}
windows_x64() { windows x64; }
windows_x86() { windows x86; }

part "Release" release
part "packages" packages
part "ASan + UBSan" address_sanitizer
part "TSan" thread_sanitizer
part "fuzzers" fuzzers
part "Windows x64" windows_x64
part "Windows x86" windows_x86

echo
echo "=== Summary ($((SECONDS - started)) s in all)"
printf '%s\n' "${summary[@]}"
echo "parts: $passed_parts passed, $failed_parts failed, $skipped_parts skipped"
[ "$failed_parts" -eq 0 ]
