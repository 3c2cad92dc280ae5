#!/usr/bin/env bash
# Scale run: builds a tree of many names (mostly empty files, some small ones,
# a few groups of equal ones) in a few thousand directories, and one of half as
# many names in half as many directories, then
#   1. measures `twinfold -n -q` beside `jdupes -r -q`, `rdfind -dryrun true` and
#      (when it finishes within HARDLINK_TIMEOUT) util-linux `hardlink -n -c` on
#      the large tree, and twinfold and the first two peers on the half one: wall
#      time and peak RSS, median of RUNS interleaved rounds, the ratio to the
#      fastest peer and the growth from N to 2N names; then twinfold's link mode
#      on a copy of each tree, restored after every run (bench/scale_measure.py);
#   2. runs it as an ordinary user (nobody) over part of them with an 8 MiB
#      memory-lock limit, and shows that the run is whole: no allocation
#      failure, no crash, every name taken in.
#
# Usage: bench/scale_names.sh [path/to/twinfold]
#   Without a binary, a Release build is made in build-release/.
# Environment:
#   NAMES=1000000         names in the tree (2N; the half tree holds NAMES/2)
#   RUNS=3                timed rounds of each measurement
#   TIMEOUT=600           seconds per run before a tool is killed
#   HARDLINK_TIMEOUT=60   the same for util-linux hardlink, measured on the 2N
#                         tree only (it took 684 s on a million names); 0 = leave it out
#   GROWTH=1              also the half tree and the growth check (0 = 2N only)
#   LINK=1                also twinfold's link mode (0 = report mode only)
#   LOCKED_NAMES=500000   names for the locked run (at most NAMES; 0 = no locked run)
#   MEMLOCK=8388608       lock limit of the locked run, in bytes
#   DIRS=2000             directories the names are spread over
#   SCALE_ROOT=/tmp/twinfold-scale   where the trees and the lists go
#   KEEP=1                keep the trees afterwards (each is reused when NAMES and
#                         DIRS match)
# Needs GNU time (/usr/bin/time), prlimit, setpriv, cc, python3, jdupes, rdfind
# and hardlink, and runs as root (for the switch to nobody). Meant to be run by
# hand, not in CI: it writes millions of files and takes 15-20 minutes with the
# defaults (see bench/README.md).
set -euo pipefail
cd "$(dirname "$0")/.."

NAMES=${NAMES:-1000000}
RUNS=${RUNS:-3}
TIMEOUT=${TIMEOUT:-600}
HARDLINK_TIMEOUT=${HARDLINK_TIMEOUT:-60}
GROWTH=${GROWTH:-1}
LINK=${LINK:-1}
LOCKED_NAMES=${LOCKED_NAMES:-500000}
(( LOCKED_NAMES <= NAMES )) || LOCKED_NAMES=$NAMES
MEMLOCK=${MEMLOCK:-8388608}
DIRS=${DIRS:-2000}
ROOT=${SCALE_ROOT:-/tmp/twinfold-scale}

for tool in /usr/bin/time prlimit setpriv find cc python3 jdupes rdfind hardlink; do
    command -v "$tool" >/dev/null || { echo "scale_names: $tool is missing" >&2; exit 2; }
done

