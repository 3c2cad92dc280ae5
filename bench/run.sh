#!/bin/bash
# Benchmark runner: installs the peers that are missing, builds twinfold
# (Release), the read counter, the launcher and the read floor, checks the
# counter, then measures.
#
#   bench/run.sh --quick            a few minutes, small corpora
#   bench/run.sh                    the full run
#   bench/run.sh --help             every option (scenarios, tools, runs, timeout, ...)
#
# Corpora, work copies and results live under /tmp/twinfold-bench (--root).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

for arg in "$@"; do
    if [[ $arg == -h || $arg == --help ]]; then exec python3 bench/bench.py --help; fi
done

missing=()
for tool in jdupes rdfind fdupes; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
command -v hardlink >/dev/null || missing+=(util-linux)
[[ -x /usr/bin/time ]] || missing+=(time)
source bench/prepare.sh
install_missing ${missing[@]+"${missing[@]}"}
build_release

cc -O2 -Wall -Wextra -shared -fPIC -o build/read_counter.so bench/read_counter.c -ldl
cc -O2 -Wall -Wextra -o build/bench_launch bench/launch.c
cc -O2 -Wall -Wextra -o build/read_floor bench/read_floor.c
bench/check_read_counter.sh build/read_counter.so >&2

exec python3 bench/bench.py --twinfold build/twinfold --counter build/read_counter.so \
    --launch build/bench_launch --floor build/read_floor "$@"
