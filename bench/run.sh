#!/usr/bin/env bash
# Benchmark for buildsweep against a kernel floor, GNU find and fd.
#
#   bench/run.sh [--large | --folders N [--files N]] [--runs N] [--only-tmpfs] [--features] [--keep] [--tools DIR] BUILDSWEEP_BINARY
#   bench/run.sh [--cold] [--terminal] [--jobs-list N,N,...] [--folders N [--files N]] [--runs N] [--keep] [--tools DIR] BUILDSWEEP_BINARY
#   bench/run.sh --tracked [--tracked-files N | --repositories N] [--folders N [--files N]] [--runs N] [--keep] [--tools DIR] BUILDSWEEP_BINARY
#   bench/run.sh --smoke [--tools DIR] BUILDSWEEP_BINARY
#   bench/run.sh --latency US [--ordered] [--jobs-list N,N,...] [--folders N [--files N]] [--runs N] [--keep] [--tools DIR] BUILDSWEEP_BINARY
#   bench/run.sh --jobs-sweep [--ordered] [--only-tmpfs] [--jobs-list N,N,...] [--folders N [--files N]] [--runs N] [--keep] [--tools DIR] BUILDSWEEP_BINARY
#
# See bench/README.md for what it prints. --cold: on disk, the page cache
# dropped before every run (root only). --features: also times --older-than
# (an age every file is past, so the same files go) and --json. --terminal:
# the report to a tmux pane against the report to a file. --tracked: the tree
# made a git work tree that tracks N of the files it keeps (or, with
# --repositories N, about N nested repositories, each tracking every other
# file of its own), with the tracked-file check against --include-tracked.
# --latency US: the tree
# served by bench_latency_fs, a FUSE file system that answers every request
# US microseconds late (a network share), caches dropped before every run;
# floors and buildsweep -j N for every N of the jobs list (default
# 1,2,4,8,16,32,64) and buildsweep's default. Needs root, /dev/fuse and
# libfuse3 (Debian: apt-get install -y libfuse3-dev fuse3). --jobs-sweep: the
# same thread counts on the warm file systems. --ordered: with either, also
# the required work in bfs's shape at each count (bench_floor --ordered: one
# thread walks in order and writes, the others only make system calls for
# it), beside buildsweep's own shape. Environment: BENCH_TMPFS_ROOT, BENCH_DISK_ROOT
# (where the trees go), BENCH_SEED, BENCH_BUILD_DIR (where the helper programs
# are built when --tools is not given).
set -euo pipefail
# One locale for every tool, for find's -name matching and for sort.
export LC_ALL=C

readonly BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly EXTENSIONS=(pch mdp clw obj aps cpl awk tmp exp idb opt map ilk scc bsc sbr manifest dep log suo tlb ncb ncp bak)

usage() {
    sed -n '4,9s/^#  *//p' "${BASH_SOURCE[0]}" >&2
    exit 2
}

say() { printf '%s\n' "$*"; }
warn() {
    printf 'WARNING: %s\n' "$*" >&2
    warnings=$((warnings + 1))
}
die() {
    printf 'bench: %s\n' "$*" >&2
    exit 1
}

# ---------------------------------------------------------------- options

