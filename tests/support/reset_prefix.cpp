// Puts the prefix back into the state every test starts from, whatever an
// earlier run left behind when it was killed or failed half-way: no
// installed package and no QORV-Lindquell service (an automatic-start
// service left there would start with every new Wine session and rewrite
// the setting underneath the tests), no other service holding its display
// name (every install would fail), and the Winlogon key in its place.
// CTest runs it before the first test of every run, the kit's runner before
// and after its passes. Exits 0, and says so, when the prefix is clean
// afterwards.
#include "installed_service.h"
#include "testbed.h"

#include <msi.h>
#include <stdio.h>

int wmain()
{
    const wchar_t upgradeCode[] = L"{" LINDQUELL_UPGRADE_CODE L"}";
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    wchar_t product[39];
    // Removing a product renumbers the rest: always take the first, a few
    // times at most.
    for (int removal = 0; removal < 4 && MsiEnumRelatedProductsW(upgradeCode, 0, 0, product) == ERROR_SUCCESS;
         ++removal) {
        UINT result = MsiConfigureProductExW(product, INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT, L"REBOOT=ReallySuppress");
        if (result != ERROR_SUCCESS && result != ERROR_SUCCESS_REBOOT_REQUIRED) {
            printf("The package could not be removed: error %u.\n", result);
            return 1;
        }
    }
    if (MsiEnumRelatedProductsW(upgradeCode, 0, 0, product) == ERROR_SUCCESS) {
        printf("A package is still installed.\n");
        return 1;
    }
    installed::Remove();
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager) {
        SC_HANDLE other = OpenServiceW(manager, installed::OtherName, DELETE);
        if (other) {
            DeleteService(other);
            CloseServiceHandle(other);
        }
        CloseServiceHandle(manager);
    }
    testbed::RestoreWinlogonKey();
    if (installed::WithService(SERVICE_QUERY_STATUS, [](SC_HANDLE) {})) {
        printf("The QORV-Lindquell service could not be removed.\n");
        return 1;
    }
    printf("%s\n", testbed::ResetCleanLine);
    return 0;
}
