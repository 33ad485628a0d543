#!/usr/bin/env bash
# Runs each program on a small file system that fills up part-way through
# its writes: every target keeps its bytes, no temporary is left, the message
# names the file and the exit status is 1. Needs root to mount the file
# system; elsewhere it reports itself skipped (status 77), and the
# in-process tests with a simulated full disk stand in for it.
#   full_disk_test.sh BUILD_DIR EXAMPLES_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
examples=$(cd "$2" && pwd)
work=$(mktemp -d)
disk="$work/disk"
mkdir "$disk"
cleanup() { umount "$disk" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
if [ "$(id -u)" != 0 ] || ! mount -t tmpfs -o size=1m tmpfs "$disk" 2>/dev/null; then
  echo "skipped: cannot mount a small file system here"
  exit 77
fi
fail() { echo "FAIL: $*" >&2; exit 1; }

# Fills the file system, then frees $1 bytes (whole pages).
leave_free() {
  dd if=/dev/zero of="$disk/fill" bs=4096 2>/dev/null || true
  truncate -s "-$1" "$disk/fill"
}

# Runs "$@" in the disk; expects status 1, the message $1 on the stream $2,
# and every file as it was.
expect_failure() {
  local message=$1 stream=$2; shift 2
  (cd "$disk" && ls | grep -v '^fill$' | sort | xargs sha256sum) > "$work/before"
  local status=0
  (cd "$disk" && "$@" >"$work/stdout" 2>"$work/stderr") || status=$?
  [ "$status" = 1 ] || fail "$*: status $status, not 1"
  [ "$(cat "$work/$stream")" = "$message" ] ||
    fail "$*: printed '$(cat "$work/$stream")', not '$message'"
  (cd "$disk" && ls | grep -v '^fill$' | sort | xargs sha256sum) > "$work/after"
  cmp -s "$work/before" "$work/after" || fail "$*: a file changed or was left behind"
  rm -f "$disk/fill"
  echo "ok: $* -> $message"
}

cp "$examples/intro.pure" "$examples/intro.info" "$disk/"
printf 'old dte' > "$disk/intro.dte"
leave_free 0
expect_failure "Could not write dte file intro.dte. Skipping..." stderr "$build/pairpick" intro
leave_free 4096   # room for the dte file, none for the information file
expect_failure "Could not write information file intro.info. Skipping..." stderr \
  "$build/pairpick" intro

(cd "$disk" && "$build/pairpick" intro) || fail "pairpick with room to write"
printf 'old tbl' > "$disk/tesk.tbl"
printf 'old bit' > "$disk/tesk.bit"
leave_free 0
expect_failure "Building Bit Pattern Table, please be patient...
.............................
Could not write target Encoded 'Text' file, tesk.tbl. Shutting down..." \
  stdout "$build/huffbuild" intro
leave_free 12288   # room for the node table only
expect_failure "Building Bit Pattern Table, please be patient...
.............................
Could not write target Bit Pattern Table file, tesk.bit. Shutting down..." \
  stdout "$build/huffbuild" intro

(cd "$disk" && "$build/huffbuild" intro >/dev/null) || fail "huffbuild with room to write"
printf 'old huf' > "$disk/intro.huf"
leave_free 0
expect_failure "Could not write intro.huf." stderr "$build/huffpack" intro
leave_free 4096   # room for the packed text, none for the pointers
expect_failure "Could not write intro.ptr." stderr "$build/huffpack" intro

printf 'PATCH' > "$disk/tesk.ips"
leave_free 0
expect_failure "Could not write IPS file; it was left unchanged." stdout \
  "$build/ipsadd" intro.pure 7E0
echo "full disk test passed"
