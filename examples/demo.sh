#!/bin/sh
# Runs the tool chain on the example script in a scratch folder, so that the
# files in examples/ stay as they are, and shows what each program did: from
# the table and the text to a patch, and the text back from the dte file.
#   sh examples/demo.sh BUILD_DIR
set -eu
build=$(cd "${1:-build}" && pwd)
examples=$(cd "$(dirname "$0")" && pwd)
scratch="$build/demo"
rm -rf "$scratch"
mkdir -p "$scratch"
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
echo "== ipsadd tesk.tbl 1F0000; ipsadd intro.dte 1F4000"
"$build/ipsadd" tesk.tbl 1F0000
"$build/ipsadd" intro.dte 1F4000
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
  cmp -n "$(size intro.dte)" intro.dte game.bin 0 $((0x1F4000)) &&
  echo "game.bin: tesk.tbl is at 1F0000 and intro.dte at 1F4000, byte for byte."

echo
echo "== textdump --from dte intro.tbl intro"
"$build/textdump" --from dte intro.tbl intro > intro-back.txt
head -4 intro-back.txt | sed 's/^/  /'
cmp intro-back.txt intro.txt &&
  echo "intro-back.txt is intro.txt byte for byte: the dte file holds the translated text."
