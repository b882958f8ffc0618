#!/usr/bin/env bash
# Runs buildsweep at a real terminal (a detached tmux pane) and answers it as
# a person would: the start prompt shows and the program waits; Enter starts
# the cleaning; the total and the exit prompt show and it waits again; Enter
# ends it with status 0.
# Then the output of a longer run shows whole and in order, standard error
# in its place, in far fewer writes than it has lines; and the terminal
# closing under a run stops it.
# Usage: prompts_terminal.sh path/to/buildsweep [path/to/write_counter.so]
#        (exit 77: no tmux, skipped; without the library the writes are not counted)
set -euo pipefail
command -v tmux >/dev/null || { echo "tmux is not installed: skipped"; exit 77; }
export LANG=C.UTF-8 LC_ALL=C.UTF-8 TERM=xterm   # the prompts are UTF-8 Korean

work=$(mktemp -d "${TMPDIR:-/tmp}/buildsweep-tty.XXXXXX")
socket="$work/tmux.socket"
trap 'tmux -S "$socket" kill-server 2>/dev/null || true; rm -rf "$work"' EXIT
# The program and the write counter run from copies beside the trees: the
# build may lie below a folder (a private clone, a home folder) that the
# unprivileged user of the dry run below may not enter.
mkdir "$work/bin"
cp "$1" "$work/bin/buildsweep"
binary="$work/bin/buildsweep"
counter=""
if [ -n "${2:-}" ]; then
  cp "$2" "$work/bin/write_counter.so"
  counter="$work/bin/write_counter.so"
fi
chmod 755 "$work" "$work/bin"

# Waits up to a minute for a condition (a busy machine, a sanitizer build):
# only that it happened decides, never how soon.
wait_until() {
  for _ in $(seq 1 1200); do
    "$@" && return 0
    sleep 0.05
  done
  return 1
}
proj="$work/proj"
mkdir -p "$proj/Debug"
touch "$proj/Debug/main.obj" "$proj/proj.ncb" "$proj/main.cpp"

start_prompt='Enter를 치면 쓸데없는 파일 삭제를 시작합니다.'
exit_prompt='Enter를 치면 종료합니다.'

fail() {
  echo "FAIL: $*"
  echo "--- screen ---"
  screen
  exit 1
}
screen() { tmux -S "$socket" capture-pane -p -J -t buildsweep; }
shows() { screen | grep -qxF -- "$1"; }
wait_for_line() { wait_until shows "$1" || fail "never showed the line '$1'"; }
has_status() { [ -s "$work/status" ]; }
# The pane keeps a shell after the program so its status can be read.
tmux -S "$socket" -f /dev/null new-session -d -s buildsweep -x 160 -y 40 -c "$proj" \
  "'$binary'; echo \$? > '$work/status'; exec sleep 600"

wait_for_line "$start_prompt"
sleep 0.3
[ -e "$proj/Debug/main.obj" ] || fail "deleted before Enter"
screen | grep -q '^Root Path = ' && fail "went on before Enter"

tmux -S "$socket" send-keys -t buildsweep Enter
wait_for_line "Total Remove File : 2"
wait_for_line "$exit_prompt"
[ ! -e "$proj/Debug/main.obj" ] && [ ! -e "$proj/proj.ncb" ] || fail "by-products left"
[ -e "$proj/main.cpp" ] || fail "a source file was deleted"
shows "Delete : $proj/Debug/main.obj " || fail "no Delete line for main.obj"
sleep 0.3
[ ! -e "$work/status" ] || fail "ended without waiting at the exit prompt"

tmux -S "$socket" send-keys -t buildsweep Enter
wait_until has_status || fail "did not end after the second Enter"
[ "$(cat "$work/status")" = 0 ] || fail "exit status $(cat "$work/status"), expected 0"

# The terminal closing under a run (the window shut, the connection lost): the
# record can't be kept any more, so the run must stop deleting and end.
# The files are made in memory where the system allows, for speed.
big="$work/big"
if [ -w /dev/shm ]; then
  big=$(mktemp -d /dev/shm/buildsweep-tty.XXXXXX)
  trap 'tmux -S "$socket" kill-server 2>/dev/null || true; rm -rf "$work" "$big"' EXIT
