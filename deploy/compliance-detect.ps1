# Compliance detection for Intune remediations: is QORV-Lindquell running
# and AllowMultipleTSSessions on? Pair it with compliance-remediate.ps1.
# Set "Run script in 64-bit PowerShell" to Yes; where it is left at No,
# the default, the script runs itself again in 64-bit PowerShell (below).
#
# Convention of Intune remediations: exit code 0 means compliant, exit
# code 1 means run the remediation. The line written is what the portal
# shows as the detection's output.
#
# Where AllowMultipleTSSessions = 0 is expected while the service runs (its
# default policy under the classic logon while Offline Files are on), this
# check reports it as not compliant: use your own copy without that check.
Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

# Intune runs a remediation's scripts in 32-bit PowerShell unless "Run script
# in 64-bit PowerShell" is Yes (Remediations,
# https://learn.microsoft.com/intune/intune-service/fundamentals/remediations;
# runAs32Bit of the deviceHealthScript in Microsoft Graph). On 64-bit Windows
# that process sees neither the service's folder (its Program Files is the
# x86 one) nor the Winlogon key (its HKLM\Software is the 32-bit view): it
# would report "remediate" on every machine, every cycle. So the same script
# runs again in the 64-bit PowerShell, reached through sysnative, the name
# WOW64's file system redirector gives a 32-bit process for the native
# System32 (https://learn.microsoft.com/windows/win32/winprog64/file-system-redirector).
# Its output and exit code are this run's. It runs under the execution
# policy this run was admitted by (the 64-bit PowerShell keeps its own
# LocalMachine policy) and never prompts: nobody answers a SYSTEM script.
#
# Written for PowerShell 2.0 on .NET 2.0 too, the only one XP and Server 2003
# can have: a 32-bit process has 4-byte pointers, and WOW64 sets
# PROCESSOR_ARCHITEW6432 in 32-bit processes only
# (https://learn.microsoft.com/windows/win32/winprog64/wow64-implementation-details).
# XP x64 and Server 2003 x64 have sysnative only with the hotfix of Microsoft
# KB 942589 ("A 32-bit application cannot access the system32 folder..."):
# without it, this run says so.
$self = $MyInvocation.MyCommand.PSObject.Properties['Path']
if ([IntPtr]::Size -eq 4 -and (Test-Path -LiteralPath 'Env:PROCESSOR_ARCHITEW6432')) {
    $native = "$env:windir\sysnative\WindowsPowerShell\v1.0\powershell.exe"
    if ($null -eq $self -or -not $self.Value -or -not (Test-Path -LiteralPath $native -PathType Leaf)) {
        Write-Output ("not checked: run this script in 64-bit PowerShell (a 32-bit one needs its file and $native, " +
            'which XP x64 and Server 2003 x64 have only with hotfix KB 942589)')
        exit 1
    }
    & $native -NoProfile -NonInteractive -ExecutionPolicy (Get-ExecutionPolicy) -File $self.Value @args
    exit $LASTEXITCODE
}
$program = Join-Path $env:ProgramFiles 'QORV\Lindquell\lindquell.exe'
if (-not (Test-Path -LiteralPath $program -PathType Leaf)) {
    Write-Output "not compliant: $program is not installed"
    exit 1
}
# The console run prints the service's state; exit code 0: running or starting.
$state = & $program
if ($LASTEXITCODE -ne 0) {
    Write-Output "not compliant: $state"
    exit 1
}
$winlogon = Get-ItemProperty -LiteralPath 'HKLM:\Software\Microsoft\Windows NT\CurrentVersion\Winlogon'
$value = $winlogon.PSObject.Properties['AllowMultipleTSSessions']
# Only a REG_DWORD (an Int32 here) of 1 counts: -ne on a string converts the
# 1 to "1", and on a multi-string or binary value it filters the items.
if ($null -eq $value -or $value.Value -isnot [int] -or $value.Value -ne 1) {
    Write-Output "not compliant: $state AllowMultipleTSSessions is not 1"
    exit 1
}
Write-Output "compliant: $state AllowMultipleTSSessions is 1"
exit 0
