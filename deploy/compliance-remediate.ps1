# Remediation for compliance-detect.ps1 (Intune remediations) and for the
# Configuration Manager configuration item of compliance-discovery.ps1:
# starts QORV-Lindquell, which writes AllowMultipleTSSessions where Offline
# Files permit it. Exit code 0 when the service runs, 1 when it could not be
# started (the line written says why).
Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

try {
    Start-Service -Name 'QORV-Lindquell'
    Write-Output 'QORV-Lindquell started'
    exit 0
} catch {
    Write-Output "QORV-Lindquell could not be started: $($_.Exception.Message)"
    exit 1
}
