# Discovery script of a Configuration Manager configuration item: is
# QORV-Lindquell running and AllowMultipleTSSessions on? Setting data type
# String; compliance rule: the value returned equals "Compliant". Use
# compliance-remediate.ps1 as its remediation script, and leave "Run scripts
# by using the logged on user credentials" off. It must run as a 64-bit
# process on 64-bit Windows, and says so when it does not.
#
# Convention of discovery scripts: the value is what the script writes; a
# non-zero exit code is an error, not a finding, so this script always exits
# 0 and writes "Compliant" or what is wrong.
Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

$program = Join-Path $env:ProgramFiles 'QORV\Lindquell\lindquell.exe'
if ([Environment]::Is64BitOperatingSystem -and -not [Environment]::Is64BitProcess) {
    Write-Output 'Not checked: run in a 64-bit process'
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
    } elseif ($null -eq $value -or $value.Value -ne 1) {
        Write-Output 'AllowMultipleTSSessions is not 1'
    } else {
        Write-Output 'Compliant'
    }
}
exit 0
