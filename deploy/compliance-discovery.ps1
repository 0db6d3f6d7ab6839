# Discovery script of a Configuration Manager configuration item: is
# QORV-Lindquell running and AllowMultipleTSSessions on? Setting data type
# String; compliance rule: the value returned equals "Compliant". Use
# compliance-remediate.ps1 as its remediation script, and leave "Run scripts
# by using the logged on user credentials" off. Started in a 32-bit
# PowerShell on 64-bit Windows ("Run scripts by using the 32-bit scripting
# host on 64-bit devices"), it runs itself again in the 64-bit one (below).
#
# Convention of discovery scripts: the value is what the script writes; a
# non-zero exit code is an error, not a finding, so this script always exits
# 0 and writes "Compliant" or what is wrong.
Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

# A 32-bit process on 64-bit Windows sees neither the service's folder nor
# the Winlogon key of 64-bit Windows, so the same script runs again in the
# 64-bit PowerShell, reached through sysnative, the name WOW64's file system
# redirector gives a 32-bit process for the native System32
# (https://learn.microsoft.com/windows/win32/winprog64/file-system-redirector).
# Its output and exit code are this run's. It runs under the execution
# policy this run was admitted by (the 64-bit PowerShell keeps its own
# LocalMachine policy) and never prompts: nobody answers a SYSTEM script.
# A 32-bit process has 4-byte pointers, and WOW64 sets PROCESSOR_ARCHITEW6432
# in 32-bit processes only, on PowerShell 2.0 and .NET 2.0 too, the only ones
# XP and Server 2003 can have
# (https://learn.microsoft.com/windows/win32/winprog64/wow64-implementation-details).
# XP x64 and Server 2003 x64 have sysnative only with the hotfix of Microsoft
# KB 942589 ("A 32-bit application cannot access the system32 folder..."):
# without it, this run says so.
$wow64 = [IntPtr]::Size -eq 4 -and (Test-Path -LiteralPath 'Env:PROCESSOR_ARCHITEW6432')
$self = $MyInvocation.MyCommand.PSObject.Properties['Path']
if ($wow64) {
    $native = "$env:windir\sysnative\WindowsPowerShell\v1.0\powershell.exe"
    if ($null -ne $self -and $self.Value -and (Test-Path -LiteralPath $native -PathType Leaf)) {
        & $native -NoProfile -NonInteractive -ExecutionPolicy (Get-ExecutionPolicy) -File $self.Value @args
        exit $LASTEXITCODE
    }
}
$program = Join-Path $env:ProgramFiles 'QORV\Lindquell\lindquell.exe'
if ($wow64) {
    Write-Output ('Not checked: run in a 64-bit process (a 32-bit one needs this script''s file and ' +
        "$env:windir\sysnative, which XP x64 and Server 2003 x64 have only with hotfix KB 942589)")
} elseif (-not (Test-Path -LiteralPath $program -PathType Leaf)) {
    Write-Output 'Not installed'
} else {
    # The console run prints the service's state; exit code 0: running or starting.
    $state = & $program
    $running = $LASTEXITCODE -eq 0
    $winlogon = Get-ItemProperty -LiteralPath 'HKLM:\Software\Microsoft\Windows NT\CurrentVersion\Winlogon'
    $value = $winlogon.PSObject.Properties['AllowMultipleTSSessions']
    if (-not $running) {
        Write-Output "Not running: $state"
    } elseif ($null -eq $value -or $value.Value -isnot [int] -or $value.Value -ne 1) {
        Write-Output 'AllowMultipleTSSessions is not 1'
    } else {
        Write-Output 'Compliant'
    }
}
exit 0