if [ $# -ge 1 ]; then
    BIN=$(realpath "$1")
else
    cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTWINFOLD_TESTS=OFF >/dev/null
    cmake --build build-release -j2 --target twinfold >/dev/null
    BIN=$PWD/build-release/twinfold
fi

cleanup() { [ "${KEEP:-0}" = 1 ] || rm -rf "$ROOT"; }
trap cleanup EXIT
mkdir -p "$ROOT"
chmod 755 "$ROOT"
cc -O2 -Wall -Wextra -o "$ROOT/bench_launch" bench/launch.c

# --- the trees ----------------------------------------------------------------
# make_tree DIR NAMES DIRS: per directory mostly empty files; every 10th file
# small and unique; every 100th file one of NAMES/1000 shared contents, so that
# groups of about ten equal files are spread over the whole tree. The list of
# its names goes to DIR/names.
make_tree() {
    local base=$1 names=$2 dirs=$3
    rm -rf "$base"
    mkdir -p "$base/tree"
    chmod 755 "$base" "$base/tree"
    local per_dir=$(( (names + dirs - 1) / dirs ))
    local groups=$(( names / 1000 > 0 ? names / 1000 : 1 ))
    local made=0 d j n
    for (( d = 0; d < dirs && made < names; ++d )); do
        local dir="$base/tree/d$d"
        mkdir "$dir"
        n=$(( names - made < per_dir ? names - made : per_dir ))
        (cd "$dir" && seq -f 'e%g' 0 $(( n - 1 )) | xargs touch)
        for (( j = 0; j < n; j += 10 )); do
            if (( j % 100 == 0 )); then
                printf 'shared content %d\n' $(( (made + j) / 100 % groups )) >"$dir/e$j"
            else
                printf 'small file %d/%d\n' "$d" "$j" >"$dir/e$j"
            fi
        done
        made=$(( made + n ))
    done
    chmod -R a+rX "$base/tree"
    find "$base/tree" -type f -print0 >"$base/names"
    touch "$base/complete-$names-$dirs"
}

# tree_for NAMES DIRS: makes the tree unless an earlier run left it whole.
tree_for() {
    local base="$ROOT/n$1"
    if [ -f "$base/complete-$1-$2" ]; then
        echo "reusing the tree in $base"
    else
        echo "making $1 names in $2 directories under $base ..."
        make_tree "$base" "$1" "$2"
    fi
}

SECONDS=0
tree_for "$NAMES" "$DIRS"
FULL="$ROOT/n$NAMES"
HALF_ARGS=()
if [ "$GROWTH" = 1 ]; then
    # Half the directories of as many names each: the same tree at half the size.
    tree_for $(( NAMES / 2 )) $(( DIRS / 2 > 0 ? DIRS / 2 : 1 ))
    HALF_ARGS=(--half-tree "$ROOT/n$(( NAMES / 2 ))/tree" --half-list "$ROOT/n$(( NAMES / 2 ))/names")
fi
listed=$(tr -cd '\0' <"$FULL/names" | wc -c)
echo "trees ready in ${SECONDS}s: $listed names"

field() { sed -n "s/^[[:space:]]*$1: //p" "$2"; }

report_time() {
    local file=$1
    echo "  wall clock:          $(field 'Elapsed (wall clock) time (h:mm:ss or m:ss)' "$file")"
    echo "  user / system:       $(field 'User time (seconds)' "$file") s / $(field 'System time (seconds)' "$file") s"
    echo "  peak RSS:            $(field 'Maximum resident set size (kbytes)' "$file") KiB"
    echo "  exit status:         $(field 'Exit status' "$file")"
    grep -h 'terminated by signal' "$file" || true
}

# --- 1. twinfold beside the peers, growth, link mode ---------------------------
echo
echo "== twinfold beside the peers over $listed names"
LINK_ARGS=()
[ "$LINK" = 1 ] && LINK_ARGS=(--link)
python3 bench/scale_measure.py --launch "$ROOT/bench_launch" --twinfold "$BIN" \
    --tree "$FULL/tree" --list "$FULL/names" "${HALF_ARGS[@]}" "${LINK_ARGS[@]}" \
    --runs "$RUNS" --timeout "$TIMEOUT" --hardlink-timeout "$HARDLINK_TIMEOUT" \
    --scratch "$ROOT/scratch"

[ "$LOCKED_NAMES" -gt 0 ] || exit 0

# --- 2. part of them as nobody under a memory-lock limit ----------------------
echo
echo "== twinfold -n over $LOCKED_NAMES names as nobody, memory-lock limit $MEMLOCK bytes"
head -z -n "$LOCKED_NAMES" "$FULL/names" >"$ROOT/names.locked"
/usr/bin/time -v -o "$ROOT/time.locked" \
    prlimit --memlock="$MEMLOCK" \
    setpriv --reuid=nobody --regid=nogroup --clear-groups "$BIN" -n \
    <"$ROOT/names.locked" >"$ROOT/out.locked" 2>"$ROOT/err.locked" &
runner=$!
# Watch the locked amount of the tool's memory while it runs: it shows that
# the lock was in force and when it was given up.
tool_pid=""
peak_locked=0
last_locked=""
while kill -0 "$runner" 2>/dev/null; do
    [ -n "$tool_pid" ] || tool_pid=$(pgrep -P "$runner" | head -n 1 || true)
    if [ -n "$tool_pid" ] && locked=$(sed -n 's/^VmLck:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$tool_pid/status" 2>/dev/null) && [ -n "$locked" ]; then
        (( locked > peak_locked )) && peak_locked=$locked
        last_locked=$locked
    fi
    sleep 0.05
done
wait "$runner" || true
report_time "$ROOT/time.locked"
echo "  locked memory seen:  peak ${peak_locked} KiB, last ${last_locked:-?} KiB"
echo "  input line:          $(grep -a '^Input: ' "$ROOT/out.locked" || echo '(none)')"
echo "  summary:             $(grep -a 'can be linked' "$ROOT/out.locked" || echo '(none)')"
echo "  lines out / err:     $(wc -l <"$ROOT/out.locked") / $(wc -l <"$ROOT/err.locked")"

verdict=0
if grep -aq 'Out of memory' "$ROOT/err.locked"; then
    echo "FAIL: the locked run ran out of memory"; verdict=1
fi
if grep -q 'terminated by signal' "$ROOT/time.locked"; then
    echo "FAIL: the locked run was ended by a signal"; verdict=1
fi
if [ "$(field 'Exit status' "$ROOT/time.locked")" != 0 ]; then
    echo "FAIL: the locked run did not end with status 0"; verdict=1
fi
if ! grep -aq "^Input: $LOCKED_NAMES files" "$ROOT/out.locked"; then
    echo "FAIL: the locked run did not take in all $LOCKED_NAMES names"; verdict=1
fi
if [ -s "$ROOT/err.locked" ]; then
    echo "standard error of the locked run (first lines):"; head -n 5 "$ROOT/err.locked"
fi
[ "$verdict" = 0 ] && echo "locked run: whole (status 0, no allocation failure, every name taken in)"
exit "$verdict"
