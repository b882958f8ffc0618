#!/usr/bin/env bash
# Runs the Windows builds of buildsweep under wine, on throw-away trees:
#   - the example project, output compared byte for byte, in UTF-8 (ANSI code
#     page 1252) and in CP949 (LANG=ko_KR.UTF-8 gives code page 949);
#   - Korean, Chinese and Japanese names, in both encodings;
#   - Unix symlinks to an outside folder and file (wine shows a folder link
#     as a directory reparse point with tag 0): nothing outside is touched;
#   - 15 levels of 200-character folder names (a 3,000-character path);
#   - a drive root (R:\ shows its folders as R:\\Debug);
#   - read-only files, reported on standard error as read-only;
#   - the command line: /?, a dry run and a --yes run of a folder named in
#     Korean, with an exclusion that ignores case;
#   - a console (a terminal, through script(1)): Korean texts and names shown
#     whatever the console's code page, each prompt waits for Enter, and
#     standard error redirected beside it is in the system's encoding;
#   - Ctrl+C at the start prompt: the run ends there, nothing deleted;
#   - Ctrl+C halfway: the run stops between two files, every deletion on
#     record, with the status Windows gives for Ctrl+C;
#   - the icon and manifest in the executable, and no user32 among its imports;
#   - the unit tests, when the build has them.
#
# Usage: run_wine_tests.sh BUILD_DIR...
# Each BUILD_DIR holds buildsweep.exe and may hold tests/buildsweep_unit_tests.exe.
# Needs wine and the ko_KR.UTF-8 locale (scripts/test_windows.sh sets both up).
set -uo pipefail

