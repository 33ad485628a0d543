#!/usr/bin/env bash
# The outputs of the real programs, tried as a make -j build and as an
# attacker would: runs that share a folder, links planted at every output
# name while the programs run, devices and FIFOs where files are expected,
# a set-uid file of another user as a target, and interrupts. Prints what
# it counted.
#   outputs_test.sh BUILD_DIR [ROUNDS]
set -euo pipefail
build=$(cd "$1" && pwd)
rounds=${2:-100}
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
leftovers() { ls -a "$1" | grep -E 'tesk-tmp|tesk-old|tesk\.journal' || true; }
sum() { cksum < "$1"; }

# Two small scripts whose tables differ, and their tables from single runs.
"$build/make_corpus" 1 corpus 2 >/dev/null
mkdir ref-x ref-y
cp corpus/script1.pure corpus/script1.info ref-x/
cp corpus/script2.pure corpus/script2.info ref-y/
(cd ref-x && "$build/pairpick" script1 && "$build/huffbuild" script1 >/dev/null)
(cd ref-y && "$build/pairpick" script2 && "$build/huffbuild" script2 >/dev/null)
pair_x="$(sum ref-x/tesk.tbl) $(sum ref-x/tesk.bit)"
pair_y="$(sum ref-y/tesk.tbl) $(sum ref-y/tesk.bit)"
[ "$pair_x" != "$pair_y" ] || fail "the two scripts give the same tables"

# 1. Two huffbuild runs at once in one folder: the tables always end as a
# pair from one run, and each run that says it succeeded wrote a pair.
mkdir both
cp ref-x/script1.dte ref-y/script2.dte both/
from_x=0 from_y=0
for ((r = 0; r < rounds; r++)); do
  (cd both && "$build/huffbuild" script1 >/dev/null) & a=$!
  (cd both && "$build/huffbuild" script2 >/dev/null) & b=$!
  wait $a || fail "a huffbuild run failed"
  wait $b || fail "a huffbuild run failed"
  pair="$(sum both/tesk.tbl) $(sum both/tesk.bit)"
  if [ "$pair" = "$pair_x" ]; then from_x=$((from_x + 1))
  elif [ "$pair" = "$pair_y" ]; then from_y=$((from_y + 1))
  else fail "tesk.tbl and tesk.bit come from different runs"
  fi
  [ -z "$(leftovers both)" ] || fail "huffbuild left $(leftovers both)"
done
echo "concurrent huffbuild: $rounds rounds of two runs, tables from one run each time" \
  "($from_x from the first script, $from_y from the second)"

# 2. Four ipsadd runs at once on one tesk.ips, one of them under a file-size
# limit it exceeds: a run that says it succeeded has its record in tesk.ips
# exactly once, one that failed has none.
mkdir ips
head -c 3000 /dev/urandom > ips/big
for n in 1 2 3; do printf 'data %d.' "$n" > "ips/d$n"; done
succeeded=0 failed=0
for ((r = 0; r < rounds; r++)); do
  : > ips/tesk.ips
  head -c 2000 /dev/urandom > ips/tesk.ips
  pids=()
  for n in 1 2 3; do
    (cd ips && exec "$build/ipsadd" "d$n" "$n$n$n$n" >/dev/null) & pids+=($!)
  done
  # 2000 + 3005 bytes pass the limit of 4 blocks of 1024: a failed write,
  # not a kill by SIGXFSZ.
  (ulimit -f 4; cd ips && exec "$build/ipsadd" big 4444 >"$work/limited") & pids+=($!)
  statuses=()
  for pid in "${pids[@]}"; do
    if wait "$pid"; then statuses+=(0); else statuses+=(1); fi
  done
  for n in 1 2 3 4; do
    # The record's offset and size.
    if [ $n = 4 ]; then header="0044440bb8"; else header=$(printf '00%s%s%s%s0007' $n $n $n $n); fi
    count=$(od -An -v -tx1 ips/tesk.ips | tr -d ' \n' | { grep -o "$header" || true; } | wc -l)
    if [ "${statuses[$((n - 1))]}" = 0 ]; then
      [ "$count" = 1 ] || fail "ipsadd run $n succeeded, but its record is there $count times"
      succeeded=$((succeeded + 1))
    else
      [ $n = 4 ] || fail "ipsadd run $n failed"
      [ "$count" = 0 ] || fail "ipsadd run $n failed, but its record is there"
      [ "$(cat "$work/limited")" = "Could not write IPS file; it was left unchanged." ] ||
        fail "the run at its file-size limit printed '$(cat "$work/limited")'"
      failed=$((failed + 1))
    fi
  done
  size=$(wc -c < ips/tesk.ips)
  expected=$((2000 + 3 * 12))
  [ "$size" = "$expected" ] || fail "tesk.ips holds $size bytes, not $expected"
  [ -z "$(leftovers ips)" ] || fail "ipsadd left $(leftovers ips)"
done
echo "concurrent ipsadd: $rounds rounds of four runs: $succeeded succeeded, each" \
  "record there once; $failed failed at the file-size limit, none of theirs there"

