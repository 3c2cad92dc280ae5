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
if ((${#missing[@]})); then
    echo "bench: installing ${missing[*]}" >&2
    apt-get install -y "${missing[@]}" >&2 ||
        { apt-get update >&2 && apt-get install -y "${missing[@]}" >&2; }
fi

# Incremental: cheap when the build is current. Its output goes to a log.
mkdir -p build
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=Release && cmake --build build -j2; } \
        >build/bench-build.log 2>&1; then
    tail -30 build/bench-build.log >&2
    echo "bench: building twinfold failed (build/bench-build.log)" >&2
    exit 1
fi

cc -O2 -Wall -Wextra -shared -fPIC -o build/read_counter.so bench/read_counter.c -ldl
cc -O2 -Wall -Wextra -o build/bench_launch bench/launch.c
cc -O2 -Wall -Wextra -o build/read_floor bench/read_floor.c
bench/check_read_counter.sh build/read_counter.so >&2

exec python3 bench/bench.py --twinfold build/twinfold --counter build/read_counter.so \
    --launch build/bench_launch --floor build/read_floor "$@"
