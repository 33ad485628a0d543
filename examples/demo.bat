@echo off
rem Runs the tool chain on the example script in a scratch folder, so that
rem the example stays as it is: from the table and the text to a complete
rem patch file, then the text back from the packed text.
rem   demo.bat FOLDER_WITH_THE_PROGRAMS
setlocal
if "%~1"=="" (
  echo usage: demo.bat FOLDER_WITH_THE_PROGRAMS
  exit /b 1
)
set "BIN=%~f1"
set "SCRATCH=%TEMP%\tesk-demo"
if exist "%SCRATCH%" rmdir /s /q "%SCRATCH%"
mkdir "%SCRATCH%"
copy /b "%~dp0intro.tbl" "%SCRATCH%\intro.tbl" >nul
copy /b "%~dp0intro.txt" "%SCRATCH%\intro.txt" >nul
cd /d "%SCRATCH%"
echo Working in %SCRATCH%

echo == puremake intro.tbl intro
"%BIN%\puremake.exe" intro.tbl intro
if errorlevel 1 exit /b 1

echo == pairpick intro
"%BIN%\pairpick.exe" intro
if errorlevel 1 exit /b 1
echo == huffbuild intro
"%BIN%\huffbuild.exe" intro
if errorlevel 1 exit /b 1
echo == chainreport intro
"%BIN%\chainreport.exe" intro
if errorlevel 1 exit /b 1
echo == huffpack --base 1F4000 intro
"%BIN%\huffpack.exe" --base 1F4000 intro
if errorlevel 1 exit /b 1
echo == ipsadd tesk.tbl 1F0000, intro.huf 1F4000 and intro.ptr 1F3000
"%BIN%\ipsadd.exe" tesk.tbl 1F0000
if errorlevel 1 exit /b 1
"%BIN%\ipsadd.exe" intro.huf 1F4000
if errorlevel 1 exit /b 1
"%BIN%\ipsadd.exe" intro.ptr 1F3000
if errorlevel 1 exit /b 1

rem The complete patch: PATCH, the records of tesk.ips, EOF.
<nul set /p "=PATCH" > patch.head
<nul set /p "=EOF" > patch.tail
copy /b patch.head + tesk.ips + patch.tail intro-patch.ips >nul
del patch.head patch.tail
echo == intro-patch.ips is ready:
dir /-c intro-patch.ips | find "intro-patch.ips"

echo == textdump --from huf --base 1F4000 intro.tbl intro
"%BIN%\textdump.exe" --from huf --base 1F4000 intro.tbl intro > intro-back.txt
if errorlevel 1 exit /b 1
fc /b intro-back.txt intro.txt >nul
if errorlevel 1 (
  echo intro-back.txt differs from intro.txt
  exit /b 1
)
echo intro-back.txt is intro.txt byte for byte: the packed text holds the translated text.