# 3. Links planted at every output name, in a loop, while the programs run:
# nothing outside the outputs changes.
mkdir planted
cp corpus/script1.pure corpus/script1.info planted/
cp planted/script1.info planted/prepared.info
printf 'precious' > victim
victim_sum=$(sum victim)
(
  cd planted
  while :; do
    for name in script1.dte script1.info tesk.tbl tesk.bit tesk.ips; do
      ln -sfn "$work/victim" "$name" 2>/dev/null || true
    done
  done
) & planter=$!
runs=0 refused=0
for ((r = 0; r < rounds / 2; r++)); do
  for command in "pairpick script1" "huffbuild script1" "ipsadd script1.pure 10"; do
    cp planted/prepared.info planted/script1.info.new
    mv -f planted/script1.info.new planted/script1.info
    if (cd planted && $build/$command >/dev/null 2>&1); then :; else refused=$((refused + 1)); fi
    runs=$((runs + 1))
  done
done
kill $planter; wait $planter 2>/dev/null || true
# A link where the journal goes is never followed: the commit is refused.
ln -sfn "$work/victim" planted/tesk.journal
(cd planted && "$build/huffbuild" script1 >/dev/null) && fail "a commit went on past a planted journal"
[ "$(sum victim)" = "$victim_sum" ] || fail "a planted link made a program write elsewhere"
[ -f victim ] && [ ! -L victim ] || fail "the victim was replaced"
echo "planted links: $runs runs among links planted in a loop ($refused refused," \
  "when their input was a link to a foreign file); the linked file never changed"

# 4. A device and a FIFO where files are expected: never replaced, never
# waited for.
mkdir odd
cp ref-x/script1.dte odd/
ln -s /dev/null odd/tesk.bit
(cd odd && timeout 20 "$build/huffbuild" script1 >/dev/null) || fail "huffbuild with tesk.bit a link to /dev/null"
[ -c /dev/null ] || fail "/dev/null is no longer a device"
[ -f odd/tesk.bit ] && [ ! -L odd/tesk.bit ] || fail "the link was not replaced by the table"
rm odd/tesk.tbl
mkfifo odd/tesk.tbl
status=0
(cd odd && timeout 20 "$build/huffbuild" script1 >/dev/null) || status=$?
[ "$status" = 1 ] || fail "huffbuild with a FIFO as tesk.tbl ended with $status"
[ -p odd/tesk.tbl ] || fail "the FIFO was replaced"
mkfifo odd/fifo.pure odd/tesk.ips
status=0
(cd odd && timeout 20 "$build/pairpick" fifo >/dev/null 2>&1) || status=$?
[ "$status" = 1 ] || fail "pairpick with a FIFO as puretext ended with $status"
status=0
(cd odd && timeout 20 "$build/ipsadd" script1.dte 0 >/dev/null) || status=$?
[ "$status" = 1 ] || fail "ipsadd with a FIFO as tesk.ips ended with $status"
status=0
(cd odd && timeout 20 "$build/ipsadd" fifo.pure 0 >/dev/null) || status=$?
[ "$status" = 1 ] || fail "ipsadd with a FIFO as data ended with $status"
[ -z "$(leftovers odd)" ] || fail "left $(leftovers odd)"
echo "devices and FIFOs: a link to /dev/null replaced, /dev/null kept;" \
  "FIFOs as outputs and inputs refused at once"

# 5. A set-uid file of another user as a target: the new file is the
# runner's own and carries no set-id bit.
if [ "$(id -u)" = 0 ]; then
  mkdir setuid
  cp ref-x/script1.dte setuid/
  for name in tesk.tbl tesk.ips; do
    printf 'x' > "setuid/$name"
    chown 65534:65534 "setuid/$name"
    chmod 6755 "setuid/$name"
  done
  (cd setuid && "$build/huffbuild" script1 >/dev/null && "$build/ipsadd" script1.dte 0)
  # The replaced table is the runner's, with the bits a new file gets (not
  # the other user's); the patch, appended in place, loses its set-id bits.
  tbl_mode=$(stat -c %a setuid/tesk.tbl)
  [ "$tbl_mode" = "$(printf '%o' $((0666 & ~$(umask))))" ] ||
    fail "tesk.tbl has the mode $tbl_mode after the run"
  [ "$(stat -c %u setuid/tesk.tbl)" = 0 ] || fail "tesk.tbl belongs to another user"
  [ "$(stat -c %a setuid/tesk.ips)" = 755 ] ||
    fail "tesk.ips has the mode $(stat -c %a setuid/tesk.ips) after the run"
  echo "set-uid targets: the replaced table is the runner's with new-file bits," \
    "the appended patch lost its set-id bits"
else
  echo "set-uid targets: skipped (needs root to make a file of another user)"
fi

