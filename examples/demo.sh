#!/bin/sh
# Runs the tool chain on the example script in a scratch folder, so that the
# files in examples/ stay as they are, and shows what each program did: from
# the table and the text to a patch, and the text back from the packed text.
#   sh examples/demo.sh FOLDER_WITH_THE_PROGRAMS
# In a build folder the scratch folder is its demo/; beside installed
# programs it is a new temporary folder, so that bin/ stays as it is.
set -eu
build=$(cd "${1:-build}" && pwd)
examples=$(cd "$(dirname "$0")" && pwd)
if [ -f "$build/CMakeCache.txt" ]; then
  scratch="$build/demo"
  rm -rf "$scratch"
  mkdir -p "$scratch"
else
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/tesk-demo.XXXXXX")
fi
cp "$examples/intro.tbl" "$examples/intro.txt" "$scratch/"
cd "$scratch"

size() { wc -c <"$1" | tr -d ' '; }
# The byteLength fields of an information file, added up.
info_total() {
  od -An -v -tu1 "$1" | tr -s ' \n' '\n\n' | sed '/^$/d' |
    awk '{ b[NR % 8] = $1 } NR % 8 == 0 { t += b[5] + 256 * b[6] + 65536 * b[7] + 16777216 * b[0] } END { print t + 0 }'
}

echo "== Working in $scratch"
echo "intro.tbl: $(grep -c '^/\{0,1\}[0-9A-Fa-f]\{4\}=' intro.tbl) entries;" \
  "intro.txt: $(size intro.txt) bytes of text, which begins:"
head -4 intro.txt | sed 's/^/  /'

echo
echo "== puremake intro.tbl intro"
"$build/puremake" intro.tbl intro
echo "intro.pure: $(size intro.pure) bytes, $(($(size intro.info) / 8)) strings," \
  "information file describes $(info_total intro.info) bytes"

echo
echo "== pairpick intro"
"$build/pairpick" intro
echo "intro.dte:  $(size intro.dte) bytes" \
  "($(($(size intro.dte) * 100 / $(size intro.pure)))% of the puretext)," \
  "information file now describes $(info_total intro.info) bytes"

echo
echo "== huffbuild intro"
"$build/huffbuild" intro
echo "tesk.tbl: $(size tesk.tbl) bytes, tesk.bit: $(size tesk.bit) bytes"
echo "The first five symbols and their bit patterns:"
i=0
while [ $i -lt 5 ]; do
  symbol=$(od -An -v -tx1 -j $((i * 102)) -N 2 tesk.bit | awk '{ print toupper($2 $1) }')
  pattern=$(dd if=tesk.bit bs=102 skip=$i count=1 2>/dev/null | tail -c 100 | tr -d '\000')
  echo "  $symbol  $pattern"
  i=$((i + 1))
done

echo
echo "== chainreport intro"
"$build/chainreport" intro

echo
echo "== huffpack --base 1F4000 intro"
"$build/huffpack" --base 1F4000 intro
echo "intro.huf: $(size intro.huf) bytes of packed text," \
  "intro.ptr: $(($(size intro.ptr) / 4)) pointers; the first five:"
od -An -v -tx1 -N 20 intro.ptr | tr 'a-f' 'A-F' |
  awk '{ for (i = 1; i <= NF; i += 4) printf "  %s%s%s%s", $(i + 3), $(i + 2), $(i + 1), $i } END { print "" }'

echo
echo "== ipsadd tesk.tbl 1F0000; ipsadd intro.huf 1F4000; ipsadd intro.ptr 1F3000"
"$build/ipsadd" tesk.tbl 1F0000
"$build/ipsadd" intro.huf 1F4000
"$build/ipsadd" intro.ptr 1F3000
echo "tesk.ips: $(size tesk.ips) bytes of records"

echo
echo "== The complete patch: PATCH, the records of tesk.ips, EOF"
{ printf PATCH; cat tesk.ips; printf EOF; } > intro-patch.ips
echo "intro-patch.ips: $(size intro-patch.ips) bytes; its records (offset, size):"
p=5
total=$(($(size intro-patch.ips) - 3))
while [ $p -lt "$total" ]; do
  set -- $(od -An -v -tu1 -j $p -N 5 intro-patch.ips)
  offset=$(($1 * 65536 + $2 * 256 + $3))
  length=$(($4 * 256 + $5))
  printf '  %06X  %d bytes\n' $offset $length
  p=$((p + 5 + length))
done

echo
echo "== Applying it to a blank 2 MiB image"
head -c 2097152 /dev/zero > game.bin
p=5
while [ $p -lt "$total" ]; do
  set -- $(od -An -v -tu1 -j $p -N 5 intro-patch.ips)
  offset=$(($1 * 65536 + $2 * 256 + $3))
  length=$(($4 * 256 + $5))
  dd if=intro-patch.ips of=game.bin bs=65536 iflag=skip_bytes,count_bytes \
    oflag=seek_bytes conv=notrunc skip=$((p + 5)) seek=$offset count=$length 2>/dev/null
  p=$((p + 5 + length))
done
cmp -n 11612 tesk.tbl game.bin 0 $((0x1F0000)) &&
  cmp -n "$(size intro.huf)" intro.huf game.bin 0 $((0x1F4000)) &&
  cmp -n "$(size intro.ptr)" intro.ptr game.bin 0 $((0x1F3000)) &&
  echo "game.bin: tesk.tbl is at 1F0000, intro.huf at 1F4000 and intro.ptr" \
    "at 1F3000, byte for byte."

echo
echo "== The first string, read from game.bin as the game reads it"
# Its pointer is the first one at 1F3000; from there the bits lead through
# the node table at 1F0000, the highest bit of each byte first, until the
# end code 0000. Characters show as themselves, pair units as their two
# characters, other codes (and the argument behind a code ending in 10) in
# braces.
set -- $(od -An -v -tu1 -j $((0x1F3000)) -N 4 game.bin)
pointer=$(($1 + 256 * $2 + 65536 * $3 + 16777216 * $4))
{
  od -An -v -tu1 -j $((0x1F0000)) -N 11612 game.bin
  echo text
  od -An -v -tu1 -j "$pointer" -N 1024 game.bin
} | awk -v pointer="$pointer" '
  $1 == "text" { text = 1; next }
  { for (i = 1; i <= NF; i++) if (text) b[nb++] = $i; else t[nt++] = $i }
  function field(node, k) { return t[4 * node + 2 * k] + 256 * t[4 * node + 2 * k + 1] }
  END {
    root = nt / 4 - 1
    while (1) {
      node = root
      while (field(node, 1) != 65535) {
        bit = int(b[int(position / 8)] / 2 ^ (7 - position % 8)) % 2
        position++
        node = field(node, bit)
      }
      unit = field(node, 0); low = unit % 256; high = int(unit / 256)
      if (argument) { out = out sprintf("{%04X}", unit); argument = 0; continue }
      if (unit == 0) break
      if (high == 31) out = out sprintf("%c", low)
      else if (high >= 32 && low >= 32) out = out sprintf("%c%c", low, high)
      else { out = out sprintf("{%04X}", unit); argument = low == 16 }
    }
    printf "at %X, %d bits: %s\n", pointer, position, out
  }'

echo
echo "== textdump --from huf --base 1F4000 intro.tbl intro"
"$build/textdump" --from huf --base 1F4000 intro.tbl intro > intro-back.txt
head -4 intro-back.txt | sed 's/^/  /'
cmp intro-back.txt intro.txt &&
  echo "intro-back.txt is intro.txt byte for byte: the packed text holds the translated text."
