#!/usr/bin/env bash
# Times each program next to its floor, the least that a durable run of it
# must do (bench/floor.cc), on generated corpora of several shapes, and
# prints one table of medians, their ratios and peak memory, then ipsadd's
# growth with the patch.
#
#   bench/run.sh BUILD_DIR [SHAPE ...]
#
# A shape is MEGABYTESxSCRIPTS (16x4: 16 MiB of puretext in 4 scripts); a
# bare number means that many MiB in 4 scripts. The shapes come from the
# arguments, else from $SHAPES, else all of: 16x4 16x32 16x512 64x32 256x32
# 2x200. REPS rounds (default 5) follow one warm-up round; shapes of
# 256 MiB or more take BIG_REPS rounds (default REPS). Each round runs every
# program and its floor one after the other, in alternating order, so that
# both see the same state of a shared, noisy machine; before each timed
# run the prepared information files are put back where needed and the
# file system is flushed, untimed. bench/timeit times each run from spawn
# to reaping and gives its peak resident memory. huffpack is timed when
# BUILD_DIR holds it.
#
# A row gives the program's median seconds, its floor's, the ratio of the
# two medians, the lowest and highest ratio within one round, the
# program's peak memory and, for the programs that read the dte files as
# their main input, milliseconds per MiB of dte files. The floors are
# pairpick's and huffbuild's own modes of bench/floor; chainreport's and
# huffpack's is reading the files they read.
set -euo pipefail

