#!/bin/bash
# Block sharing bench: twinfold -B beside jdupes -r -B and duperemove -dr on a
# loop XFS (reflink) holding two copies of /usr/share/doc. Needs root (loop
# mounts). Installs what is missing, builds twinfold (Release), then measures.
#
#   bench/share.sh                 3 runs per tool
#   bench/share.sh --help          every option
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

for arg in "$@"; do
    if [[ $arg == -h || $arg == --help ]]; then exec python3 bench/share_bench.py --help; fi
done

missing=()
command -v jdupes >/dev/null || missing+=(jdupes)
command -v duperemove >/dev/null || missing+=(duperemove)
command -v mkfs.xfs >/dev/null || missing+=(xfsprogs)
source bench/prepare.sh
install_missing ${missing[@]+"${missing[@]}"}
build_release

exec python3 bench/share_bench.py --twinfold build/twinfold "$@"
