#!/bin/bash
# Checks read_counter.so against a probe that reads a file of known size in
# each of the ways a tool might: it must count the file's bytes exactly once
# for a file under the prefix and nothing for a file outside it.
# Usage: check_read_counter.sh path/to/read_counter.so
set -euo pipefail
lib=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/read-counter-check.XXXXXX)
trap 'rm -rf "$work"' EXIT
cc -O2 -Wall -o "$work/probe" "$here/read_counter_probe.c"
mkdir -p "$work/corpus" "$work/other"
head -c 100000 /dev/urandom >"$work/corpus/file"
cp "$work/corpus/file" "$work/other/file"
fail=0
check() {  # how, file, expected read bytes, expected mapped bytes
    local out="$work/count.$1" line
    rm -f "$out"
    READ_COUNTER_PREFIX="$work/corpus" READ_COUNTER_OUT="$out" LD_PRELOAD="$lib" \
        "$work/probe" "$1" "$2" >/dev/null
    line=$(awk '{r+=$2; m+=$3} END {print r+0, m+0}' "$out" 2>/dev/null || echo "none")
    if [[ "$line" != "$3 $4" ]]; then
        echo "read counter: $1 on ${2#"$work"/} counted '$line', expected '$3 $4'" >&2
        fail=1
    fi
}
for how in read pread readv fread8 getc; do
    check "$how" "$work/corpus/file" 100000 0
    check "$how" "$work/other/file" 0 0
done
# glibc seeks to the block boundary 4096 and reads the 904 bytes up to 5000
# within fseek itself; the freads then take two blocks, up to 13192.
check seek "$work/corpus/file" $((904 + 2 * 4096)) 0
check mmap "$work/corpus/file" 0 100000
check mmap "$work/other/file" 0 0
[[ $fail == 0 ]] && echo "read counter: all checks passed"
exit $fail