large=0 smoke=0 only_tmpfs=0 keep=0 runs="" tools_dir="" binary="" folders_option="" files_option=""
cold=0 terminal=0 features=0 jobs_list="" tracked=0 tracked_files=100000 latency_us="" jobs_sweep=0 repositories=0 ordered=0
while (($#)); do
    case $1 in
        --large) large=1 ;;
        --smoke) smoke=1 ;;
        --cold) cold=1 ;;
        --terminal) terminal=1 ;;
        --ordered) ordered=1 ;;
        --features) features=1 ;;
        --tracked) tracked=1 ;;
        --latency) (($# >= 2)) || usage; latency_us=$2; jobs_sweep=1; shift ;;
        --jobs-sweep) jobs_sweep=1 ;;
        --tracked-files) (($# >= 2)) || usage; tracked_files=$2; shift ;;
        --repositories) (($# >= 2)) || usage; repositories=$2; shift ;;
        --jobs-list) (($# >= 2)) || usage; jobs_list=$2; shift ;;
        --only-tmpfs) only_tmpfs=1 ;;
        --keep) keep=1 ;;
        --runs) (($# >= 2)) || usage; runs=$2; shift ;;
        --folders) (($# >= 2)) || usage; folders_option=$2; shift ;;
        --files) (($# >= 2)) || usage; files_option=$2; shift ;;
        --tools) (($# >= 2)) || usage; tools_dir=$2; shift ;;
        -h | --help) usage ;;
        -*) usage ;;
        *) [[ -z $binary ]] || usage; binary=$1 ;;
    esac
    shift
done
[[ -n $binary ]] || usage
[[ -x $binary ]] || die "not an executable: $binary"
binary=$(realpath "$binary")
[[ -z $runs || $runs =~ ^[1-9][0-9]*$ ]] || die "--runs wants a positive number"
[[ $tracked_files =~ ^[1-9][0-9]*$ ]] || die "--tracked-files wants a positive number"
[[ $repositories =~ ^[0-9]+$ ]] || die "--repositories wants a number"
[[ -z $latency_us || $latency_us =~ ^[0-9]+$ ]] || die "--latency wants microseconds"
if [[ -z $jobs_list ]]; then
    jobs_list=2,8,16,32
    ((jobs_sweep)) && jobs_list=1,2,4,8,16,32,64
fi
[[ $jobs_list =~ ^([1-9][0-9]*(,[1-9][0-9]*)*)?$ ]] || die "--jobs-list wants numbers separated by commas, e.g. 2,8,16,32"
IFS=, read -r -a listed_jobs <<<"$jobs_list"

seed=${BENCH_SEED:-1}
if ((smoke)); then
    folders=50 files=10 runs=1
elif ((large)); then
    folders=1000000 files=2 runs=${runs:-3}
elif [[ -n $folders_option ]]; then
    [[ $folders_option =~ ^[1-9][0-9]*$ && ${files_option:-10} =~ ^[1-9][0-9]*$ ]] ||
        die "--folders and --files want positive numbers"
    folders=$folders_option files=${files_option:-10} runs=${runs:-5}
else
    folders=20000 files=10 runs=${runs:-5}
fi
# The terminal mode's own tree: smaller, as a terminal shows every line.
terminal_folders=${folders_option:-5000} terminal_files=${files_option:-10}
((smoke)) && terminal_folders=$folders terminal_files=$files
warnings=0

# ---------------------------------------------------------------- helpers

# Builds bench_gen_tree and bench_floor unless --tools names a folder with them.
prepare_tools() {
    if [[ -z $tools_dir ]]; then
        tools_dir=${BENCH_BUILD_DIR:-/var/tmp/buildsweep-bench-tools}
        say "building the bench tools in $tools_dir ..."
        cmake -S "$BENCH_DIR" -B "$tools_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
        cmake --build "$tools_dir" --target bench_gen_tree bench_floor -j 2 >/dev/null
        if [[ -n $latency_us ]]; then
            cmake --build "$tools_dir" --target bench_latency_fs -j 2 >/dev/null 2>&1 || true
        fi
    fi
    latency_fs="$tools_dir/bench_latency_fs"
    gen_tree=$(realpath "$tools_dir/bench_gen_tree")
    floor=$(realpath "$tools_dir/bench_floor")
    [[ -x $gen_tree && -x $floor ]] || die "no bench_gen_tree/bench_floor in $tools_dir"
}

# Prints the value of key=value field $1 in line $2.
field() {
    local pair
    for pair in $2; do
        [[ $pair == "$1="* ]] && { printf '%s\n' "${pair#*=}"; return; }
    done
    printf '\n'
}

# Median of the numbers on stdin.
median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Smallest of the numbers on stdin.
minimum() { sort -g | head -n 1; }

# Arguments that make find delete what buildsweep deletes: each extension as
# "*.ext" (which also matches ".ext") and as the whole dot-less name.
find_rule=()
for extension in "${EXTENSIONS[@]}"; do
    find_rule+=(-name "*.$extension" -o -name "$extension" -o)
done
unset 'find_rule[${#find_rule[@]}-1]'
fd_rule="^(?:.*\\.)?(?:$(IFS='|'; echo "${EXTENSIONS[*]}"))\$"

fd_binary=$(command -v fdfind || command -v fd || true)
time_binary=/usr/bin/time
[[ -x $time_binary ]] || time_binary=""

# Whether the program takes -j (a build without it would ignore the option
# and run with its default, which would pass for a one-thread run). Asked in
# an empty folder: a build without a command line ignores --help and cleans
# where it stands.
takes_jobs() {
    local empty
    empty=$(mktemp -d)
    (cd "$empty" && "$binary" --help 2>/dev/null </dev/null) | grep -q -- '--jobs'
    local found=$?
    rm -rf "$empty"
    return $found
}

# The command line of tool $1, run inside the tree.
tool_command() {
    case $1 in
        floor) command_line=("$floor") ;;
        floor[0-9]*) command_line=("$floor" --threads "${1#floor}") ;;
        required[0-9]*) command_line=("$floor" --required-work --threads "${1#required}") ;;
        ordered[0-9]*) command_line=("$floor" --ordered --threads "${1#ordered}") ;;
        buildsweep) command_line=("$binary") ;;
        buildsweep-j[0-9]*) command_line=("$binary" -j "${1#buildsweep-j}") ;;
        # Every file of the refilled tree is older than the start of the run.
        buildsweep-age) command_line=("$binary" --older-than 0s) ;;
        buildsweep-json) command_line=("$binary" --json) ;;
        # The tracked-file check off: every listed file goes, tracked or not.
        buildsweep-all) command_line=("$binary" --include-tracked) ;;
        # Like buildsweep, find keeps a link that leads to a folder (-xtype d).
        find) command_line=(find . \( -type f -o -type l ! -xtype d \) \( "${find_rule[@]}" \) -print -delete) ;;
        # -u: hidden and ignored files too; -s: fd would otherwise match case-insensitively.
        # fd cannot spare links to folders; its result is checked against a list without them.
        fd) command_line=("$fd_binary" -u -s -t f -t l "$fd_rule" -X rm -f) ;;
    esac
}

# Runs tool $1 in the tree once, timed; sets elapsed_ms, rss_kib, status.
timed_run() {
    local tool=$1 start end
    tool_command "$tool"
    local rss_file="$work/out/$tool.rss"
    local wrapper=()
    [[ -n $time_binary ]] && wrapper=("$time_binary" -f %M -o "$rss_file")
    start=$(date +%s%N)
    set +e
    (cd "$tree" && exec "${wrapper[@]}" "${command_line[@]}") <"$work/enter" >"$work/out/$tool.out" 2>"$work/out/$tool.err"
    status=$?
    set -e
    end=$(date +%s%N)
    elapsed_ms=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.1f", ns / 1e6 }')
    rss_kib=-
    [[ -n $time_binary && -s $rss_file ]] && rss_kib=$(tail -n 1 "$rss_file")
    return 0
}

# Sorted listing of the tree in the survivor-list format, with its checksum;
# a .git (the tracked mode's repositories; the generated tree has none) is
# no part of the tree.
tree_checksum() {
    (cd "$tree" && find . -mindepth 1 -name .git -prune -o -printf '%y %P\n') | sort | tee "$work/remaining" | md5sum | cut -d' ' -f1
}

# Puts back whatever the last run deleted and checks nothing is missing.
restore_tree() {
    local line
    line=$("$gen_tree" "${gen_options[@]}" --out "$tree") || die "restoring the tree failed: $line"
    local present=$(($(field created "$line") + $(field existing "$line")))
    ((present == expected_entries + expected_folders)) ||
        die "restored tree has $present entries, expected $((expected_entries + expected_folders))"
    sync
}

# True when tool $1 failed only over the looping link of the edge cases:
# find's -xtype cannot resolve it and says so, and deletes it all the same.
expected_complaints() {
    [[ $1 == find ]] && ! grep -qv 'Too many levels of symbolic links' "$work/out/find.err"
}

