#!/usr/bin/env bash
# Fails when a source includes from a floor above its own, or when one pass
# folder includes the other. Floors, bottom up: state, fs, compare, then
# merge and rewrite side by side, then run, then main.cpp.
set -euo pipefail
src=${1:?usage: check_floors.sh SRC_DIR}
floor() {
  case $1 in
    state) echo 0 ;; fs) echo 1 ;; compare) echo 2 ;; merge | rewrite) echo 3 ;;
    run) echo 4 ;; main.cpp) echo 5 ;; *) echo unknown ;;
  esac
}
bad=0
checked=0
while IFS= read -r file; do
  rel=${file#"$src"/}
  from=${rel%%/*}
  from_floor=$(floor "$from")
  if [ "$from_floor" = unknown ]; then
    echo "$rel: not in a known floor"
    bad=1
    continue
  fi
  while IFS= read -r included; do
    to=${included%%/*}
    to_floor=$(floor "$to")
    checked=$((checked + 1))
    if [ "$to_floor" = unknown ] || [ "$to_floor" -gt "$from_floor" ] ||
       { [ "$to_floor" -eq 3 ] && [ "$from_floor" -eq 3 ] && [ "$to" != "$from" ]; }; then
      echo "$rel includes $included: against the floors"
      bad=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(find "$src" -name '*.cpp' -o -name '*.h')
[ "$checked" -gt 0 ] || { echo "no include was found under $src"; exit 1; }
exit $bad
