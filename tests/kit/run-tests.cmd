@echo off
rem Runs every test program of this folder, the unpacked QuenvaleEnroll
rem kit, on Windows 10 or 11 with nothing else installed (or under Wine).
rem Ends with one line, "N passed, N failed": N counts test cases as
rem GoogleTest counts them; a program that ends without its summary (a
rem crash) or with a failing exit code of its own counts as one failed case.
rem
rem Needs no administrator: nothing is installed or elevated, no browser is
rem opened, and the real wsl.exe is never started (the tests point the
rem programs at stand-ins in folders under %TEMP%). The program's window
rem opens and closes many times while it runs: leave keyboard and mouse be.
setlocal
set here=%~dp0
cd /d "%here%"
set passed=0
set failed=0
set skipped=0
for %%p in (unit_tests win32_process_runner_tests win32_host_probes_tests win32_base64_tests gui_window_tests gui_driver_tests handle_hygiene_tests) do call :run %%p
if not "%skipped%"=="0" echo %skipped% skipped, listed above
echo %passed% passed, %failed% failed
if not "%failed%"=="0" exit /b 1
exit /b 0

rem One test program: its failures and its summary, then its counts.
:run
echo === %1
set out=%TEMP%\qv-kit-%1.txt
"%here%%1.exe" --gtest_brief=1 > "%out%" 2>&1
set code=%errorlevel%
type "%out%"
set summary=
set listed=
for /f "tokens=4" %%n in ('find "[  PASSED  ]" ^< "%out%"') do (
  set /a passed+=%%n
  set summary=1
)
for /f "tokens=4" %%n in ('find "[  FAILED  ]" ^< "%out%" ^| find "listed below"') do (
  set /a failed+=%%n
  set listed=1
)
for /f "tokens=4" %%n in ('find "[  SKIPPED ]" ^< "%out%" ^| find "listed below"') do set /a skipped+=%%n
del "%out%"
if not defined summary (
  set /a failed+=1
  echo %1 ended with exit code %code% before its summary
  goto :eof
)
if not "%code%"=="0" if not defined listed (
  set /a failed+=1
  echo %1 ended with exit code %code%
)
goto :eof