# Compares the tree after tool $1 ran with what a correct clean leaves.
verify_run() {
    local tool=$1 sum expected=expected
    [[ $tool == fd ]] && expected=expected-if-links-go
    keeps_tracked "$tool" && expected=expected-tracked
    ((status == 0)) || expected_complaints "$tool" ||
        warn "$label: $tool exited with status $status ($(head -c 200 "$work/out/$tool.err"))"
    sum=$(tree_checksum)
    if [[ $sum != "${expected_sums[$expected]}" ]]; then
        local remaining
        remaining=$(grep -vc '^d ' "$work/remaining" || true)
        warn "$label: after $tool $remaining entries remain, expected $(grep -vc '^d ' "$work/$expected"); first differences (< expected, > actual):"
        diff "$work/$expected" "$work/remaining" | grep '^[<>]' | head -n 5 >&2 || true
        disagreements=$((disagreements + 1))
    fi
    case $tool in
        buildsweep*) check_buildsweep_report "$tool" ;;
        find) check_count find "$(wc -l <"$work/out/find.out")" ;;
    esac
}

# Whether tool $1 keeps the by-products git tracks: buildsweep without
# --include-tracked, in the tracked mode's work tree.
keeps_tracked() {
    ((kept_tracked > 0)) && [[ $1 == buildsweep || $1 == buildsweep-j[0-9]* ]]
}

# Checks a deletion count that tool $1 reported ($3 expected, or the targets).
check_count() {
    local expected=${3:-$expected_targets}
    if (($2 != expected)); then
        warn "$label: $1 reports $2 deletions, expected $expected"
        disagreements=$((disagreements + 1))
    fi
}

# Checks the report of buildsweep run as tool $1: the total, and that it adds
# up; in a work tree, that it kept the tracked by-products and said how many.
check_buildsweep_report() {
    local out="$work/out/$1.out" total deletes per_folder expected=$expected_targets
    keeps_tracked "$1" && expected=$((expected_targets - tracked_targets))
    if [[ $1 == buildsweep-json ]]; then
        total=$(sed -n 's/^{"type":"total","deleted":\([0-9]*\).*/\1/p' "$out")
        deletes=$(grep -c '^{"type":"delete",' "$out" || true)
        per_folder=$(sed -n 's/^{"type":"count",.*"deleted":\([0-9]*\)}$/\1/p' "$out" | awk '{ s += $1 } END { print s + 0 }')
    else
        total=$(sed -n 's/^Total Remove File : \([0-9]*\).*/\1/p' "$out" | tail -n 1)
        deletes=$(grep -c '^Delete : ' "$out" || true)
        per_folder=$(sed -n 's/^Remove File Count = \([0-9]*\).*/\1/p' "$out" | awk '{ s += $1 } END { print s + 0 }')
    fi
    check_count "buildsweep (Total Remove File)" "${total:--1}" "$expected"
    check_count "buildsweep (Delete lines)" "$deletes" "$expected"
    check_count "buildsweep (sum of Remove File Count)" "$per_folder" "$expected"
    if keeps_tracked "$1"; then
        check_count "buildsweep (Total Kept (tracked))" \
            "$(sed -n 's/^Total Kept (tracked) : \([0-9]*\).*/\1/p' "$out" | tail -n 1 | grep . || echo -1)" "$kept_tracked"
    fi
}

# Peak RSS of buildsweep in an empty folder: its fixed cost, so the cost per folder can be told apart.
baseline_rss() {
    [[ -n $time_binary ]] || { echo -; return; }
    local empty="$work/empty"
    mkdir -p "$empty"
    (cd "$empty" && "$time_binary" -f %M -o "$work/out/baseline.rss" "$binary") <"$work/enter" >/dev/null 2>&1 || true
    tail -n 1 "$work/out/baseline.rss"
}

# The type of the file system $1 is on (stat alone says ext2/ext3 for ext4).
filesystem_type() {
    local type
    type=$(findmnt -no FSTYPE -T "$1" 2>/dev/null | tail -n 1 || true)
    [[ -n $type ]] || type=$(stat -f -c %T "$1")
    printf '%s\n' "$type"
}

# Whether the page cache can be dropped: root, and a writable drop_caches
# (a container may mount /proc/sys read-only). Sets cold_problem otherwise.
can_drop_caches() {
    cold_problem=""
    if (($(id -u) != 0)); then
        cold_problem="not root: the page cache can only be dropped as root"
    elif ! (sync && echo 3 >/proc/sys/vm/drop_caches) 2>/dev/null; then
        cold_problem="/proc/sys/vm/drop_caches is not writable here"
    fi
    [[ -z $cold_problem ]]
}

# Everything written is on the disk and nothing of it is cached any more.
drop_caches() {
    sync
    echo 3 >/proc/sys/vm/drop_caches
}

# Makes tree $tree in $work below $1 (label $label) with its lists of what a
# correct clean leaves; returns 1 (after a warning) when $1 lacks the inodes.
make_tree() {
    local base=$1
    mkdir -p "$base" || die "cannot create $base"
    work="$base/tree-$folders-$files-$seed"
    tree="$work/tree"
    rm -rf "$work"  # a tree kept by --keep would otherwise count against the room below
    # Every folder and file is an inode; a default /dev/shm has about 3 million.
    local needed=$((expected_folders + expected_entries + 100)) free_inodes
    free_inodes=$(stat -f -c %d "$base")
    if ((free_inodes < needed)); then
        warn "$label: skipped, the tree needs $needed inodes and $base has $free_inodes free" \
            "(set BENCH_TMPFS_ROOT or BENCH_DISK_ROOT to a roomier file system, see bench/README.md)"
        return 1
    fi
    mkdir -p "$work/out"
    printf '\n\n' >"$work/enter"

    local line list
    line=$("$gen_tree" "${gen_options[@]}" --out "$tree" --survivors "$work/expected" \
        --survivors-if-links-go "$work/expected-if-links-go") || die "generating the tree failed"
    declare -gA expected_sums=()
    for list in expected expected-if-links-go; do
        sort -o "$work/$list" "$work/$list"
        expected_sums[$list]=$(md5sum <"$work/$list" | cut -d' ' -f1)
    done
    [[ $(tree_checksum) != "${expected_sums[expected]}" ]] || die "$label: generated tree equals the cleaned one: nothing to delete"
    (($(wc -l <"$work/remaining") == expected_entries + expected_folders)) ||
        die "$label: generated tree has $(wc -l <"$work/remaining") entries, expected $((expected_entries + expected_folders))"
    tree_seconds=$(field seconds "$line")
}

