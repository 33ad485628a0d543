@echo off
rem Builds the patch out\game.ips from the table file and the translated
rem scripts, in a folder of its own, so that nothing beside it is rewritten.
rem Any failure stops it with a non-zero status and no game.ips. chainreport
rem is the gate: it fails on a script whose files are missing or do not
rem agree, which pairpick and huffbuild pass over.
rem   build.bat          (with the programs on the PATH)
rem Scripts that another tool prepared: copy their .pure and .info files to
rem out\ instead of the .txt files, and leave out puremake.
setlocal
set "TABLE=intro.tbl"
set "SCRIPTS=intro"

if exist out rmdir /s /q out
mkdir out
if errorlevel 1 exit /b 1
copy /b "%TABLE%" out\ >nul
if errorlevel 1 exit /b 1
for %%s in (%SCRIPTS%) do (
  copy /b "%%s.txt" out\ >nul
  if errorlevel 1 exit /b 1
)
cd out

puremake "%TABLE%" %SCRIPTS%
if errorlevel 1 exit /b 1
pairpick %SCRIPTS%
if errorlevel 1 exit /b 1
huffbuild %SCRIPTS%
if errorlevel 1 exit /b 1
chainreport %SCRIPTS%
if errorlevel 1 exit /b 1
rem Each script's packed text and pointers go to places of their own in the
rem game: one huffpack (its base the place of the text) and two ipsadd lines
rem per script.
huffpack --base 1F4000 intro
if errorlevel 1 exit /b 1
ipsadd tesk.tbl 1F0000
if errorlevel 1 exit /b 1
ipsadd intro.huf 1F4000
if errorlevel 1 exit /b 1
ipsadd intro.ptr 1F3000
if errorlevel 1 exit /b 1
<nul set /p "=PATCH">h.bin
<nul set /p "=EOF">t.bin
copy /b h.bin + tesk.ips + t.bin game.ips.part >nul
if errorlevel 1 exit /b 1
del h.bin t.bin
move /y game.ips.part game.ips >nul
if errorlevel 1 exit /b 1
echo out\game.ips is ready.
