#!/usr/bin/env bash
# Times each program on a generated corpus next to what the machine needs
# merely to read (cat) and copy (cp) the same bytes: medians of several
# runs, throughput, the ratios, and peak memory.
#   bench/run.sh BUILD_DIR [MEGABYTES ...]   (default 64; REPS=5)
set -euo pipefail
build=$(cd "$1" && pwd)
shift
sizes=${*:-64}
reps=${REPS:-5}
work=$(mktemp -d "${TMPDIR:-/tmp}/tesk-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Median wall time in seconds and peak resident memory in KiB of "$@",
# after one unmeasured warm-up; $prepare runs before each (untimed).
measure() {
  local prepare=$1; shift
  local times=() peak=0
  $prepare; "$@" >/dev/null 2>&1
  for ((r = 0; r < reps; r++)); do
    $prepare
    local start end
    start=$(date +%s%N)
    /usr/bin/time -f "%M" -o "$work/peak" "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    times+=("$(awk -v ns=$((end - start)) 'BEGIN { printf "%.4f", ns / 1e9 }')")
    local kib
    kib=$(tail -n 1 "$work/peak")
    ((kib > peak)) && peak=$kib
  done
  local median
  median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  echo "$median $peak"
}

nothing() { :; }
row() {  # name megabytes seconds peak baseline-name baseline-seconds
  awk -v n="$1" -v mb="$2" -v s="$3" -v kib="$4" -v bn="$5" -v bs="$6" 'BEGIN {
    rate = s > 0 ? sprintf("%8.0f", mb / s) : "       -"
    ratio = bs > 0 ? sprintf("%6.2fx %s", s / bs, bn) : "   -"
    printf "%-11s %8.1f %8.4f %s %9.1f  %s\n", n, mb, s, rate, kib / 1024, ratio }'
}

echo "program     input MB  median s     MB/s   peak MB  time / baseline"
for size in $sizes; do
  corpus="$work/corpus$size"
  "$build/make_corpus" "$size" "$corpus" 4
  cd "$corpus"
  scripts="script1 script2 script3 script4"
  mkdir -p prepared copy
  cp script*.info prepared/
  pure_mb=$(du -cb script*.pure | tail -n 1 | awk '{ print $1 / 1048576 }')

  read -r cat_pure _ < <(measure nothing sh -c 'cat script*.pure > /dev/null')
  clear_copy() { rm -f copy/*; }
  read -r cp_pure _ < <(measure clear_copy sh -c 'cp --reflink=never script*.pure copy/')
  reset_info() { cp prepared/*.info .; }
  read -r t peak < <(measure reset_info "$build/pairpick" $scripts)
  row cat "$pure_mb" "$cat_pure" 0 "" 0
  row cp "$pure_mb" "$cp_pure" 0 "" 0
  row pairpick "$pure_mb" "$t" "$peak" cp "$cp_pure"

  dte_mb=$(du -cb script*.dte | tail -n 1 | awk '{ print $1 / 1048576 }')
  read -r cat_dte _ < <(measure nothing sh -c 'cat script*.dte > /dev/null')
  read -r t peak < <(measure nothing "$build/huffbuild" $scripts)
  row "cat dte" "$dte_mb" "$cat_dte" 0 "" 0
  row huffbuild "$dte_mb" "$t" "$peak" cat "$cat_dte"

  read -r t_report peak < <(measure nothing "$build/chainreport" $scripts)
  row chainreport "$dte_mb" "$t_report" "$peak" cat "$cat_dte"
  read -r t peak < <(measure nothing "$build/huffpack" $scripts)
  row huffpack "$dte_mb" "$t" "$peak" chainreport "$t_report"

  head -c 16000000 script1.pure > data16
  read -r cp_data _ < <(measure clear_copy cp --reflink=never data16 copy/)
  no_ips() { rm -f tesk.ips; }
  read -r t peak < <(measure no_ips "$build/ipsadd" data16 0)
  row "cp 16 MB" 15.3 "$cp_data" 0 "" 0
  row ipsadd 15.3 "$t" "$peak" cp "$cp_data"
  cd "$work"
  rm -rf "$corpus"
done
