@echo off
rem Checks swug.exe on this Windows machine in about a minute, with nothing but cmd:
rem   smoke.cmd SWUG.EXE [WORK-FOLDER]
rem It prints a PASS or FAIL line for each check and ends with exit status 1 when any failed, 2
rem when it could not start. It works in WORK-FOLDER, which must not exist yet, or in a new folder
rem below %TEMP% that it removes when every check passed.
rem
rem sample\ holds a software file and its image, made for this script: TOVRIK_SW.bin is 600 bytes,
rem byte i of its 128-byte leading block is 255 - i and byte i of its body (37 * i + 11) mod 256,
rem so every byte value (CR, LF and Ctrl-Z among them) appears; TOVRIK_UPGRADE_SW.bin is its body.
rem With SMOKE_NO_FC set, fc compares nothing and the caller compares the files left in the work
rem folder: where fc cannot be trusted (under wine, whose fc compares nothing or reports identical
rem files as different).
setlocal EnableExtensions
if "%~1"=="" (
    echo usage: smoke.cmd SWUG.EXE [WORK-FOLDER]
    exit /b 2
)
set "exe=%~f1"
set "sw=%~dp0sample\TOVRIK_SW.bin"
set "image=%~dp0sample\TOVRIK_UPGRADE_SW.bin"
set "work=%~f2"
set keep=1
if "%~2"=="" (
    set "work=%TEMP%\swug-smoke-%RANDOM%%RANDOM%"
    set keep=0
)
if not exist "%exe%" (
    echo FAIL: no program at %exe%
    exit /b 2
)
if exist "%work%" (
    echo FAIL: the work folder %work% exists already
    exit /b 2
)
rem Each result is tested on a line of its own with "if errorlevel": some cmds (wine's) let && and ||
rem follow an earlier status.
mkdir "%work%\interactive\data"
mkdir "%work%\interactive\out"
if not exist "%work%\interactive\out\" (
    echo FAIL: cannot make the work folder %work%
    exit /b 2
)
pushd "%work%"
set failed=0

rem Command mode: the image is the software file without its leading block.
copy /b "%sw%" sw.bin >nul
"%exe%" sw.bin img.bin
call :expect %ERRORLEVEL% 0 img.bin "command mode converts the sample"

rem Over an old image, longer than the new one, which must not keep its tail.
copy /b "%sw%"+"%sw%" old.bin >nul
"%exe%" sw.bin old.bin
call :expect %ERRORLEVEL% 0 old.bin "command mode replaces an old, longer image"

rem Interactive mode with the default names; the piped line is the key that ends the wait.
copy /b "%sw%" interactive\data\TOVRIK_SW.bin >nul
cd interactive
echo x| "%exe%" >prompt.txt
call :expect %ERRORLEVEL% 0 out\TOVRIK_UPGRADE_SW.bin "interactive mode converts the default pair"
find "Press any key to exit!" prompt.txt >nul
if errorlevel 1 call :fail "interactive mode shows its prompt"
cd ..

rem A missing folder, on either side: exit status 1, and nothing written.
"%exe%" sw.bin nowhere\img.bin
call :expect %ERRORLEVEL% 1 "" "an image in a missing folder is refused"
"%exe%" nowhere\sw.bin new.bin
call :expect %ERRORLEVEL% 1 "" "a software file in a missing folder is refused"
if exist nowhere call :fail "a refused run created a folder"
if exist new.bin call :fail "a refused run created an image"
if defined SMOKE_NO_FC goto compared
fc /b sw.bin "%sw%" >nul
if errorlevel 1 call :fail "the software file changed"
:compared

popd
if not "%failed%"=="0" (
    echo smoke test FAILED; the files are in %work%
    exit /b 1
)
if "%keep%"=="0" rmdir /s /q "%work%"
echo smoke test passed
exit /b 0

rem :expect STATUS WANTED FILE WHAT: the run ended with WANTED and FILE, unless "", holds the image.
:expect
if not "%~1"=="%~2" (
    call :fail "%~4: exit status %~1, not %~2"
    goto :eof
)
if "%~3"=="" goto passed
if defined SMOKE_NO_FC goto passed
fc /b "%~3" "%image%" >nul
if errorlevel 1 (
    call :fail "%~4: %~3 is not the expected image"
    goto :eof
)
:passed
echo PASS: %~4
goto :eof

:fail
echo FAIL: %~1
set failed=1
goto :eof
