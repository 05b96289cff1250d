#!/usr/bin/env bash
# Compares whole runs on a generated corpus of four inputs, on a warm page
# cache: cat of the inputs into a file, Lindqvar joining them, and Lindqvar
# with -t on all four. Prints median wall time, ratio to cat, throughput and
# peak RSS of each.
#
#   bench/run.sh            four inputs of 256 MiB
#   bench/run.sh 16M        four inputs of 16 MiB, for a quick look
set -euo pipefail
size=${1:-256M}
runs=${RUNS:-10}
cd "$(dirname "$0")/.."

missing=()
command -v hyperfine >/dev/null || missing+=(hyperfine)
[ -x /usr/bin/time ] || missing+=(time)
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake --workflow --preset release >/dev/null
build=build/release
corpus=$build/bench-corpus/$size
mkdir -p "$corpus"
inputs=()
for seed in 1 2 3 4; do
  file=$corpus/input$seed.xml
  [ -s "$file" ] || "$build/bench/GenerateListing" "$size" "$seed" >"$file"
  inputs+=("$file")
done
out=$corpus/out.xml
total=$(cat "${inputs[@]}" | wc -c)  # also warms the page cache

lindqvar=$build/Lindqvar
declare -A commands=(
  [cat]="cat ${inputs[*]} > $out"
  [join]="$lindqvar ${inputs[*]} $out > /dev/null"
  [join-t]="$lindqvar ${inputs[0]} -t ${inputs[1]} -t ${inputs[2]} -t ${inputs[3]} -t $out > /dev/null"
)
order=(cat join join-t)

csv=$corpus/times.csv
hyperfine --style basic --warmup 3 --runs "$runs" --export-csv "$csv" \
  -n cat "${commands[cat]}" -n join "${commands[join]}" -n join-t "${commands[join-t]}" >/dev/null

median() { awk -F, -v name="$1" '$1 == name { print $4 }' "$csv"; }
peak_rss_kib() {
  local best=0 rss
  for _ in 1 2 3; do
    /usr/bin/time -o "$corpus/rss" -f '%M' sh -c "$1" >/dev/null 2>&1
    rss=$(tail -n 1 "$corpus/rss")
    ((rss > best)) && best=$rss
  done
  echo "$best"
}

cat_median=$(median cat)
printf 'inputs: 4 x %s (%d bytes), median of %d runs\n\n' "$size" "$total" "$runs"
printf '%-8s %10s %10s %10s %14s %12s\n' command median-s ratio-cat MB/s peak-RSS-MiB RSS/input
for name in "${order[@]}"; do
  m=$(median "$name")
  rss=$(peak_rss_kib "${commands[$name]}")
  awk -v n="$name" -v m="$m" -v c="$cat_median" -v t="$total" -v r="$rss" 'BEGIN {
    printf "%-8s %10.3f %10.2f %10.0f %14.1f %12.3f\n", n, m, m / c, t / m / 1e6, r / 1024, r * 1024 / t }'
done
