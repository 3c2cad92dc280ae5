#!/usr/bin/env bash
# Scale run: builds a tree of many names (mostly empty files, some small ones,
# a few groups of equal ones) in a few thousand directories, then
#   1. runs `twinfold -n` over all of them and states its peak memory and time;
#   2. runs it as an ordinary user (nobody) over part of them with an 8 MiB
#      memory-lock limit, and shows that the run is whole: no allocation
#      failure, no crash, every name taken in.
#
# Usage: bench/scale_names.sh [path/to/twinfold]
#   Without a binary, a Release build is made in build-release/.
# Environment:
#   NAMES=1000000         names in the tree
#   LOCKED_NAMES=500000   names for the locked run
#   MEMLOCK=8388608       lock limit of the locked run, in bytes
#   DIRS=2000             directories the names are spread over
#   SCALE_ROOT=/tmp/twinfold-scale   where the tree and the lists go
#   KEEP=1                keep the tree afterwards (it is reused when NAMES matches)
# Needs GNU time (/usr/bin/time), prlimit and setpriv, and runs as root (for
# the switch to nobody). Meant to be run by hand, not in CI: it writes a
# million files and takes minutes.
set -euo pipefail
cd "$(dirname "$0")/.."

NAMES=${NAMES:-1000000}
LOCKED_NAMES=${LOCKED_NAMES:-500000}
MEMLOCK=${MEMLOCK:-8388608}
DIRS=${DIRS:-2000}
ROOT=${SCALE_ROOT:-/tmp/twinfold-scale}

for tool in /usr/bin/time prlimit setpriv find; do
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

# --- the tree ---------------------------------------------------------------
# Per directory: mostly empty files; every 10th file small and unique; every
# 100th file one of NAMES/1000 shared contents, so that groups of about ten
# equal files are spread over the whole tree.
make_tree() {
    rm -rf "$ROOT"
    mkdir -p "$ROOT/tree"
    chmod 755 "$ROOT" "$ROOT/tree"
    local per_dir=$(( (NAMES + DIRS - 1) / DIRS ))
    local groups=$(( NAMES / 1000 > 0 ? NAMES / 1000 : 1 ))
    local made=0 d j n
    for (( d = 0; d < DIRS && made < NAMES; ++d )); do
        local dir="$ROOT/tree/d$d"
        mkdir "$dir"
        n=$(( NAMES - made < per_dir ? NAMES - made : per_dir ))
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
    chmod -R a+rX "$ROOT/tree"
    find "$ROOT/tree" -type f -print0 >"$ROOT/names"
    touch "$ROOT/complete-$NAMES"
}

SECONDS=0
if [ -f "$ROOT/complete-$NAMES" ]; then
    echo "reusing the tree in $ROOT"
else
    echo "making $NAMES names in $DIRS directories under $ROOT ..."
    make_tree
fi
listed=$(tr -cd '\0' <"$ROOT/names" | wc -c)
echo "tree ready in ${SECONDS}s: $listed names"

field() { sed -n "s/^[[:space:]]*$1: //p" "$2"; }

report_time() {
    local file=$1
    echo "  wall clock:          $(field 'Elapsed (wall clock) time (h:mm:ss or m:ss)' "$file")"
    echo "  user / system:       $(field 'User time (seconds)' "$file") s / $(field 'System time (seconds)' "$file") s"
    echo "  peak RSS:            $(field 'Maximum resident set size (kbytes)' "$file") KiB"
    echo "  exit status:         $(field 'Exit status' "$file")"
    grep -h 'terminated by signal' "$file" || true
}

# --- 1. all names, read-only run ----------------------------------------------
echo
echo "== twinfold -n over $listed names (as root, memory locked without limit)"
/usr/bin/time -v -o "$ROOT/time.full" "$BIN" -n <"$ROOT/names" >"$ROOT/out.full" 2>"$ROOT/err.full" || true
report_time "$ROOT/time.full"
echo "  input line:          $(grep -a '^Input: ' "$ROOT/out.full" || echo '(none)')"
echo "  summary:             $(grep -a 'can be linked' "$ROOT/out.full" || echo '(none)')"
echo "  lines out / err:     $(wc -l <"$ROOT/out.full") / $(wc -l <"$ROOT/err.full")"

# --- 2. part of them as nobody under a memory-lock limit ----------------------
echo
echo "== twinfold -n over $LOCKED_NAMES names as nobody, memory-lock limit $MEMLOCK bytes"
head -z -n "$LOCKED_NAMES" "$ROOT/names" >"$ROOT/names.locked"
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
