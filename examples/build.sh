#!/bin/sh
# Builds the patch out/game.ips from the table file and the translated
# scripts, in a folder of its own, so that nothing beside it is rewritten.
# Any failure stops it with a non-zero status and no game.ips. chainreport is
# the gate: it fails on a script whose files are missing or do not agree,
# which pairpick and huffbuild pass over.
#   sh build.sh          (with the programs on the PATH)
# Scripts that another tool prepared: copy their .pure and .info files to
# out/ instead of the .txt files, and leave out puremake.
set -eu
table=intro.tbl
scripts="intro"

rm -rf out
mkdir out
cp "$table" out/
for script in $scripts; do cp "$script.txt" out/; done
cd out

puremake "$table" $scripts
pairpick $scripts
huffbuild $scripts
chainreport $scripts
# Each script's packed text and pointers go to places of their own in the
# game: one huffpack (its base the place of the text) and two ipsadd lines
# per script.
huffpack --base 1F4000 intro
ipsadd tesk.tbl 1F0000
ipsadd intro.huf 1F4000
ipsadd intro.ptr 1F3000
{ printf PATCH; cat tesk.ips; printf EOF; } > game.ips.part
mv game.ips.part game.ips
echo "out/game.ips is ready."