# 6. SIGINT and SIGTERM: status 1, the message, the outputs as they were,
# no temporary left.
"$build/make_corpus" 16 big 1 >/dev/null
mkdir sig
cp big/script1.pure big/script1.info sig/
printf 'old' > sig/script1.dte
start=$(date +%s%N)
(cd sig && "$build/pairpick" script1)
span=$(($(date +%s%N) - start))
interrupted=0 finished=0 unstarted=0
for ((r = 0; r < 20; r++)); do
  cp big/script1.info sig/
  printf 'old' > sig/script1.dte
  signal=INT; [ $((r % 2)) = 1 ] && signal=TERM
  (cd sig && exec "$build/pairpick" script1 2>"$work/err") & pid=$!
  sleep "$(printf '0.%09d' $((RANDOM % 1000 * span / 1000)))"
  kill -s $signal $pid 2>/dev/null || true
  status=0; wait $pid || status=$?
  if [ $status = 1 ]; then
    [ "$(cat "$work/err")" = "Interrupted. Shutting down..." ] ||
      fail "SIG$signal printed '$(cat "$work/err")'"
    [ "$(cat sig/script1.dte)" = old ] || fail "SIG$signal changed script1.dte"
    cmp -s sig/script1.info big/script1.info || fail "SIG$signal changed script1.info"
    interrupted=$((interrupted + 1))
  elif [ $status = 0 ]; then
    finished=$((finished + 1))
  elif [ $status = $((128 + $(kill -l $signal))) ] && [ ! -s "$work/err" ]; then
    # The signal came before main() could take it (while the program was
    # loaded, which takes longer under the sanitizers): nothing was begun.
    [ "$(cat sig/script1.dte)" = old ] || fail "SIG$signal changed script1.dte"
    cmp -s sig/script1.info big/script1.info || fail "SIG$signal changed script1.info"
    unstarted=$((unstarted + 1))
  else
    fail "pairpick ended with $status after SIG$signal"
  fi
  [ -z "$(leftovers sig)" ] || fail "SIG$signal left $(leftovers sig)"
done
echo "interrupts: 20 runs sent SIGINT or SIGTERM: $interrupted stopped with" \
  "the files as they were, $finished had finished, $unstarted had not" \
  "started; no temporary left"
# 7. A run waiting for the folder's lock, which anyone who may read the
# folder can hold, still answers an interrupt at once.
mkdir waiting
cp corpus/script1.pure corpus/script1.info waiting/
flock -s waiting sleep 30 & holder=$!
sleep 0.3
(cd waiting && exec "$build/pairpick" script1 2>"$work/err") & pid=$!
sleep 1
start=$(date +%s%N)
kill -INT $pid
status=0; wait $pid || status=$?
took=$((($(date +%s%N) - start) / 1000000))
kill $holder 2>/dev/null || true; wait $holder 2>/dev/null || true
[ "$status" = 1 ] && [ "$(cat "$work/err")" = "Interrupted. Shutting down..." ] ||
  fail "pairpick waiting for the lock ended with $status: $(cat "$work/err")"
[ "$took" -lt 2000 ] || fail "pairpick took $took ms to answer SIGINT while waiting"
[ -z "$(leftovers waiting)" ] || fail "the interrupted run left $(leftovers waiting)"
[ ! -e waiting/script1.dte ] || fail "the interrupted run wrote script1.dte"
echo "waiting for the lock: SIGINT answered in $took ms, nothing written"

# 8. An output that cannot be made is a failure (status 1) that names its
# cause, not a skip: too few file descriptors, and a folder the user may
# read but not write.
mkdir limits
cp corpus/script1.pure corpus/script1.info limits/
printf 'old' > limits/script1.dte
status=0
(
  # Only the standard streams stay open, whatever the test runner passed on.
  for fd in $(ls /proc/$BASHPID/fd); do [ "$fd" -gt 2 ] && eval "exec $fd>&-"; done
  ulimit -n 5
  cd limits && exec "$build/pairpick" script1
) 2>"$work/err" || status=$?
[ "$status" = 1 ] || fail "pairpick with 5 file descriptors ended with $status"
grep -q "^Could not open .*cannot create a temporary file in \." "$work/err" ||
  fail "pairpick with 5 file descriptors printed '$(cat "$work/err")'"
if [ "$(id -u)" = 0 ]; then
  # The files may be written by anyone, the folder only by its owner.
  chmod 666 limits/*
  chmod 755 limits
  status=0
  (cd limits && exec setpriv --reuid=65534 --regid=65534 --clear-groups \
    "$build/pairpick" script1 2>"$work/err") || status=$?
  [ "$status" = 1 ] || fail "pairpick in a folder it may not write ended with $status"
  grep -q "Permission denied" "$work/err" ||
    fail "pairpick in a folder it may not write printed '$(cat "$work/err")'"
  echo "outputs that cannot be made: too few descriptors and a folder that may" \
    "not be written both end with status 1 and their cause"
else
  echo "outputs that cannot be made: too few descriptors end with status 1 and" \
    "their cause (the read-only folder needs root to switch users)"
fi
[ "$(cat limits/script1.dte)" = old ] || fail "a failed run changed script1.dte"
echo "outputs test passed"
