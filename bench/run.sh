#!/usr/bin/env bash
# Compares whole runs with cat on generated listings, on a warm page cache:
# cat of four inputs into a file, Lindqvar joining them, Lindqvar with -t on
# all four, and with -t=Europe/Berlin on all four, each replacing its own
# output of the run before; then the guide shaped, with --channels keeping
# a tenth of the channels and all of them, and --first-wins over the first
# input given four times. Prints the median wall time of each, its ratio to
# cat's, its throughput and its peak resident memory. Then, for the first
# size, compressed listings: the four inputs gzip-compressed (gzip -6)
# joined into a plain file, as files and as pipes, against zcat of them into
# a file, and the four plain inputs joined into a .gz output against gzip -6
# of the joined file, with the sizes of the two .gz files. Last, the peak
# memory of a join of one sparse 3 GiB input, of a pipe input of the last
# size's four listings (1 GiB by default), of the same compressed (with the
# size the spool grows to), of a listing of a million channels, and of a
# list of 100,000 channel ids. Every timed run starts after a sync, so that
# writing back the output of the run before does not land in it.
#
#   bench/run.sh              four inputs of 64 MiB, then four of 256 MiB
#   bench/run.sh 16M          four inputs of 16 MiB, for a quick look
#   RUNS=15 bench/run.sh      more rounds (default 9)
set -euo pipefail
sizes=("$@")
((${#sizes[@]})) || sizes=(64M 256M)
runs=${RUNS:-9}
cd "$(dirname "$0")/.."

if [ ! -x /usr/bin/time ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q && apt-get install -y -q --no-install-recommends time
fi

cmake --workflow --preset release >/dev/null
build=build/release
lindqvar=$build/Lindqvar

# Peak resident memory of a command in MiB, the largest of three runs.
peak_rss_mib() {
  local best=0 kib
  for _ in 1 2 3; do
    /usr/bin/time -o "$build/bench-rss" -f '%M' bash -c "$1" >/dev/null 2>&1
    kib=$(tail -n 1 "$build/bench-rss")
    ((kib > best)) && best=$kib
  done
  awk -v k="$best" 'BEGIN { printf "%.1f", k / 1024 }'
}

# Times rounds of the commands named, one after the other in each round,
# so that the machine's drift over time touches each alike, and prints a
# row for each: the median wall time, the median of the rounds' ratios to
# the first command's time, the throughput over total bytes, the peak
# memory. The commands are in the associative array commands.
compare_rounds() {
  local total=$1 name round start
  shift
  local names=("$@")
  for name in "${names[@]}"; do bash -c "${commands[$name]}"; done  # warm-up
  declare -A walls=()
  for ((round = 0; round < runs; ++round)); do
    for name in "${names[@]}"; do
      sync
      start=$EPOCHREALTIME
      bash -c "${commands[$name]}"
      walls[$name]+="$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }') "
    done
  done
  printf '%-8s %10s %10s %10s %14s\n' command median-s ratio MB/s peak-RSS-MiB
  for name in "${names[@]}"; do
    awk -v n="$name" -v t="$total" -v r="$(peak_rss_mib "${commands[$name]}")" \
      -v mine="${walls[$name]}" -v base="${walls[${names[0]}]}" '
      function median(list, count,   i, j, x) {
        for (i = 2; i <= count; ++i)
          for (j = i; j > 1 && list[j - 1] > list[j]; --j) { x = list[j]; list[j] = list[j - 1]; list[j - 1] = x }
        return count % 2 ? list[(count + 1) / 2] : (list[count / 2] + list[count / 2 + 1]) / 2
      }
      BEGIN {
        count = split(mine, w, " "); split(base, c, " ")
        for (i = 1; i <= count; ++i) ratio[i] = w[i] / c[i]
        m = median(w, count)
        printf "%-8s %10.3f %10.2f %10.0f %14s\n", n, m, median(ratio, count), t / m / 1e6, r
      }'
  done
}

echo "$(date -u +%F), $(nproc) cores, $(uname -r), median of $runs rounds"
for size in "${sizes[@]}"; do
  corpus=$build/bench-corpus/$size
  mkdir -p "$corpus"
  inputs=()
  for seed in 1 2 3 4; do
    file=$corpus/input$seed.xml
    [ -s "$file" ] || "$build/bench/GenerateListing" "$size" "$seed" >"$file"
    inputs+=("$file")
  done
  total=$(cat "${inputs[@]}" | wc -c)  # also warms the page cache

  # Each command replaces its own output of the run before, as a daily job
  # replaces yesterday's guide.
  # Lists of the channels of the four: one of every tenth, one of all.
  for file in "${inputs[@]}"; do grep -o '<channel id="[^"]*"' "$file" | cut -d'"' -f2; done \
    >"$corpus/all.txt"
  awk 'NR % 10 == 1' "$corpus/all.txt" >"$corpus/tenth.txt"
  declare -A commands=(
    [cat]="cat ${inputs[*]} > $corpus/cat.xml"
    [join]="$lindqvar ${inputs[*]} $corpus/join.xml > /dev/null"
    [join-t]="$lindqvar ${inputs[0]} -t ${inputs[1]} -t ${inputs[2]} -t ${inputs[3]} -t $corpus/join-t.xml > /dev/null"
    [join-tz]="$lindqvar ${inputs[0]} -t=Europe/Berlin ${inputs[1]} -t=Europe/Berlin ${inputs[2]} -t=Europe/Berlin ${inputs[3]} -t=Europe/Berlin $corpus/join-tz.xml > /dev/null"
    [tenth]="$lindqvar --channels=$corpus/tenth.txt ${inputs[*]} $corpus/tenth.xml > /dev/null"
    [all]="$lindqvar --channels=$corpus/all.txt ${inputs[*]} $corpus/all.xml > /dev/null"
    [first-wins]="$lindqvar --first-wins ${inputs[0]} ${inputs[0]} ${inputs[0]} ${inputs[0]} $corpus/first-wins.xml > /dev/null 2>&1"
  )
  printf '\ninputs: 4 x %s (%d bytes), ratio to cat\n' "$size" "$total"
  compare_rounds "$total" cat join join-t join-tz
  printf '\nthe same shaped: --channels keeping a tenth, and every channel; --first-wins over the\n'
  printf 'first of them four times; ratio to cat of the four\n'
  compare_rounds "$total" cat tenth all first-wins

  [ "$size" = "${sizes[0]}" ] || continue
  packed=()
  for file in "${inputs[@]}"; do
    [ -s "$file.gz" ] || gzip -6 -c "$file" >"$file.gz"
    packed+=("$file.gz")
  done
  cat "${packed[@]}" >/dev/null
  pipes=""
  for file in "${packed[@]}"; do pipes+=" <(cat $file)"; done
  commands+=(
    [zcat]="zcat ${packed[*]} > $corpus/zcat.xml"
    [gz-in]="$lindqvar ${packed[*]} $corpus/join-gz.xml > /dev/null"
    [gz-pipe]="$lindqvar$pipes $corpus/join-gz-pipe.xml > /dev/null"
    [gzip]="gzip -6 -c $corpus/join.xml > $corpus/gzip.xml.gz"
    [gz-out]="$lindqvar ${inputs[*]} $corpus/join.xml.gz > /dev/null"
  )
  printf '\ngzip -6 inputs: 4 x %s (%d bytes compressed), ratio to zcat\n' "$size" \
    "$(cat "${packed[@]}" | wc -c)"
  compare_rounds "$total" zcat gz-in gz-pipe
  printf '\nthe same into a .gz output, ratio to gzip -6 of the joined file\n'
  compare_rounds "$total" gzip gz-out
  printf '.gz sizes: gzip -6 %d bytes, Lindqvar %d bytes, ratio %s\n' \
    "$(wc -c <"$corpus/gzip.xml.gz")" "$(wc -c <"$corpus/join.xml.gz")" \
    "$(awk -v a="$(wc -c <"$corpus/join.xml.gz")" -v b="$(wc -c <"$corpus/gzip.xml.gz")" \
      'BEGIN { printf "%.4f", a / b }')"
done

# A sparse input of 3 GiB: a channel at its start, a programme at its end.
sparse=$build/bench-corpus/sparse.xml
if [ ! -s "$sparse" ]; then
  truncate -s 3G "$sparse"
  printf '<tv><channel id="a"></channel>' | dd of="$sparse" conv=notrunc status=none
  printf '<programme start="20260601070000 +0000"></programme></tv>' |
    dd of="$sparse" bs=1 seek=$((3 * 1024 * 1024 * 1024 - 100)) conv=notrunc status=none
fi
printf '\none sparse input of 3 GiB, peak RSS in MiB: join %s, join -t %s\n' \
  "$(peak_rss_mib "$lindqvar $sparse $build/bench-corpus/sparse-out.xml")" \
  "$(peak_rss_mib "$lindqvar $sparse -t $build/bench-corpus/sparse-out.xml")"

# A pipe input: the four listings of the last size, one after another
# (1 GiB by default).
printf 'one pipe input of %d bytes, peak RSS in MiB: join %s, join -t %s\n' "$total" \
  "$(peak_rss_mib "cat ${inputs[*]} | $lindqvar /dev/stdin $build/bench-corpus/pipe-out.xml")" \
  "$(peak_rss_mib "cat ${inputs[*]} | $lindqvar /dev/stdin -t $build/bench-corpus/pipe-out.xml")"

# A listing of a million channels, each with its own id of 20 bytes: the
# peak memory beside the bound the id store keeps to, 16 MiB plus 1.5 times
# the bytes of the ids plus 16 bytes an id.
many=$build/bench-corpus/million.xml
[ -s "$many" ] || awk 'BEGIN {
  printf "<tv>"
  for (i = 0; i < 1000000; ++i)
    printf "<channel id=\"c%07d.example.org\"><display-name>C %d</display-name></channel>\n", i, i
  print "</tv>" }' >"$many"
printf 'one listing of 1000000 channels (ids of 20 bytes), peak RSS in MiB: join %s, bound %s\n' \
  "$(peak_rss_mib "$lindqvar $many $build/bench-corpus/million-out.xml")" \
  "$(awk 'BEGIN { printf "%.1f", 16 + (1.5 * 20e6 + 16 * 1e6) / 1048576 }')"

# A gzip pipe input: the last size's four listings, each gzip -6, one after
# another (1 GiB decompressed by default). Only its compressed bytes are
# spooled: the spool's size is watched in the program's descriptors (the
# spool is its unnamed file open for reading and writing, the output its
# unnamed file open for writing only).
packed=()
for file in "${inputs[@]}"; do
  [ -s "$file.gz" ] || gzip -6 -c "$file" >"$file.gz"
  packed+=("$file.gz")
done
"$lindqvar" /dev/stdin "$build/bench-corpus/gz-pipe-out.xml" < <(cat "${packed[@]}") >/dev/null 2>&1 &
pid=$!
spool=0
while kill -0 "$pid" 2>/dev/null; do
  for fd in /proc/"$pid"/fd/*; do
    [[ "$(readlink "$fd" 2>/dev/null)" == *" (deleted)" ]] || continue
    # The run may end at any moment: then nothing is read, which must not
    # end the script.
    flags=$(awk '/^flags:/ { print $2 }' "/proc/$pid/fdinfo/${fd##*/}" 2>/dev/null || true)
    [ -n "$flags" ] && (((8#$flags & 3) == 2)) || continue
    size=$(stat -L -c %s "$fd" 2>/dev/null || echo 0)
    ((size > spool)) && spool=$size
  done
  sleep 0.05
done
wait "$pid"
printf 'one gzip pipe input of %d bytes (%d compressed): spool %d bytes, peak RSS in MiB %s\n' \
  "$total" "$(cat "${packed[@]}" | wc -c)" "$spool" \
  "$(peak_rss_mib "cat ${packed[*]} | $lindqvar /dev/stdin $build/bench-corpus/gz-pipe-out.xml")"

# A list of 100,000 channel ids, a few of them those of the last size's
# listings: the peak memory of a join that holds the list.
ids=$build/bench-corpus/ids.txt
awk 'BEGIN { for (i = 0; i < 100000 - 313; ++i) printf "c%07d.example.org\n", i }' >"$ids"
head -n 313 "$corpus/all.txt" >>"$ids"
printf 'a list of %d channel ids, peak RSS in MiB: join %s\n' "$(wc -l <"$ids")" \
  "$(peak_rss_mib "$lindqvar --channels=$ids ${inputs[*]} $build/bench-corpus/ids-out.xml")"