# ---------------------------------------------------------------- one file system

# Benchmarks every tool on the file system below $2 (label $1); with $3 = cold,
# the page cache is dropped before every timed run.
bench_filesystem() {
    label=$1
    local base=$2 cache=${3:-warm}
    make_tree "$base" || return 0

    local tools=(floor floor2) jobs
    [[ $cache == cold ]] && tools+=(floor8 floor32)
    tools+=(buildsweep)
    ((jobs_option)) && tools+=(buildsweep-j1)
    ((features)) && tools+=(buildsweep-age buildsweep-json)
    if [[ $cache == cold ]] && ((jobs_option)); then
        for jobs in "${listed_jobs[@]}"; do
            ((jobs == 1)) || tools+=("buildsweep-j$jobs")
        done
    fi
    ((jobs_sweep)) && jobs_sweep_tools
    tools+=(find)
    [[ -n $fd_binary ]] && ((!smoke)) && tools+=(fd)

    say ""
    say "== $label: $base ($(filesystem_type "$base")), $runs run(s) per tool, tree written in $tree_seconds s"
    [[ $cache == cold ]] && say "   before every run: sync; echo 3 > /proc/sys/vm/drop_caches (nothing of the tree cached)"
    declare -A times=() rss=()
    local run tool
    # Tools take turns within each round, so a slow drift of the machine
    # spreads over all of them instead of landing on one.
    for ((run = 1; run <= runs; run++)); do
        for tool in "${tools[@]}"; do
            restore_tree
            [[ $cache == cold ]] && drop_caches
            timed_run "$tool"
            times[$tool]+="$elapsed_ms "
            rss[$tool]+="$rss_kib "
            verify_run "$tool"
        done
    done

    report "${tools[@]}"
    ((jobs_sweep)) && report_jobs_sweep
    if ((!keep)); then rm -rf "$work"; fi
}

# Adds to tools the floor and buildsweep -j N at every N of the jobs list,
# and the floor with the required work at 1 and 2 threads.
jobs_sweep_tools() {
    local jobs
    tools+=(required1 required2)
    for jobs in "${listed_jobs[@]}"; do
        # The plain run has the 2-thread floor already.
        ((jobs == 1)) || [[ " ${tools[*]} " == *" floor$jobs "* ]] || tools+=("floor$jobs")
        ((ordered)) && tools+=("ordered$jobs")
        ((jobs == 1)) && ((jobs_option)) && continue  # buildsweep-j1 is there already
        tools+=("buildsweep-j$jobs")
    done
}

# buildsweep -j N against the floor at N threads, and the default against
# the best floor and the required-work floors (medians of this run).
report_jobs_sweep() {
    local jobs floor_tool best=floor tool
    for tool in "${!times[@]}"; do
        [[ $tool == floor* ]] && awk -v a="$(median_of "$tool")" -v b="$(median_of "$best")" 'BEGIN { exit !(a < b) }' && best=$tool
    done
    say "   best plain floor: $(median_of "$best") ms ($best)"
    for jobs in "${listed_jobs[@]}"; do
        floor_tool=floor$jobs
        ((jobs == 1)) && floor_tool=floor
        awk -v j="$jobs" -v b="$(median_of "buildsweep-j$jobs")" -v f="$(median_of "$floor_tool")" \
            'BEGIN { if (b > 0 && f > 0) printf "   -j %-3s %9.1f ms  %.2fx the floor at %s thread(s)\n", j, b, b / f, j }'
        ((ordered)) || continue
        awk -v j="$jobs" -v b="$(median_of "ordered$jobs")" -v f="$(median_of "$floor_tool")" \
            'BEGIN { if (b > 0 && f > 0) printf "   ordered %-3s %6.1f ms  %.2fx the floor at %s thread(s)\n", j, b, b / f, j }'
    done
    awk -v b="$(median_of buildsweep)" -v x="$(median_of "$best")" -v r1="$(median_of required1)" \
        -v r2="$(median_of required2)" -v j1="$(median_of buildsweep-j1)" \
        'BEGIN { if (b > 0 && x > 0 && r2 > 0 && r1 > 0) printf "   default: %.2fx the best plain floor, %.2fx the 2-thread required-work floor; -j 1: %.2fx the 1-thread required-work floor\n", b / x, b / r2, j1 / r1 }'
}

# Median of tool $1's times in this run.
median_of() { tr ' ' '\n' <<<"${times[$1]:-}" | grep . | median; }

# ---------------------------------------------------------------- a slow share

# Why the latency mode can't run here, or nothing.
latency_problem() {
    if (($(id -u) != 0)); then
        echo "not root: the page cache can only be dropped, and FUSE mounted, as root"
    elif [[ ! -c /dev/fuse ]]; then
        echo "no /dev/fuse here"
    elif [[ ! -x $latency_fs ]]; then
        echo "no bench_latency_fs: libfuse3 is missing (apt-get install -y libfuse3-dev fuse3)"
    elif ! command -v fusermount3 >/dev/null; then
        echo "no fusermount3 (apt-get install -y fuse3)"
    elif ! (sync && echo 3 >/proc/sys/vm/drop_caches) 2>/dev/null; then
        echo "/proc/sys/vm/drop_caches is not writable here"
    fi
}

