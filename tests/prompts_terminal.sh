#!/usr/bin/env bash
# Runs buildsweep at a real terminal (a detached tmux pane) and answers it as
# a person would: the start prompt shows and the program waits; Enter starts
# the cleaning; the total and the exit prompt show and it waits again; Enter
# ends it with status 0.
# Usage: prompts_terminal.sh path/to/buildsweep   (exit 77: no tmux, skipped)
set -euo pipefail
binary=$(realpath "$1")
command -v tmux >/dev/null || { echo "tmux is not installed: skipped"; exit 77; }
export LANG=C.UTF-8 LC_ALL=C.UTF-8 TERM=xterm   # the prompts are UTF-8 Korean

work=$(mktemp -d "${TMPDIR:-/tmp}/buildsweep-tty.XXXXXX")
socket="$work/tmux.socket"
trap 'tmux -S "$socket" kill-server 2>/dev/null || true; rm -rf "$work"' EXIT
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
wait_for_line() {
  for _ in $(seq 1 200); do
    shows "$1" && return 0
    sleep 0.05
  done
  fail "never showed the line '$1'"
}
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
for _ in $(seq 1 200); do
  [ -s "$work/status" ] && break
  sleep 0.05
done
[ -s "$work/status" ] || fail "did not end after the second Enter"
[ "$(cat "$work/status")" = 0 ] || fail "exit status $(cat "$work/status"), expected 0"

# The terminal closing under a run (the window shut, the connection lost): the
# record can't be kept any more, so the run must stop deleting and end.
# The files are made in memory where the system allows, for speed.
big="$work/big"
if [ -w /dev/shm ]; then
  big=$(mktemp -d /dev/shm/buildsweep-tty.XXXXXX)
  trap 'tmux -S "$socket" kill-server 2>/dev/null || true; rm -rf "$work" "$big"' EXIT
fi
for module in $(seq 1 20); do
  mkdir -p "$big/m$module"
  (cd "$big/m$module" && seq -f 'object%g.obj' 1 50 | xargs touch)
done
tmux -S "$socket" new-session -d -s closing -x 160 -y 40 -c "$big" "exec '$binary'"
pid=$(tmux -S "$socket" display-message -p -t closing '#{pane_pid}')
for _ in $(seq 1 200); do
  tmux -S "$socket" capture-pane -p -t closing | grep -q '^Enter' && break
  sleep 0.05
done
# Ctrl+S first: the terminal takes no more output, so after Enter the run is
# held at its first line, whatever the speed of the machine. Then the
# terminal goes away under it.
tmux -S "$socket" send-keys -t closing C-s
tmux -S "$socket" send-keys -t closing Enter
sleep 0.3
kill -0 "$pid" 2>/dev/null || fail "did not wait for the stopped terminal"
tmux -S "$socket" kill-session -t closing
for _ in $(seq 1 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
kill -0 "$pid" 2>/dev/null && fail "still running after its terminal closed"
left=$(find "$big" -name '*.obj' | wc -l)
[ "$left" -gt 0 ] || fail "went on deleting after its terminal closed"
echo "PASS"
