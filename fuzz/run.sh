#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#
#   fuzz/run.sh             30 seconds per target
#   fuzz/run.sh 3600        an hour per target
#
# New inputs that widen coverage collect in build/fuzz/corpus/TARGET; a
# failing input is saved in build/fuzz/ and ends the run with status 1.
set -euo pipefail
seconds=${1:-30}
cd "$(dirname "$0")/.."

cmake --workflow --preset fuzz >/dev/null
for target in FuzzSearch FuzzSections FuzzListingTime FuzzGzip FuzzZoneFile; do
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  log=build/fuzz/$target.log
  echo "== $target for ${seconds}s"
  if ! build/fuzz/fuzz/$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
      -print_final_stats=1 -artifact_prefix=build/fuzz/"$target"- \
      "$corpus" fuzz/corpus/"$target" examples >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "$target failed; see $log" >&2
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units)' "$log"
done