# The floors and buildsweep at every thread count of the jobs list on a tree
# served with $latency_us microseconds per request. The tree is restored and
# checked in its backing folder, and timed through the mount.
bench_latency() {
    label="share, $latency_us us per request"
    local problem
    problem=$(latency_problem)
    if [[ -n $problem ]]; then
        say ""
        say "== $label: skipped, $problem"
        return 0
    fi
    make_tree "${BENCH_DISK_ROOT:-/var/tmp/buildsweep-bench}" || return 0
    local backing=$tree mount="$work/mnt"
    mkdir -p "$mount"
    "$latency_fs" "$backing" "$mount" "$latency_us" >"$work/out/latency_fs.log" 2>&1 &
    latency_pid=$!
    local waited
    for ((waited = 0; waited < 50; waited++)); do
        findmnt -n "$mount" >/dev/null 2>&1 && break
        sleep 0.1
    done
    findmnt -n "$mount" >/dev/null 2>&1 || die "$label: the FUSE file system did not mount ($(head -c 200 "$work/out/latency_fs.log"))"
    local tools=(floor) jobs
    ((jobs_option)) && tools+=(buildsweep-j1)
    tools+=(buildsweep)
    jobs_sweep_tools
    say ""
    say "== $label: bench_latency_fs (FUSE, up to 64 requests at once) over $backing, $runs run(s) per tool"
    say "   before every run: sync; echo 3 > /proc/sys/vm/drop_caches"
    declare -A times=() rss=()
    local run tool
    for ((run = 1; run <= runs; run++)); do
        for tool in "${tools[@]}"; do
            tree=$backing
            restore_tree
            drop_caches
            tree=$mount
            timed_run "$tool"
            tree=$backing
            times[$tool]+="$elapsed_ms "
            rss[$tool]+="$rss_kib "
            verify_run "$tool"
        done
    done
    fusermount3 -u "$mount" || true
    wait "$latency_pid" || true
    latency_pid=""
    report "${tools[@]}"
    report_jobs_sweep
    if ((!keep)); then rm -rf "$work"; fi
}

# ---------------------------------------------------------------- a terminal

# Runs buildsweep in the tree once, the prompts answered from the same file
# as ever, with its report to the tmux pane of session $session ($1 = pane)
# or to a file ($1 = file), or to a terminal that only copies what it gets
# ($1 = script: script(1), its copy to /dev/null); or ($1 = pane-dd) writes
# the report a file run left to the pane with dd in 32 KiB blocks, which is
# how fast the pane itself takes those bytes; or ($1 = pane-beside) does
# that while the run goes on beside it with its report to a file: the same
# work and the same bytes through the pane on the same processors, neither
# waiting for the other, which no run at the pane can beat. Sets elapsed_ms
# and status. All are timed the same way, by the shell that starts the
# program, so starting the pane costs nothing.
terminal_run() {
    local result="$work/out/terminal.result" output="" program="'$binary' <'$work/enter'"
    rm -f "$result"
    [[ $1 == file ]] && output=">'$work/out/buildsweep.out' 2>'$work/out/buildsweep.err'"
    [[ $1 == pane-dd ]] && program="dd if='$work/out/report.saved' bs=32k status=none"
    [[ $1 == pane-beside ]] &&
        program="{ $program >'$work/out/beside.out' 2>&1 & dd if='$work/out/report.saved' bs=32k status=none; wait \$!; }"
    # shellcheck disable=SC2016  # expanded by the shell that runs it
    local script="cd '$tree' && s=\$(date +%s%N) && $program $output; st=\$?; e=\$(date +%s%N); echo \"\$(((e - s) / 1000)) \$st\" >'$result.part' && mv '$result.part' '$result'"
    if [[ $1 == file ]]; then
        sh -c "$script"
    elif [[ $1 == script ]]; then
        script -qec "$script" /dev/null >/dev/null
    else
        tmux -S "$tmux_socket" respawn-pane -k -t "$session" "$script; exec sleep 86400"
        local waited
        for ((waited = 0; waited < 6000; waited++)); do
            [[ -s $result ]] && break
            sleep 0.05
        done
    fi
    [[ -s $result ]] || die "$label: the run ($1) did not end within 5 minutes"
    local us
    read -r us status <"$result"
    elapsed_ms=$(awk -v us="$us" 'BEGIN { printf "%.1f", us / 1000 }')
}

# Ends the benchmark's own tmux server, if one runs.
tmux_socket=""
stop_tmux() {
    [[ -n ${tmux_socket:-} ]] && tmux -S "$tmux_socket" kill-server 2>/dev/null
    tmux_socket=""
    return 0
}

# Whether command $1 is there; says mode $2 is skipped, because $3, when not.
have_or_skip() {
    command -v "$1" >/dev/null && return 0
    say ""
    say "== $2: skipped, $3"
    return 1
}

# Times buildsweep with its report to a tmux pane of 200x50 against the same
# run with its report to a file, on tmpfs (warm), and prints the ratio.
bench_terminal() {
    label=terminal
    have_or_skip tmux "terminal" "tmux is not installed (scripts/test.sh installs it)" || return 0
    local saved_folders=$folders saved_files=$files
    folders=$terminal_folders files=$terminal_files
    count_tree
    local base=${BENCH_TMPFS_ROOT:-/dev/shm/buildsweep-bench}
    ((smoke)) && base=$smoke_base
    if make_tree "$base"; then
        tmux_socket="$work/tmux.socket" session=bench
        tmux -S "$tmux_socket" -f /dev/null new-session -d -s "$session" -x 200 -y 50 "exec sleep 86400"
        say ""
        say "== terminal: $base ($(filesystem_type "$base")), tree of $expected_folders folders, $expected_entries files; $runs run(s) each"
        say "   buildsweep with its report to a tmux pane (200x50, TERM=$(tmux -S "$tmux_socket" show-options -gv default-terminal)) against its report to a file"
        declare -A times=()
        local run tool kinds=(file pane pane-dd pane-beside)
        command -v script >/dev/null && kinds+=(script)
        for ((run = 1; run <= runs; run++)); do
            for tool in "${kinds[@]}"; do
                [[ $tool == pane-dd ]] || restore_tree
                terminal_run "$tool"
                [[ $tool == file ]] && cp "$work/out/buildsweep.out" "$work/out/report.saved"
                if [[ $tool == pane-dd ]]; then
                    :
                elif [[ $tool != file ]]; then
                    ((status == 0)) || warn "terminal: buildsweep exited with status $status ($tool)"
                    [[ $(tree_checksum) == "${expected_sums[expected]}" ]] || {
                        warn "terminal: the run ($tool) did not leave the expected files"
                        disagreements=$((disagreements + 1))
                    }
                else
                    verify_run buildsweep
                fi
                times[$tool]+="$elapsed_ms "
            done
        done
        stop_tmux
        declare -A med=()
        printf '   %-36s %11s %10s\n' "report to" "median ms" "min ms"
        for tool in pane file pane-dd pane-beside script; do
            [[ -n ${times[$tool]:-} ]] || continue
            med[$tool]=$(tr ' ' '\n' <<<"${times[$tool]}" | grep . | median)
            local name
            case $tool in
                pane) name="tmux pane" ;;
                file) name="file" ;;
                pane-dd) name="tmux pane, the same bytes by dd 32k" ;;
                pane-beside) name="file, pane taking the bytes beside" ;;
                script) name="script(1) to /dev/null" ;;
            esac
            awk -v n="$name" -v m="${med[$tool]}" -v lo="$(tr ' ' '\n' <<<"${times[$tool]}" | grep . | minimum)" \
                'BEGIN { printf "   %-36s %11.1f %10.1f\n", n, m, lo }'
        done
        awk -v p="${med[pane]}" -v f="${med[file]}" -v d="${med[pane-dd]}" -v b="$(wc -c <"$work/out/buildsweep.out")" \
            'BEGIN { if (f > 0 && d > 0) printf "   at a terminal: %.2fx the run with its report to a file; the pane alone takes the %d bytes in %.2fx that run\n", p / f, b, d / f }'
        awk -v p="${med[pane]}" -v f="${med[file]}" -v b="${med[pane-beside]}" \
            'BEGIN { if (f > 0 && b > 0) printf "   the run and the pane side by side, neither waiting: %.2fx the run to a file (the pane run: %.2fx that)\n", b / f, p / b }'
        [[ -n ${med[script]:-} ]] && awk -v s="${med[script]}" -v f="${med[file]}" \
            'BEGIN { if (f > 0) printf "   at a terminal that costs nothing (script): %.2fx the run to a file\n", s / f }'
        if ((!keep)); then rm -rf "$work"; fi
    fi
    folders=$saved_folders files=$saved_files
    count_tree
}