if [ $# -eq 0 ]; then
  echo "usage: $0 BUILD_DIR..." >&2
  exit 2
fi

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="  # no .NET or browser engine to install
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/buildsweep-wineprefix.XXXXXX")
export WINEPREFIX
cases=$(mktemp -d "${TMPDIR:-/tmp}/buildsweep-wine.XXXXXX")
cases=$(cd "$cases" && pwd -P)  # wine sees the resolved path
cleanup() {
  "${WINESERVER:-wineserver}" -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$cases"
}
trap cleanup EXIT

# Whether `exe` is a 32-bit Windows program (its PE header names the i386).
is_32_bit() {
  python3 - "$1" <<'PYTHON'
import struct, sys
with open(sys.argv[1], 'rb') as f:
    data = f.read(4096)
pe = struct.unpack_from('<I', data, 0x3c)[0]
sys.exit(0 if struct.unpack_from('<H', data, pe + 4)[0] == 0x14c else 1)
PYTHON
}

# Whether this machine runs 32-bit programs at all: some kernels and
# sandboxes run none, and 32-bit wine is one.
runs_32_bit_code() {
  [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}

# Where 32-bit code can't run, Debian's `wine` still picks the 32-bit
# loader once wine32 is installed: point `wine` and its tools at the 64-bit
# one, which runs the 64-bit build.
if ! runs_32_bit_code && [ -x /usr/lib/wine/wine64 ]; then
  mkdir -p "$cases/.bin"
  printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$cases/.bin/wine"
  chmod +x "$cases/.bin/wine"
  export PATH="$cases/.bin:$PATH" WINELOADER=/usr/lib/wine/wine64
  [ -x /usr/lib/wine/wineserver64 ] && export WINESERVER=/usr/lib/wine/wineserver64
fi

readonly UTF8_LOCALE=C.UTF-8
readonly KOREAN_LOCALE=ko_KR.UTF-8
BANNER=$(printf '=%.0s' {1..64})
readonly BANNER
readonly EXTENSION_LINE="확장자 : pch,mdp,clw,obj,aps,cpl,awk,tmp,exp,idb,opt,map,ilk,scc,bsc,sbr,manifest,dep,log,suo,tlb,ncb,ncp,bak"
readonly START_PROMPT="Enter를 치면 쓸데없는 파일 삭제를 시작합니다."
readonly EXIT_PROMPT="Enter를 치면 종료합니다."

passed=0
failed=0
skipped=0  # builds this machine can't run
label=""

pass() { passed=$((passed + 1)); }
# Runs the check TEST up to twice more while it fails. Only for the Ctrl+C
# checks: wine turns SIGINT into a console event on a thread of its own,
# and on a busy machine it now and then arrives late or at another process
# of the launch, which wine then kills (seen in about one run in five here,
# and twice in a row once), which says nothing about the program. Earlier
# failures stay printed; the third one counts.
with_retries() {
  local passed_before=$passed failed_before=$failed attempt
  "$1"
  for attempt in 2 3; do
    [ "$failed" -gt "$failed_before" ] || return 0
    echo "retrying [$label] (attempt $attempt): Ctrl+C under wine depends on timing" >&2
    passed=$passed_before
    failed=$failed_before
    "$1"
  done
}
fail() {
  failed=$((failed + 1))
  echo "FAIL [$label] $*" >&2
}

# The Windows form of a Unix path, as wine's drive Z: shows it.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Runs buildsweep.exe in FOLDER with LOCALE and INPUT on standard input, and
# any further arguments on its command line; leaves standard output in
# $cases/out, standard error in $cases/err and the exit status in $status.
run_sweep() {
  local folder=$1 locale=$2 input=$3
  shift 3
  (cd "$folder" && printf '%b' "$input" | LANG=$locale LC_ALL=$locale wine "$exe" "$@" \
    >"$cases/out" 2>"$cases/err")
  status=$?
}

# Text-mode output: every line ends in CR LF.
crlf() { sed 's/$/\r/'; }
# "LABEL N bytes (1.2 MiB)", as a dry run prints its sizes.
size_line() {
  awk -v label="$1" -v bytes="$2" 'BEGIN {
    line = label bytes " bytes"
    if (bytes >= 1024) {
      split("KiB MiB GiB TiB PiB EiB", units, " ")
      value = bytes / 1024
      unit = 1
      while (unit < 6 && value >= 1023.95) { value /= 1024; unit++ }
      line = line sprintf(" (%.1f %s)", value, units[unit])
    }
    print line
  }'
}

expect_status() {
  if [ "$status" -eq "$1" ]; then pass; else fail "exit status $status, expected $1"; fi
}

# Compares $cases/out with the file EXPECTED byte for byte.
expect_output() {
  if cmp -s "$1" "$cases/out"; then
    pass
  else
    fail "standard output differs (expected, then actual):"
    diff <(cat -A "$1") <(cat -A "$cases/out") | head -20 >&2
  fi
}

expect_no_errors() {
  if [ ! -s "$cases/err" ]; then pass; else fail "unexpected standard error: $(cat "$cases/err")"; fi
}

expect_present() {
  local path
  for path in "$@"; do
    if [ -e "$path" ] || [ -L "$path" ]; then pass; else fail "$path was deleted"; fi
  done
}

expect_gone() {
  local path
  for path in "$@"; do
    if [ -e "$path" ] || [ -L "$path" ]; then fail "$path is still there"; else pass; fi
  done
}

# A fresh, empty case folder named NAME; its path is printed.
new_tree() {
  local tree="$cases/$label-$1"
  rm -rf "$tree"
  mkdir -p "$tree"
  printf '%s' "$tree"
}

# The lines of a run (UTF-8, LF) whose root is ROOT; the middle part, one
# folder after another, comes from standard input.
whole_run() {
  printf '%s\n%s\nRoot Path = %s\n' "$EXTENSION_LINE" "$START_PROMPT" "$1"
  cat
  printf 'Total Remove File : %s\n%s\n' "$2" "$EXIT_PROMPT"
}

# One folder's part of a run: FOLDER, then its deletions (file names, in
# order); OPENING says whether it has an opening banner (the root has none).
folder_part() {
  local opening=$1 folder=$2 name
  shift 2
  [ "$opening" = opening ] && printf '%s\n' "$BANNER"
  printf 'Folder : %s \n' "$folder"
  for name in "$@"; do printf 'Delete : %s\\%s \n' "$folder" "$name"; done
  printf 'Remove File Count = %d\n%s\n\n' "$#" "$BANNER"
}

# Converts UTF-8 to the CP949 bytes a Korean system writes; characters that
# CP949 lacks must already have been replaced by '?'.
to_cp949() { iconv -f UTF-8 -t CP949; }

make_example_tree() {
  mkdir -p "$1/Debug" "$1/res"
  touch "$1/Debug/main.obj" "$1/Debug/proj.ilk" "$1/Debug/proj.pdb" \
        "$1/main.cpp" "$1/proj.ncb" "$1/proj.suo"
}

example_expected() {
  local root=$1
  {
    folder_part opening "$root\\Debug" main.obj proj.ilk
    folder_part opening "$root\\res"
    folder_part root "$root" proj.ncb proj.suo
  } | whole_run "$root" 4
}

test_example_run() {
  local tree root
  label="example run, UTF-8"
  tree=$(new_tree utf8)/proj
  make_example_tree "$tree"
  root=$(windows_path "$tree")
  example_expected "$root" | crlf >"$cases/expected-utf8"
  run_sweep "$tree" "$UTF8_LOCALE" '\n\n'
  expect_status 0
  expect_output "$cases/expected-utf8"
  expect_no_errors
  expect_present "$tree/Debug/proj.pdb" "$tree/main.cpp" "$tree/res"
  expect_gone "$tree/Debug/main.obj" "$tree/Debug/proj.ilk" "$tree/proj.ncb" "$tree/proj.suo"

  label="example run, CP949"
  tree=$(new_tree cp949)/proj
  make_example_tree "$tree"
  root=$(windows_path "$tree")
  example_expected "$root" | to_cp949 | crlf >"$cases/expected-cp949"
  # Identical expectations would let a run that never left code page 1252 pass.
  if cmp -s "$cases/expected-utf8" "$cases/expected-cp949"; then fail "no Korean text to tell"; fi
  run_sweep "$tree" "$KOREAN_LOCALE" '\n\n'
  expect_status 0
  expect_output "$cases/expected-cp949"
  expect_no_errors
  expect_gone "$tree/Debug/main.obj" "$tree/proj.suo"
}

test_names_outside_the_code_page() {
  # 简体 (simplified Chinese) is not in CP949; 中文 and 日本語 are, as Hanja.
  local targets=(한글.obj 中文.obj 简体.obj 日本語.tmp) keep=(한글.cpp 简体.txt)
  local locale tree root sorted
  mapfile -t sorted < <(printf '%s\n' "${targets[@]}" | LC_ALL=C sort)
  for locale in "$UTF8_LOCALE" "$KOREAN_LOCALE"; do
    label="Korean and Chinese names, $locale"
    tree=$(new_tree names)
    mkdir -p "$tree/폴더"
    (cd "$tree" && touch "${targets[@]}" "${keep[@]}" 폴더/목록.bak)
    root=$(windows_path "$tree")
    {
      folder_part opening "$root\\폴더" 목록.bak
      folder_part root "$root" "${sorted[@]}"
    } | whole_run "$root" 5 >"$cases/expected"
    if [ "$locale" = "$KOREAN_LOCALE" ]; then
      sed 's/简体/??/g' "$cases/expected" | to_cp949 | crlf >"$cases/expected-bytes"
    else
      crlf <"$cases/expected" >"$cases/expected-bytes"
    fi
    run_sweep "$tree" "$locale" '\n\n'
    expect_status 0
    expect_output "$cases/expected-bytes"
    expect_no_errors
    expect_gone "${targets[@]/#/$tree/}" "$tree/폴더/목록.bak"
    expect_present "${keep[@]/#/$tree/}"
  done
}

test_links_are_not_followed() {
  local tree outside root
  label="Unix symlinks"
  tree=$(new_tree links)
  outside="$tree/outside"
  mkdir -p "$tree/root" "$outside/sub"
  touch "$outside/a.obj" "$outside/sub/b.obj" "$tree/root/own.obj"
  ln -s ../outside "$tree/root/linked"           # a link to a folder full of targets
  ln -s ../outside "$tree/root/named.obj"        # the same, with a listed name
  ln -s ../outside/a.obj "$tree/root/file.obj"   # a link to a file elsewhere
  tree="$tree/root"
  root=$(windows_path "$tree")
  folder_part root "$root" own.obj | whole_run "$root" 1 | crlf >"$cases/expected"
  run_sweep "$tree" "$UTF8_LOCALE" '\n\n'
  # Wine can only delete a symlink to a file by deleting its target, so
  # the link is reported as not deletable, and the run ends with status 2.
  expect_status 2
  expect_output "$cases/expected"
  local error_line
  error_line="Error: cannot delete '$root\\file.obj': it is a link, and this system would delete what it points to instead"
  if [ "$(cat "$cases/err")" = "$error_line"$'\r' ]; then pass; else fail "standard error: $(cat "$cases/err")"; fi
  expect_present "$outside/a.obj" "$outside/sub/b.obj" "$tree/linked" "$tree/named.obj" "$tree/file.obj"
  expect_gone "$tree/own.obj"
}

test_paths_past_260_characters() {
  local tree root folder name level
  label="15 levels of 200-character names"
  tree=$(new_tree deep)
  name=$(printf 'd%.0s' {1..200})
  folder=$tree
  for level in {1..15}; do
    folder="$folder/$name"
  done
  mkdir -p "$folder"
  root=$(windows_path "$tree")
  {
    folder=$root
    for level in {1..15}; do
      folder="$folder\\$name"
      folder_part opening "$folder" t.obj
    done
    folder_part root "$root" t.obj
  } | whole_run "$root" 16 | crlf >"$cases/expected"
  folder=$tree
  touch "$folder/t.obj" "$folder/keep.txt"
  for level in {1..15}; do
    folder="$folder/$name"
    touch "$folder/t.obj" "$folder/keep.txt"
  done
  run_sweep "$tree" "$UTF8_LOCALE" '\n\n'
  expect_status 0
  expect_output "$cases/expected"
  expect_no_errors
  if [ "$(find "$tree" -name t.obj | wc -l)" -eq 0 ]; then pass; else fail "targets left behind"; fi
  if [ "$(find "$tree" -name keep.txt | wc -l)" -eq 16 ]; then pass; else fail "other files deleted"; fi
}

test_drive_root() {
  local tree
  label="drive root"
  tree=$(new_tree drive)
  mkdir -p "$tree/Debug"
  touch "$tree/Debug/main.obj" "$tree/x.obj"
  # Drive R: is the tree itself, so the run starts at "R:\", and every
  # path built from it has two backslashes after the drive.
  ln -sfn "$tree" "$WINEPREFIX/dosdevices/r:"
  {
    folder_part opening 'R:\\Debug' main.obj
    folder_part root 'R:\' x.obj
  } | whole_run 'R:\' 2 | crlf >"$cases/expected"
  # No input at all: both prompts return at once, and the run ends with 1.
  run_sweep "$tree" "$UTF8_LOCALE" ''
  expect_status 1
  expect_output "$cases/expected"
  expect_no_errors
  expect_gone "$tree/Debug/main.obj" "$tree/x.obj"
  rm -f "$WINEPREFIX/dosdevices/r:"
}

test_read_only_files_are_reported() {
  local tree root locale name
  for locale in "$UTF8_LOCALE" "$KOREAN_LOCALE"; do
    label="read-only file, $locale"
    tree=$(new_tree readonly)
    name=읽기전용.obj
    touch "$tree/ok.obj" "$tree/$name"
    chmod a-w "$tree/$name"
    root=$(windows_path "$tree")
    folder_part root "$root" ok.obj | whole_run "$root" 1 >"$cases/expected"
    if [ "$locale" = "$KOREAN_LOCALE" ]; then
      to_cp949 <"$cases/expected" | crlf >"$cases/expected-bytes"
    else
      crlf <"$cases/expected" >"$cases/expected-bytes"
    fi
    # A dry run foresees the refusal, with the same line and status.
    run_sweep "$tree" "$locale" '' --dry-run
    expect_status 2
    cp "$cases/err" "$cases/dry-err"
    run_sweep "$tree" "$locale" '\n\n'
    expect_status 2
    expect_output "$cases/expected-bytes"
    expect_present "$tree/$name"
    if cmp -s "$cases/dry-err" "$cases/err"; then pass; else fail "dry run said: $(cat "$cases/dry-err")"; fi
    # One line with the path and the system's reason, in the output's
    # encoding (the reason is Korean on a Korean system), saying read-only.
    local error
    if [ "$locale" = "$KOREAN_LOCALE" ]; then
      error=$(iconv -f CP949 -t UTF-8 "$cases/err") || fail "standard error is not CP949"
    else
      error=$(cat "$cases/err")
    fi
    local prefix="Error: cannot delete '$root\\$name': "
    if [ "$(wc -l <"$cases/err")" -eq 1 ] && [ "${error#"$prefix"}" != "$error" ] &&
       [ -n "${error#"$prefix"}" ] && [ "${error: -1}" = $'\r' ] && [[ $error == *read-only* ]]; then
      pass
    else
      fail "standard error: $error"
    fi
  done
}

# The command line, read as wide characters: /?, then a dry run and a real
# run of a folder named in Korean, with an exclusion that ignores case.
test_command_line() {
  local tree root
  label="/? shows the usage"
  tree=$(new_tree help)
  run_sweep "$tree" "$UTF8_LOCALE" '' '/?'
  expect_status 0
  if head -n 1 "$cases/out" | grep -q $'^Usage: buildsweep \\[OPTION\\]\\.\\.\\. \\[FOLDER\\]\\.\\.\\.\r$'; then
    pass
  else
    fail "no usage line: $(head -n 1 "$cases/out")"
  fi

  label="--trash is refused, with the reason, and nothing goes"
  tree=$(new_tree trash)
  touch "$tree/a.obj"
  run_sweep "$tree" "$UTF8_LOCALE" '' --trash -y
  expect_status 2
  if [ -e "$tree/a.obj" ] && [ ! -s "$cases/out" ] &&
     head -n 1 "$cases/err" | grep -q "^buildsweep: option '--trash' is not available on this system: the Recycle Bin"; then
    pass
  else
    fail "standard error: $(head -n 1 "$cases/err")"
  fi

  label="dry run of a folder named on the command line"
  tree=$(new_tree options)
  mkdir -p "$tree/폴더"
  printf 'abc' >"$tree/폴더/a.obj"
  touch "$tree/폴더/b.log"
  root=$(windows_path "$tree/폴더")
  {
    printf '%s\nRoot Path = %s\n' "$EXTENSION_LINE" "$root"
    folder_part root "$root" a.obj | sed 's/^Delete : /Would delete : /'
    printf 'Total Remove File : 1\nTotal Size : 3 bytes\n'
    # wine reports the allocation the Unix file system made.
    size_line 'Space Freed : ' $(($(stat -c %b "$tree/폴더/a.obj") * 512))
  } | crlf >"$cases/expected"
  run_sweep "$tree" "$UTF8_LOCALE" '' -n -x '*.LOG' 폴더
  expect_status 0
  expect_output "$cases/expected"
  expect_no_errors
  expect_present "$tree/폴더/a.obj"

  label="--yes run of a folder named on the command line"
  run_sweep "$tree" "$UTF8_LOCALE" '' --yes --exclude='*.LOG' 폴더
  expect_status 0
  expect_no_errors
  expect_gone "$tree/폴더/a.obj"
  expect_present "$tree/폴더/b.log"

  # The times come from the folder's listing here: an old file goes, a new
  # one stays; JSON doubles every backslash of a path.
  label="--json --older-than run"
  tree=$(new_tree aged)
  mkdir -p "$tree/sub"
  touch -d '3 days ago' "$tree/sub/old.obj"
  touch "$tree/sub/new.obj"
  root=$(windows_path "$tree")
  root=${root//\\/\\\\}
  {
    printf '{"type":"run","version":1,"dry_run":false,"include_tracked":false,"older_than":86400,'
    printf '"exclude":[],"extensions":["%s"]}\n' "$(sed 's/^.* : //; s/,/","/g' <<<"$EXTENSION_LINE")"
    printf '{"type":"root","path":"%s"}\n' "$root"
    printf '{"type":"folder","path":"%s\\\\sub"}\n' "$root"
    printf '{"type":"delete","path":"%s\\\\sub\\\\old.obj"}\n' "$root"
    printf '{"type":"count","path":"%s\\\\sub","deleted":1}\n' "$root"
    printf '{"type":"folder","path":"%s"}\n{"type":"count","path":"%s","deleted":0}\n' "$root" "$root"
    printf '{"type":"total","deleted":1,"kept_tracked":0}\n'
  } | crlf >"$cases/expected"
  run_sweep "$tree" "$UTF8_LOCALE" '' --json --older-than 1d
  expect_status 0
  expect_output "$cases/expected"
  expect_no_errors
  expect_gone "$tree/sub/old.obj"
  expect_present "$tree/sub/new.obj"
}

# The process id of the running Windows program at the Unix path PATH.
# Wine runs a program either in its launcher's process or in a new one, and
# names it by its Windows path (64-bit) or its Unix path (32-bit).
windows_process() {
  local proc name windows
  windows=$(windows_path "$1")
  for proc in /proc/[0-9]*; do
    # A process may end between the listing and the read: the error stream
    # is redirected first, so the shell's complaint about the file goes too.
    IFS= read -r -d '' name 2>/dev/null <"$proc/cmdline" || continue
    if [ "$name" = "$1" ] || [ "$name" = "$windows" ]; then
      printf '%s' "${proc#/proc/}"
      return
    fi
  done
}

# Starts the program in TREE with standard input held open on a FIFO and
# INPUT written to it, and sends it Ctrl+C (wine turns SIGINT into the
# console's Ctrl+C event) once its standard output has a line matching
# PATTERN (grep -E).
interrupt_when() {
  local tree=$1 input=$2 pattern=$3 child="" waited
  mkfifo "$cases/stdin"
  (cd "$tree" && LANG=$UTF8_LOCALE LC_ALL=$UTF8_LOCALE exec wine "$exe" \
    <"$cases/stdin" >"$cases/out" 2>"$cases/err") &
  launcher=$!
  exec 3>"$cases/stdin"
  printf '%b' "$input" >&3
  for waited in {1..400}; do
    [ -n "$child" ] || child=$(windows_process "$exe")
    [ -n "$child" ] && grep -qE "$pattern" "$cases/out" && break
    sleep 0.05
  done
  if [ -n "$child" ]; then kill -INT "$child"; else fail "the program never showed up"; fi
}

# Writes INPUT, closes standard input so that the run can end whatever
# happened, and waits for it; leaves its exit status in $status. (The
# write is in a subshell, so that a program already gone can't take the
# script with it through SIGPIPE.)
finish_interrupted() {
  (printf '%b' "$1" >&3) 2>/dev/null
  exec 3>&-
  wait "$launcher"
  status=$?
  rm -f "$cases/stdin"
}

test_ctrl_c_stops_with_every_deletion_on_record() {
  local tree folder launcher
  label="Ctrl+C"
  tree=$(new_tree interrupt)
  for folder in {1..40}; do
    mkdir "$tree/d$folder"
    (cd "$tree/d$folder" && touch $(seq -f 'f%g.obj' 1 500))
  done
  # Standard input stays open, so only the interruption can end the run.
  interrupt_when "$tree" '\n' '^Delete'
  finish_interrupted ''
  # STATUS_CONTROL_C_EXIT (0xC000013A), of which a Unix parent sees the
  # low byte.
  expect_status $((0xC000013A & 0xff))
  local left deleted lines
  left=$(find "$tree" -name '*.obj' | wc -l)
  deleted=$((20000 - left))
  lines=$(grep -c '^Delete : ' "$cases/out")
  if [ "$left" -gt 0 ] && [ "$deleted" -gt 0 ]; then pass; else fail "not stopped halfway: $left left"; fi
  if [ "$deleted" -eq "$lines" ]; then pass; else fail "$deleted deleted, $lines reported"; fi
  if grep -q '^Total Remove File' "$cases/out"; then fail "ran on to the end"; else pass; fi
}

# What the terminal shows of the session recorded in $cases/screen, without
# the escape sequences and carriage returns of wine's console.
# (Nothing before script(1) has made the file.)
screen_text() {
  sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\x1b\][^\x07]*\x07//g' "$cases/screen" 2>/dev/null | tr -d '\r'
}

# Waits up to 20 seconds for TEXT to show on the terminal.
wait_for_screen() {
  local waited
  for waited in {1..200}; do
    screen_text | grep -qF "$1" && return 0
    sleep 0.1
  done
  return 1
}

test_console_shows_every_character() {
  local tree session locale name=읽기전용.obj error
  for locale in "$UTF8_LOCALE" "$KOREAN_LOCALE"; do
    label="at a console, $locale"
    tree=$(new_tree console)
    mkdir "$tree/Debug"
    touch "$tree/Debug/a.obj" "$tree/한글.obj" "$tree/$name"
    chmod a-w "$tree/$name"
    # script(1) gives wine a terminal, which wine makes the program's console.
    # Its code page (437 here) has no Hangul: only UTF-16 written with
    # WriteConsoleW shows the Korean texts and names. Standard error goes to
    # a file, which must get the system's encoding, not the console's.
    mkfifo "$cases/keys"
    rm -f "$cases/screen" "$cases/console-err"
    (cd "$tree" && LANG=$locale LC_ALL=$locale exec script -qfec \
      "wine $(printf '%q' "$exe") 2>$(printf '%q' "$cases/console-err")" \
      "$cases/screen" <"$cases/keys" >/dev/null 2>&1) &
    session=$!
    exec 4>"$cases/keys"
    if wait_for_screen "$START_PROMPT"; then pass; else fail "no start prompt: $(screen_text)"; fi
    if screen_text | grep -qF "Root Path"; then fail "did not wait for Enter"; else pass; fi
    printf '\r' >&4
    if wait_for_screen "$EXIT_PROMPT"; then pass; else fail "no exit prompt: $(screen_text)"; fi
    printf '\r' >&4
    exec 4>&-
    wait "$session"
    status=$?
    rm -f "$cases/keys"
    expect_status 2  # the read-only file
    # (The terminal wraps the extension line at 80 columns.)
    if screen_text | grep -qF "확장자 : pch,mdp,clw,obj"; then pass; else fail "extension line garbled"; fi
    if screen_text | grep -qF '\한글.obj'; then pass; else fail "Korean name garbled: $(screen_text)"; fi
    if screen_text | grep -qF 'Total Remove File : 2'; then pass; else fail "no total"; fi
    expect_gone "$tree/한글.obj" "$tree/Debug/a.obj"
    if [ "$locale" = "$KOREAN_LOCALE" ]; then
      error=$(iconv -f CP949 -t UTF-8 "$cases/console-err" 2>/dev/null) || error="(not CP949)"
    else
      error=$(cat "$cases/console-err")
    fi
    if [[ $error == "Error: cannot delete '$(windows_path "$tree")\\$name': "*read-only* ]]; then
      pass
    else
      fail "standard error in the wrong encoding: $(cat -A "$cases/console-err")"
    fi
  done
}

test_ctrl_c_at_the_start_prompt() {
  local tree launcher
  label="Ctrl+C at the start prompt"
  tree=$(new_tree prompt)
  touch "$tree/x.obj"
  interrupt_when "$tree" '' "$START_PROMPT"
  sleep 0.5
  finish_interrupted '\n\n'  # Enter after Ctrl+C must not start the run
  expect_status $((0xC000013A & 0xff))
  expect_present "$tree/x.obj"
  if grep -q '^Root Path' "$cases/out"; then fail "the run started"; else pass; fi
}

test_resources() {
  label="icon and manifest"
  local source
  source=$(cd "$(dirname "$0")/../.." && pwd)
  if python3 "$source/tests/wine/check_resources.py" "$exe" "$source/res/buildsweep.ico" \
       "$source/res/buildsweep.manifest"; then
    pass
  else
    fail "resources missing"
  fi
  # A console program that loads user32 (shlwapi brings it in) is no longer
  # told of logoff and shutdown, so the run could not end with its record.
  local objdump=x86_64-w64-mingw32-objdump imports
  # An import table that can't be read proves nothing.
  if ! imports=$("$objdump" -p "$exe") || ! grep -q 'DLL Name:' <<<"$imports"; then
    fail "cannot read the imports"
  elif grep -qiE 'DLL Name: (user32|gdi32|shlwapi)' <<<"$imports"; then
    fail "imports $(grep -iE 'DLL Name: (user32|gdi32|shlwapi)' <<<"$imports")"
  else
    pass
  fi
}

test_unit_tests() {
  label="unit tests"
  local unit_tests="$build/tests/buildsweep_unit_tests.exe"
  [ -f "$unit_tests" ] || return 0
  if (cd "$cases" && wine "$unit_tests" --gtest_brief=1 >"$cases/unit.log" 2>&1); then
    pass
  else
    fail "$(tail -20 "$cases/unit.log")"
  fi
}

wine wineboot --init >/dev/null 2>&1  # make the prefix once, before the clock matters
for build in "$@"; do
  build=$(cd "$build" && pwd)  # the runs start in the case folders
  exe="$build/buildsweep.exe"
  build_failed=$failed
  if is_32_bit "$exe" && ! runs_32_bit_code; then
    # Built and checked all the same (the strict 32-bit build included);
    # only running it is out of reach here.
    echo "Not testing $exe under wine: this machine runs no 32-bit programs"
    skipped=$((skipped + 1))
    continue
  fi
  echo "Testing $exe under wine"
  test_example_run
  test_names_outside_the_code_page
  test_links_are_not_followed
  test_paths_past_260_characters
  test_drive_root
  test_read_only_files_are_reported
  test_command_line
  with_retries test_ctrl_c_stops_with_every_deletion_on_record
  with_retries test_ctrl_c_at_the_start_prompt
  test_console_shows_every_character
  test_resources
  test_unit_tests
  [ "$failed" -eq "$build_failed" ] || echo "  $((failed - build_failed)) check(s) failed for $exe" >&2
done

echo "wine: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
