# Compliance detection for Intune remediations: is QORV-Lindquell running
# and AllowMultipleTSSessions on? Pair it with compliance-remediate.ps1.
# Set "Run script in 64-bit PowerShell" to Yes: a 32-bit process sees
# neither the service's folder nor the Winlogon key of 64-bit Windows.
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

if ([Environment]::Is64BitOperatingSystem -and -not [Environment]::Is64BitProcess) {
    Write-Output 'not checked: run this script in 64-bit PowerShell'
    exit 1
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
if ($null -eq $value -or $value.Value -ne 1) {
    Write-Output "not compliant: $state AllowMultipleTSSessions is not 1"
    exit 1
}
Write-Output "compliant: $state AllowMultipleTSSessions is 1"
exit 0