# ---------------------------------------------------------------- tracked files

# How many of the tree's by-products the tracked mode has git track, so that
# a run shows the check at work: each is kept with the check and deleted
# without it.
readonly TRACKED_TARGETS=100
kept_tracked=0 tracked_targets=0

# Times buildsweep in a git work tree on tmpfs (warm): the tree, whose top is
# the repository's work tree, with $tracked_files of the files a clean keeps
# and $TRACKED_TARGETS by-products in the index, against the same run with
# --include-tracked. The two take turns, which goes first changing every
# round; each is checked against what it must leave. Prints both, their
# ratio (of the medians, and the median of each round's ratio), the index's
# size and the memory the check takes.
# Lays the tree out as about $1 nested repositories: each folder whose
# subtree holds at most (folders / $1) folders while its parent's holds more
# (and at least a quarter of that) is a repository of its own, inside the
# one at the tree's top; each index tracks every other file (and link) of
# its own work tree. The tracked paths go to $work/tracked.
lay_out_repositories() {
    local limit=$((expected_folders / $1)) repo
    grep '^d ' "$work/remaining" | cut -c3- | awk -v limit="$limit" '
        { n = split($0, part, "/"); p = ""
          for (i = 1; i <= n; i++) { p = p (i > 1 ? "/" : "") part[i]; size[p]++ }
          folder[NR] = $0 }
        END { for (i = 1; i <= NR; i++) {
                  d = folder[i]; parent = d
                  outer = sub(/\/[^\/]*$/, "", parent) ? size[parent] : limit + 1
                  if (size[d] <= limit && size[d] * 4 >= limit && outer > limit) print d } }' |
        sort >"$work/repositories"
    # Each file's repository is the innermost around it; every other one is tracked.
    grep '^[fl] ' "$work/remaining" | awk '
        NR == FNR { top[$0] = 1; next }
        { path = substr($0, 3); n = split(path, part, "/"); p = ""; owner = "."
          for (i = 1; i < n; i++) { p = p (i > 1 ? "/" : "") part[i]; if (p in top) owner = p }
          if (count[owner]++ % 2 == 0) print owner "\t" substr($0, 1, 2) path }' "$work/repositories" - |
        sort >"$work/owned"
    cut -f2 "$work/owned" | sort >"$work/tracked"
    { echo .; cat "$work/repositories"; } | while IFS= read -r repo; do
        git -C "$tree/$repo" init -q
        git -C "$tree/$repo" config gc.auto 0
        git -C "$tree/$repo" config maintenance.auto false
        awk -F '\t' -v r="$repo" '$1 == r { p = substr($2, 3); if (r != ".") p = substr(p, length(r) + 2); printf "%s%c", p, 0 }' "$work/owned" |
            git -C "$tree/$repo" update-index --add -z --stdin
    done
}

