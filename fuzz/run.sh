#!/bin/sh
# Builds the fuzz targets with clang and runs each for SECONDS seconds:
#   sh fuzz/run.sh SECONDS [pairpick|huffbuild|ipsadd|huffpack|text ...]
# The seeds in fuzz/corpus/ are copied to build-fuzz/corpus/ (or FUZZ_BUILD's),
# where the corpus grows from run to run; crashes land in build-fuzz/findings/.
set -eu
seconds=${1:-60}
shift || true
targets=${*:-pairpick huffbuild ipsadd huffpack text}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${FUZZ_BUILD:-$root/build-fuzz}" && cd "${FUZZ_BUILD:-$root/build-fuzz}" && pwd)

cmake -S "$root" -B "$build" --preset fuzz >/dev/null
cmake --build "$build" --parallel >/dev/null

status=0
for target in $targets; do
  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$corpus" "$findings"
  cp -n "$root/fuzz/corpus/$target"/* "$corpus/" 2>/dev/null || true
  echo "== $target, $seconds s"
  if ! UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$build/${target}_fuzz" "$corpus" -max_total_time="$seconds" \
      -print_final_stats=1 -artifact_prefix="$findings/" -max_len=16384 \
      2>"$build/$target.log"; then
    status=1
    tail -40 "$build/$target.log"
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$build/$target.log" || true
done
exit $status