if (($# < 1)); then
  echo "usage: bench/run.sh BUILD_DIR [MEGABYTESxSCRIPTS ...]" >&2
  exit 1
fi
build=$(cd "$1" && pwd)
shift
shapes=${*:-${SHAPES:-16x4 16x32 16x512 64x32 256x32 2x200}}
reps=${REPS:-5}
big_reps=${BIG_REPS:-$reps}
if ! [[ $reps =~ ^[1-9][0-9]*$ && $big_reps =~ ^[1-9][0-9]*$ ]]; then
  echo "bench/run.sh: REPS and BIG_REPS must be positive whole numbers" >&2
  exit 1
fi
timeit=$build/timeit
floor=$build/floor
for tool in make_corpus timeit floor pairpick huffbuild chainreport ipsadd; do
  if [[ ! -x $build/$tool ]]; then
    echo "bench/run.sh: $build/$tool is missing; build the project first" >&2
    exit 1
  fi
done
has_huffpack=0
[[ -x $build/huffpack ]] && has_huffpack=1

work=$(mktemp -d "${TMPDIR:-/tmp}/tesk-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Failures to show under the table ("!" marks their rows).
notes=()
# Per job: the seconds of each recorded run, the largest peak in KiB, and
# the first non-zero exit status.
declare -A times peaks fails
recording=0

nothing() { :; }

# run_job KEY DIR PREPARE COMMAND...: in DIR, runs PREPARE and flushes the
# file system (both untimed, so that no run pays for another's dirty
# pages), then times COMMAND.
run_job() {
  local key=$1 dir=$2 prepare=$3
  shift 3
  local seconds kib status
  if ! read -r seconds kib status < <(cd "$dir" && "$prepare" &&
    sync -f . && exec "$timeit" "$@"); then
    echo "bench/run.sh: could not time $key" >&2
    exit 1
  fi
  ((status != 0)) && [[ -z ${fails[$key]:-} ]] && fails[$key]=$status
  ((recording)) || return 0
  times[$key]+="$seconds "
  ((kib > ${peaks[$key]:-0})) && peaks[$key]=$kib
  return 0
}

# compare KEY FLOOR_KEY: prints the median seconds of the recorded runs of
# KEY and of FLOOR_KEY, the ratio of the two medians, and the lowest and
# highest ratio within a round (a round's runs sit at the same place in
# both lists). A median of an even count is the mean of the middle two.
compare() {
  awk -v a="${times[$1]:-}" -v b="${times[$2]:-}" '
    function median(v, n, i, j, x) {
      for (i = 2; i <= n; i++) {
        x = v[i]
        for (j = i - 1; j >= 1 && v[j] > x; j--) v[j + 1] = v[j]
        v[j + 1] = x
      }
      return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    }
    BEGIN {
      n = split(a, x, " ")
      m = split(b, y, " ")
      lo = hi = 0
      for (i = 1; i <= n && i <= m; i++) {
        if (y[i] <= 0) continue
        r = x[i] / y[i]
        if (lo == 0 || r < lo) lo = r
        if (r > hi) hi = r
      }
      t = n ? median(x, n) : 0
      f = m ? median(y, m) : 0
      printf "%.4f %.4f %.2f %.2f %.2f\n", t, f, (f > 0 ? t / f : 0), lo, hi
    }'
}

# rounds COUNT PAIR...: one unrecorded warm-up round, then COUNT recorded
# ones. A round runs job_PAIR and job_PAIR_floor for each PAIR, the floor
# first in even rounds and second in odd ones.
rounds() {
  local count=$1
  shift
  local r pair
  for ((r = 0; r <= count; r++)); do
    recording=$((r > 0))
    for pair in "$@"; do
      if ((r % 2)); then
        "job_$pair"
        "job_${pair}_floor"
      else
        "job_${pair}_floor"
        "job_$pair"
      fi
    done
  done
}

row_format="%-8s %-13s %9s %9s %7s %11s %8s %10s\n"
# row SHAPE PROGRAM KEY FLOOR_KEY DTE_MIB: a table row from the recorded
# runs; DTE_MIB (or 0) adds the time per MiB of dte files.
row() {
  local shape=$1 program=$2 key=$3 floor_key=$4 dte_mib=$5
  local t f ratio lo hi peak per_mib
  if [[ -n ${fails[$key]:-}${fails[$floor_key]:-} ]]; then
    notes+=("$shape: $program or its floor exited with status" \
      "${fails[$key]:-}${fails[$floor_key]:-}")
    program+="!"
  fi
  read -r t f ratio lo hi < <(compare "$key" "$floor_key")
  read -r peak per_mib < <(awk -v kib="${peaks[$key]:-0}" -v t="$t" \
    -v mib="$dte_mib" 'BEGIN { printf "%.1f %s\n", kib / 1024,
      (mib > 0 ? sprintf("%.2f", 1000 * t / mib) : "-") }')
  # shellcheck disable=SC2059
  printf "$row_format" "$shape" "$program" "$t" "$f" "${ratio}x" "$lo-$hi" \
    "$peak" "$per_mib"
}

# The jobs. pairpick and huffbuild work in the corpus folder; their floors
# work in corpus/floor, which shares the puretext files and has its own
# information files and dte files of the same sizes, so that a floor's
# outputs never feed a program.
restore_info() { cp "$corpus"/prepared/*.info .; }
job_pairpick() {
  run_job pairpick "$corpus" restore_info "$build/pairpick" "${scripts[@]}"
}
job_pairpick_floor() {
  run_job pairpick_floor "$corpus/floor" restore_info \
    "$floor" pairpick "${scripts[@]}"
}
job_huffbuild() {
  run_job huffbuild "$corpus" nothing "$build/huffbuild" "${scripts[@]}"
}
job_huffbuild_floor() {
  run_job huffbuild_floor "$corpus/floor" nothing \
    "$floor" huffbuild "${scripts[@]}"
}
job_chainreport() {
  run_job chainreport "$corpus" nothing "$build/chainreport" "${scripts[@]}"
}
job_chainreport_floor() {
  run_job chainreport_floor "$corpus" nothing "$floor" read "${chain_inputs[@]}"
}
job_huffpack() {
  run_job huffpack "$corpus" nothing "$build/huffpack" "${scripts[@]}"
}
job_huffpack_floor() {
  run_job huffpack_floor "$corpus" nothing "$floor" read "${pack_inputs[@]}"
}

cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
echo "machine: $(nproc) cores, ${cpu:-unknown CPU}, $(uname -sr)," \
  "$(findmnt -n -o FSTYPE -T "$work" 2>/dev/null || stat -f -c %T "$work")" \
  "file system"
rounds_note="medians of $reps rounds after a warm-up"
((big_reps < reps)) && rounds_note+=" ($big_reps from 256 MiB)"
echo "$rounds_note; shape = MiB of puretext x scripts"
echo
# shellcheck disable=SC2059
printf "$row_format" shape program "median s" "floor s" ratio rounds \
  "peak MB" "ms/dte MB"

for shape in $shapes; do
  [[ $shape == *x* ]] || shape=${shape}x4
  mib=${shape%x*}
  count=${shape#*x}
  if ! [[ $mib =~ ^[0-9]+$ && $count =~ ^[0-9]+$ ]] ||
    ((mib < 1 || count < 1)); then
    echo "bench/run.sh: bad shape $shape (expected MEGABYTESxSCRIPTS)" >&2
    exit 1
  fi
  corpus=$work/$shape
  "$build/make_corpus" "$mib" "$corpus" "$count"
  scripts=()
  for ((s = 1; s <= count; s++)); do scripts+=("script$s"); done
  cd "$corpus"
  mkdir prepared floor
  cp ./*.info prepared/
  # A reference run makes the dte files and the tables that the later
  # programs read, and gives the floor its dte sizes.
  "$build/pairpick" "${scripts[@]}" >/dev/null 2>&1 || true
  "$build/huffbuild" "${scripts[@]}" >/dev/null 2>&1 || true
  cp prepared/*.info ./*.dte floor/
  for s in "${scripts[@]}"; do ln "$s.pure" "floor/$s.pure"; done
  chain_inputs=()
  pack_inputs=()
  for s in "${scripts[@]}"; do
    chain_inputs+=("$s.pure" "$s.info" "$s.dte")
    pack_inputs+=("$s.dte" "$s.info")
  done
  chain_inputs+=(tesk.tbl tesk.bit)
  pack_inputs+=(tesk.tbl tesk.bit)
  dte_mib=$(du -cb ./*.dte | awk 'END { print $1 / 1048576 }')

  pairs=(pairpick huffbuild chainreport)
  ((has_huffpack)) && pairs+=(huffpack)
  times=() peaks=() fails=()
  shape_reps=$reps
  ((mib >= 256 && big_reps < reps)) && shape_reps=$big_reps
  rounds "$shape_reps" "${pairs[@]}"

  row "$shape" pairpick pairpick pairpick_floor 0
  row "$shape" huffbuild huffbuild huffbuild_floor 0
  row "$shape" chainreport chainreport chainreport_floor "$dte_mib"
  if ((has_huffpack)); then
    row "$shape" huffpack huffpack huffpack_floor "$dte_mib"
  fi
  cd "$work"
  rm -rf "$corpus"
done

# ipsadd, once: the cost of building a patch from 100 and from 200 appends
# of 64 KiB (linear cost doubles), and of one 64 KiB append to a 16 MiB
# patch next to appending the same bytes in place.
ips=$work/ips
"$build/make_corpus" 17 "$ips" 1
cd "$ips"
head -c 65536 script1.pure >data64
head -c 16777216 script1.pure >data16
rm -f tesk.ips
"$build/ipsadd" data16 0 >/dev/null
mv tesk.ips base16.ips
rm -f script1.pure script1.info data16

no_patch() { rm -f tesk.ips; }
patch16() { cp base16.ips tesk.ips; }
# The "floor" of 200 appends is 100 of them: the ratio shows the growth.
job_grow() {
  run_job appends200 "$ips" no_patch -n 200 "$build/ipsadd" data64 0
}
job_grow_floor() {
  run_job appends100 "$ips" no_patch -n 100 "$build/ipsadd" data64 0
}
job_append() { run_job append "$ips" patch16 "$build/ipsadd" data64 0; }
job_append_floor() {
  run_job append_floor "$ips" patch16 "$floor" append data64
}
times=() peaks=() fails=()
rounds "$reps" grow append

for note in "${notes[@]}"; do echo "! $note"; done
echo
# fail_mark KEY...: " (failed)" when any of the jobs exited with a status.
fail_mark() {
  local key
  for key; do
    if [[ -n ${fails[$key]:-} ]]; then
      echo " (failed)"
      return
    fi
  done
}
read -r t f ratio lo hi < <(compare appends200 appends100)
echo "ipsadd, a patch from 64 KiB appends: 100 in $f s, 200 in $t s:" \
  "${ratio}x, rounds $lo-$hi (linear: 2x)$(fail_mark appends100 appends200)"
read -r t f ratio lo hi < <(compare append append_floor)
peak=$(awk -v kib="${peaks[append]:-0}" 'BEGIN { printf "%.1f", kib / 1024 }')
echo "ipsadd, one 64 KiB append to a 16 MiB patch: $t s, in place $f s:" \
  "${ratio}x, rounds $lo-$hi, peak $peak MB$(fail_mark append append_floor)"
