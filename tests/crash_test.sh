#!/usr/bin/env bash
# Kills each program with SIGKILL at many random moments of a run on a large
# input, then checks that once the next run in the folder has repaired what
# the killed one left, every output file is exactly as before or exactly as
# a complete run leaves it, outputs that belong together alike, and that
# nothing the killed run left behind changes the next run, which leaves
# nothing behind either.
#   crash_test.sh BUILD_DIR [KILLS] [MEGABYTES]
set -euo pipefail
build=$(cd "$1" && pwd)
kills=${2:-25}
megabytes=${3:-24}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
same() { cmp -s "$1" "$2"; }
no_temporaries() { ! ls "$1" | grep -q 'tesk-tmp\|tesk-old\|tesk.journal'; }
now() { date +%s%N; }

"$build/make_corpus" "$megabytes" corpus 1
mv corpus/script1.pure big.pure
mv corpus/script1.info big.info
printf 'old dte' > old.dte
printf 'old tbl' > old.tbl
printf 'old bit' > old.bit
head -c 100 big.pure > old.ips
head -c 16000000 big.pure > data16

# Runs a program in folder $1 (with its inputs) to the end; prints its time
# in nanoseconds.
complete_run() {
  local dir=$1; shift
  local start; start=$(now)
  (cd "$dir" && "$@" >/dev/null 2>&1)
  echo $(($(now) - start))
}

# Starts the program in folder $1, kills it after a random part of $2 ns.
killed_run() {
  local dir=$1 span=$2; shift 2
  (cd "$dir" && exec "$@" >/dev/null 2>&1) &
  local pid=$!
  local delay=$((RANDOM % 1000 * span / 1000))
  sleep "$(printf '0.%09d' "$delay")"
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Any run that commits in the folder first repairs what a killed commit
# left there: here pairpick on a small script of its own.
repair() {
  printf 'A\037B\037' > "$1/other.pure"
  printf '\0\0\0\0\4\0\0\0' > "$1/other.info"
  (cd "$1" && "$build/pairpick" other >/dev/null 2>&1) || fail "the repairing run failed"
  rm -f "$1/other.pure" "$1/other.info" "$1/other.dte"
}

check_program() {
  local name=$1 setup=$2; shift 2
  local outputs=$1; shift
  # The reference: a complete run.
  rm -rf ref && mkdir ref && $setup ref
  local span; span=$(complete_run ref "$@")
  local before=0 after=0 repaired=0 leftover=0
  for ((k = 0; k < kills; k++)); do
    rm -rf run && mkdir run && $setup run
    killed_run run "$span" "$@"
    [ -e run/tesk.journal ] && repaired=$((repaired + 1))
    no_temporaries run || leftover=$((leftover + 1))
    repair run
    local state=""
    for out in $outputs; do
      if same "run/$out" "fresh_$out"; then state+="o"
      elif same "run/$out" "ref/$out"; then state+="n"
      else fail "$name: $out is neither as before nor complete after a kill"
      fi
    done
    case $state in
      *n*o*|*o*n*) fail "$name: old and new outputs side by side after a kill" ;;
      *n*) after=$((after + 1)) ;;
      *) before=$((before + 1)) ;;
    esac
    no_temporaries run || fail "$name: the repairing run left a temporary of the killed one"
    # The next run, from the prepared inputs, finishes as a complete run.
    $setup run
    (cd run && "$@" >/dev/null 2>&1) || fail "$name: the run after a kill failed"
    for out in $outputs; do
      same "run/$out" "ref/$out" || fail "$name: the run after a kill made a different $out"
    done
    no_temporaries run || fail "$name: a temporary outlived the run after a kill"
  done
  echo "$name: $kills kills in a ${span}ns run: $before left the old files," \
    "$after the new ones, all as a whole; $repaired were repaired from the" \
    "journal; $leftover left a temporary behind, which the next run removed"
}

setup_pairpick() {
  cp big.pure big.info "$1/"
  cp old.dte "$1/big.dte"
}
cp old.dte fresh_big.dte
cp big.info fresh_big.info
check_program pairpick setup_pairpick "big.dte big.info" "$build/pairpick" big

(cd ref && cp big.dte "$work/big.dte" && cp big.info "$work/big-dte.info")
setup_huffbuild() {
  cp big.dte "$1/"
  cp old.tbl "$1/tesk.tbl"
  cp old.bit "$1/tesk.bit"
}
cp old.tbl fresh_tesk.tbl
cp old.bit fresh_tesk.bit
check_program huffbuild setup_huffbuild "tesk.tbl tesk.bit" "$build/huffbuild" big

(cd ref && cp tesk.tbl tesk.bit "$work/")
printf 'old huf' > old.huf
printf 'old ptr' > old.ptr
setup_huffpack() {
  cp big.dte tesk.tbl tesk.bit "$1/"
  cp big-dte.info "$1/big.info"
  cp old.huf "$1/big.huf"
  cp old.ptr "$1/big.ptr"
}
cp old.huf fresh_big.huf
cp old.ptr fresh_big.ptr
check_program huffpack setup_huffpack "big.huf big.ptr" "$build/huffpack" big

setup_ipsadd() {
  cp data16 "$1/"
  cp old.ips "$1/tesk.ips"
}
cp old.ips fresh_tesk.ips
check_program ipsadd setup_ipsadd "tesk.ips" "$build/ipsadd" data16 0
echo "crash test passed"
