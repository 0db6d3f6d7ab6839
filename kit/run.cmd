@echo off
rem Runs the QORV-Lindquell test suite on this machine: see README.txt.
rem It changes the machine; it refuses to start without --disposable-machine.
setlocal
set arch=x86
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set arch=x64
if /i "%PROCESSOR_ARCHITEW6432%"=="AMD64" set arch=x64
"%~dp0%arch%\kit-runner.exe" %*
exit /b %ERRORLEVEL%