bench_tracked() {
    label=tracked
    have_or_skip git "tracked files" "git is not installed" || return 0
    local base=${BENCH_TMPFS_ROOT:-/dev/shm/buildsweep-bench}
    ((smoke)) && base=$smoke_base
    make_tree "$base" || return 0
    # What a clean deletes, and what it keeps: files and links, no folders.
    comm -23 "$work/remaining" "$work/expected" | grep '^[fl] ' >"$work/targets" || true
    if ((repositories > 0)); then
        lay_out_repositories "$repositories"
        sort "$work/targets" | comm -12 - "$work/tracked" >"$work/tracked-targets"
    else
        local step=$(($(wc -l <"$work/targets") / TRACKED_TARGETS + 1))
        awk -v step="$step" -v n="$TRACKED_TARGETS" '/^f / && NR % step == 1 && ++taken <= n' "$work/targets" >"$work/tracked-targets"
    fi
    tracked_targets=$(wc -l <"$work/tracked-targets")
    sort -o "$work/expected-tracked" "$work/expected" "$work/tracked-targets"
    expected_sums[expected-tracked]=$(md5sum <"$work/expected-tracked" | cut -d' ' -f1)
    # No automatic gc or maintenance: nothing may run beside the timed runs.
    local git=(git -C "$tree" -c gc.auto=0 -c maintenance.auto=false -c user.name=bench -c user.email=bench@invalid)
    if ((repositories == 0)); then
        git -C "$tree" init -q
        git -C "$tree" config gc.auto 0
        git -C "$tree" config maintenance.auto false
        { awk -v n="$tracked_files" '/^[fl] / && ++taken <= n' "$work/expected"; cat "$work/tracked-targets"; } |
            sort >"$work/tracked"
    fi
    # Kept and counted: the tracked by-products, and the tracked links to
    # folders whose names are listed (kept anyway, but as tracked files).
    kept_tracked=$(comm -23 "$work/expected" "$work/expected-if-links-go" |
        sort - "$work/tracked-targets" | comm -12 - "$work/tracked" | wc -l)
    # update-index takes the paths as they are; add would match each file
    # against every one of them as a pathspec.
    local in_index index_bytes
    if ((repositories > 0)); then
        in_index=$(wc -l <"$work/tracked")
        index_bytes=$(find "$tree" -path '*/.git/index' -printf '%s\n' | awk '{ n += $1 } END { print n + 0 }')
        say ""
        say "== tracked files: $base ($(filesystem_type "$base")), $(($(wc -l <"$work/repositories") + 1)) nested repositories" \
            "of about $((expected_folders / repositories)) folders or fewer, $in_index tracked files ($tracked_targets of them by-products)," \
            "indexes $index_bytes bytes in all"
    else
        cut -c3- "$work/tracked" | tr '\n' '\0' | "${git[@]}" update-index --add -z --stdin
        "${git[@]}" commit -q -m "the bench tree"
        in_index=$(git -C "$tree" ls-files | wc -l)
        index_bytes=$(stat -c %s "$tree/.git/index")
        say ""
        say "== tracked files: $base ($(filesystem_type "$base")), a git work tree of $in_index tracked files" \
            "($tracked_targets of them by-products), index $index_bytes bytes (version $(od -An -tu1 -j7 -N1 "$tree/.git/index" | tr -d ' '))"
    fi
    say "   $expected_targets by-products, $((expected_targets - tracked_targets)) of them untracked; $runs run(s) each," \
        "buildsweep (keeps what git tracks) and buildsweep --include-tracked taking turns"
    declare -A times=() rss=()
    local run tool ratios="" order=(buildsweep buildsweep-all)
    for ((run = 1; run <= runs; run++)); do
        declare -A this_round=()
        for tool in "${order[@]}"; do
            restore_tree
            timed_run "$tool"
            times[$tool]+="$elapsed_ms "
            rss[$tool]+="$rss_kib "
            this_round[$tool]=$elapsed_ms
            verify_run "$tool"
        done
        ratios+="$(awk -v a="${this_round[buildsweep]}" -v b="${this_round[buildsweep-all]}" 'BEGIN { printf "%.4f", a / b }') "
        order=("${order[1]}" "${order[0]}")
    done
    kept_tracked=0 tracked_targets=0

    declare -A med=() rss_med=()
    printf '   %-30s %11s %10s %14s\n' run "median ms" "min ms" "peak RSS KiB"
    for tool in buildsweep-all buildsweep; do
        med[$tool]=$(tr ' ' '\n' <<<"${times[$tool]}" | grep . | median)
        rss_med[$tool]=$(tr ' ' '\n' <<<"${rss[$tool]}" | grep -v '^-\?$' | median || true)
        local name="buildsweep --include-tracked"
        [[ $tool == buildsweep ]] && name="buildsweep (the check)"
        awk -v n="$name" -v m="${med[$tool]}" -v lo="$(tr ' ' '\n' <<<"${times[$tool]}" | grep . | minimum)" -v r="${rss_med[$tool]}" \
            'BEGIN { printf "   %-30s %11.1f %10.1f %14s\n", n, m, lo, r }'
    done
    say "   each round, the check against --include-tracked: $ratios"
    awk -v a="${med[buildsweep]}" -v b="${med[buildsweep-all]}" -v r="$(tr ' ' '\n' <<<"$ratios" | grep . | median)" \
        'BEGIN { if (b > 0) printf "   the check: %.3fx the run without it (medians), median of the rounds %.3fx; %+.1f ms\n", a / b, r, a - b }'
    [[ -n $time_binary ]] && awk -v a="${rss_med[buildsweep]}" -v b="${rss_med[buildsweep-all]}" -v i="$index_bytes" \
        'BEGIN { if (a != "" && b != "") printf "   its memory: %+d KiB peak RSS (medians), the index being %d KiB\n", a - b, i / 1024 }'
    if ((!keep)); then rm -rf "$work"; fi
}