fi
# Twice the 64 KiB of lines a run may hold back unwritten, so that it can't
# get through the tree while its terminal takes nothing.
for module in $(seq 1 40); do
  mkdir -p "$big/m$module"
  (cd "$big/m$module" && seq -f 'object%g.obj' 1 50 | xargs touch)
done

# A dry run of that tree at the terminal shows exactly what it writes to a
# file, standard error included, in program order: a folder that can't be
# opened and a file that may not be deleted say so between the others' lines.
# As root it runs as nobody, so that the locks hold.
as_user=()
if [ "$(id -u)" = 0 ]; then
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
  chown -R 65534:65534 "$big"
fi
chmod 755 "$big"
if [ ${#as_user[@]} -gt 0 ] && ! "${as_user[@]}" test -x "$binary" -a -x "$big"; then
  echo "nobody can't reach $binary or $big (a private temporary folder?): the rest is skipped"
  exit 77
fi
mkdir "$big/m3/locked" "$big/m7/kept"
touch "$big/m3/locked/a.obj" "$big/m7/kept/b.obj"
chmod 000 "$big/m3/locked"
[ "$(id -u)" = 0 ] && chmod 755 "$big/m7/kept" || chmod 555 "$big/m7/kept"
(cd "$big" && "${as_user[@]}" "$binary" -n >"$work/expected" 2>&1) || true
grep -q '^Error: ' "$work/expected" || fail "no error lines to put in order"
: >"$work/writes" && chmod 666 "$work/writes"
preload=()
if [ -n "$counter" ]; then
  # Sanitizer runtimes would rather come first; the counter only counts.
  preload=(env LD_PRELOAD="$counter" BUILDSWEEP_WRITE_COUNT="$work/writes"
           ASAN_OPTIONS="${ASAN_OPTIONS:-}:verify_asan_link_order=0")
fi
tmux -S "$socket" set-option -g history-limit 100000
rm -f "$work/status"
tmux -S "$socket" new-session -d -s order -x 160 -y 40 -c "$big" \
  "$(printf '%q ' "${as_user[@]}" "${preload[@]}" "$binary") -n; echo \$? > $(printf '%q' "$work/status"); exec sleep 600"
wait_until has_status || fail "the dry run did not end"
# The pane's screen and history, wrapped lines joined, without the empty
# rows below the last line.
tmux -S "$socket" capture-pane -p -J -S - -E - -t order | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' >"$work/shown"
sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' "$work/expected" >"$work/expected.trimmed"
cmp -s "$work/shown" "$work/expected.trimmed" ||
  { diff "$work/expected.trimmed" "$work/shown" | head -n 20; fail "the terminal showed other lines, or in another order"; }
chmod 755 "$big/m3/locked" "$big/m7/kept"
if [ -n "$counter" ]; then
  lines=$(wc -l <"$work/expected")
  writes=$(cat "$work/writes")
  [ -n "$writes" ] || fail "the writes were not counted"
  # One write per line would be $lines; gathered, a handful.
  [ "$((writes * 20))" -lt "$lines" ] || fail "$writes writes to the terminal for $lines lines"
fi

tmux -S "$socket" new-session -d -s closing -x 160 -y 40 -c "$big" "exec '$binary'"
pid=$(tmux -S "$socket" display-message -p -t closing '#{pane_pid}')
prompts() { tmux -S "$socket" capture-pane -p -t closing | grep -q '^Enter'; }
wait_until prompts || fail "the run in the closing terminal never showed its prompt"
# Ctrl+S first: the terminal takes no more output, so after Enter the run is
# held once it has gathered all it may hold back, whatever the speed of the
# machine. Then the terminal goes away under it.
tmux -S "$socket" send-keys -t closing C-s
tmux -S "$socket" send-keys -t closing Enter
sleep 0.3
kill -0 "$pid" 2>/dev/null || fail "did not wait for the stopped terminal"
tmux -S "$socket" kill-session -t closing
has_ended() { ! kill -0 "$pid" 2>/dev/null; }
wait_until has_ended || fail "still running a minute after its terminal closed"
left=$(find "$big" -name '*.obj' | wc -l)
[ "$left" -gt 0 ] || fail "went on deleting after its terminal closed"
echo "PASS"
