@echo off
rem Runs the QORV-Lindquell test suite on this machine: see README.txt.
rem It changes the machine; it refuses to start without --disposable-machine.
setlocal
rem Started from PowerShell 7 (pwsh), this process holds pwsh's PSModulePath,
rem and the Windows PowerShell the tests start would inherit it and fail to
rem load its own modules (PowerShell/PowerShell#27774). Without the variable,
rem Windows PowerShell builds its default: its own, the AllUsers and the
rem CurrentUser module folders (about_PSModulePath, "Windows PowerShell startup").
set PSModulePath=
set arch=x86
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set arch=x64
if /i "%PROCESSOR_ARCHITEW6432%"=="AMD64" set arch=x64
"%~dp0%arch%\kit-runner.exe" %*
exit /b %ERRORLEVEL%
