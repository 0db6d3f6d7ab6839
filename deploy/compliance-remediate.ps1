# Remediation for compliance-detect.ps1 (Intune remediations) and for the
# Configuration Manager configuration item of compliance-discovery.ps1:
# starts QORV-Lindquell, which writes AllowMultipleTSSessions where Offline
# Files permit it. Exit code 0 when the service runs, 1 when it could not be
# started (the line written says why).
Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

try {
    # A service that already runs is left alone: then only Offline Files, or
    # another program writing the value, can keep AllowMultipleTSSessions
    # off, and starting it again would change nothing. Say so, rather than
    # "started".
    if ((Get-Service -Name 'QORV-Lindquell').Status -eq 'Running') {
        Write-Output 'QORV-Lindquell was already running: it sets AllowMultipleTSSessions where Offline Files permit it'
        exit 0
    }
    Start-Service -Name 'QORV-Lindquell'
    Write-Output 'QORV-Lindquell started'
    exit 0
} catch {
    Write-Output "QORV-Lindquell could not be started: $($_.Exception.Message)"
    exit 1
}