# Prints medians, ratios and memory for the tools run on this file system.
report() {
    declare -A med=()
    local tool floor_ms
    printf '   %-16s %11s %10s %9s %14s\n' tool "median ms" "min ms" "x floor" "peak RSS KiB"
    for tool in "$@"; do
        med[$tool]=$(tr ' ' '\n' <<<"${times[$tool]}" | grep . | median)
    done
    floor_ms=${med[floor]}
    for tool in "$@"; do
        local min rss_med name=$tool
        min=$(tr ' ' '\n' <<<"${times[$tool]}" | grep . | minimum)
        rss_med=$(tr ' ' '\n' <<<"${rss[$tool]}" | grep -v '^-\?$' | median || true)
        case $tool in
            floor[0-9]*) name="floor, ${tool#floor} thr" ;;
            required[0-9]*) name="required, ${tool#required} thr" ;;
            ordered[0-9]*) name="ordered, ${tool#ordered} thr" ;;
            buildsweep-age) name="--older-than 0s" ;;
            buildsweep-json) name="--json" ;;
            buildsweep-j*) name="buildsweep -j${tool#buildsweep-j}" ;;
            find) name="find -delete" ;;
            fd) name="fd -X rm" ;;
        esac
        awk -v n="$name" -v m="${med[$tool]}" -v lo="$min" -v f="$floor_ms" -v r="$rss_med" \
            'BEGIN { printf "   %-16s %11.1f %10.1f %9.2f %14s\n", n, m, lo, (f > 0 ? m / f : 0), r }'
    done
    awk -v b="${med[buildsweep]:-}" -v f="$floor_ms" -v f2="${med[floor2]:-}" -v x="${med[find]:-}" \
        'BEGIN { if (b > 0 && f > 0 && f2 > 0 && x > 0) printf "   buildsweep: %.2fx the floor, %.2fx the 2-thread floor (which is %.2fx the floor), %.2fx faster than find -delete\n", b / f, b / f2, f2 / f, x / b }'
    awk -v b="${med[buildsweep]}" -v n="$expected_entries" \
        'BEGIN { if (n > 0) printf "   buildsweep: %.3f us per file in the tree\n", b * 1000 / n }'
    [[ -n ${med[buildsweep-j1]:-} ]] && awk -v b="${med[buildsweep-j1]}" -v f="$floor_ms" \
        'BEGIN { if (b > 0 && f > 0) printf "   buildsweep -j 1: %.2fx the floor\n", b / f }'
    [[ -n ${med[buildsweep-age]:-} ]] && awk -v a="${med[buildsweep-age]}" -v j="${med[buildsweep-json]}" -v b="${med[buildsweep]}" \
        'BEGIN { if (b > 0) printf "   --older-than: %.2fx buildsweep; --json: %.2fx buildsweep\n", a / b, j / b }'
    if [[ -n ${med[floor32]:-} ]]; then
        # Cold: what each thread count of buildsweep gives against the
        # 32-thread floor and against the best floor at any thread count.
        local best=floor
        for tool in "$@"; do
            [[ $tool == floor* ]] && awk -v a="${med[$tool]}" -v b="${med[$best]}" 'BEGIN { exit !(a < b) }' && best=$tool
        done
        local best_threads=${best#floor}
        say "   best floor: ${best_threads:-1} thread(s), ${med[$best]} ms"
        for tool in "$@"; do
            [[ $tool == buildsweep* ]] || continue
            awk -v n="$tool" -v b="${med[$tool]}" -v f="${med[floor32]}" -v x="${med[$best]}" \
                'BEGIN { sub("-j", " -j ", n); if (b > 0 && f > 0 && x > 0) printf "   %-16s %.2fx the 32-thread floor, %.2fx the best floor\n", n ":", b / f, b / x }'
        done
    fi
    [[ -n $time_binary ]] || return 0
    local peak base
    peak=$(tr ' ' '\n' <<<"${rss[buildsweep]}" | grep -v '^-\?$' | sort -n | tail -n 1)
    base=$(baseline_rss)
    awk -v p="$peak" -v n="$expected_folders" -v b="$base" 'BEGIN {
        printf "   buildsweep peak RSS %d KiB for %d folders in the tree: %.4f KiB = %.1f bytes per folder", p, n, p / n, p * 1024 / n
        if (b != "-") printf " (empty folder: %d KiB; above that %.1f bytes per folder)", b, (p - b) * 1024 / n
        printf "\n" }'
}

# ---------------------------------------------------------------- main

# What the generator will make of $folders and $files.
count_tree() {
    gen_options=(--seed "$seed" --folders "$folders" --files "$files")
    stats=$("$gen_tree" "${gen_options[@]}")
    expected_folders=$(field folders "$stats")
    expected_entries=$(field entries "$stats")
    expected_targets=$(field targets "$stats")
}

# However the script ends, its own tmux server goes with it.
latency_pid=""
clean_up() {
    stop_tmux
    [[ -z $latency_pid ]] || { fusermount3 -u "$work/mnt" 2>/dev/null || kill "$latency_pid" 2>/dev/null || true; }
}
trap clean_up EXIT

prepare_tools
count_tree
disagreements=0
jobs_option=0
takes_jobs && jobs_option=1

say "buildsweep bench: $binary"
say "tree: $expected_folders folders below the root, $expected_entries files and links ($expected_targets to delete," \
    "$(field links "$stats") links), depth max $(field max_depth "$stats") mean $(field mean_depth "$stats"), seed $seed"
say "      $(field listed_folder_links "$stats") links to folders have listed names: kept by buildsweep, floor and find;" \
    "fd cannot tell them apart and deletes them, which its check allows for"
fd_note=${fd_binary:-not installed, skipped}
((smoke)) && fd_note="not run in the smoke test"
say "find: $(find --version | head -n 1); fd: $fd_note"
say "buildsweep runs with its default number of threads$( ((jobs_option)) && echo ' and with -j 1' || echo '; it takes no -j, so no one-thread run')"
if ((cold && jobs_option)); then
    say "cold disk: also buildsweep -j N for N in $jobs_list$( ((${#listed_jobs[@]})) || echo '(none)')"
    # Builds that cap -j at the processors run every larger N as -j P.
    (cd / && "$binary" --help 2>/dev/null </dev/null) | grep -q 'at most one per processor' &&
        say "      note: this build caps -j at the processors it may use ($(nproc) here), so larger N run as -j $(nproc)"
fi

if ((smoke)); then
    smoke_base=$(mktemp -d "$([[ -d /dev/shm ]] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/buildsweep-smoke.XXXXXX")
    trap 'clean_up; rm -rf "$smoke_base"' EXIT
    bench_filesystem smoke "$smoke_base"
    # The terminal mode too, on the same small tree, when tmux is there; and
    # the tracked mode, when git is.
    command -v tmux >/dev/null && bench_terminal
    command -v git >/dev/null && bench_tracked
elif [[ -n $latency_us ]]; then
    bench_latency
elif ((cold || terminal || tracked)); then
    if ((cold)); then
        if can_drop_caches; then
            bench_filesystem "cold disk" "${BENCH_DISK_ROOT:-/var/tmp/buildsweep-bench}" cold
        else
            say ""
            say "== cold disk: skipped, $cold_problem"
        fi
    fi
    ((terminal)) && bench_terminal
    ((tracked)) && bench_tracked
else
    bench_filesystem tmpfs "${BENCH_TMPFS_ROOT:-/dev/shm/buildsweep-bench}"
    ((only_tmpfs)) || bench_filesystem disk "${BENCH_DISK_ROOT:-/var/tmp/buildsweep-bench}"
fi

say ""
if ((disagreements)); then
    say "$disagreements disagreement(s) with the expected result, $warnings warning(s): see above"
    ((smoke)) && exit 1
elif ((warnings)); then
    say "all tools agree; $warnings warning(s): see above"
    ((smoke)) && exit 1
else
    say "all tools left the same files"
fi
exit 0
