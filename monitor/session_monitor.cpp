// The session-setting monitor: watches the Winlogon and NetCache keys through
// change notifications and keeps AllowMultipleTSSessions on while the Offline
// Files arbitration permits it.
#include "monitor.h"
#include "options.h"
#include "registry_value.h"

namespace {

const wchar_t MultipleSessionsValue[] = L"AllowMultipleTSSessions";
const wchar_t LogonTypeValue[] = L"LogonType";
const REGSAM WatchAccess = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_NOTIFY | MachineView;

// A watched key and the auto-reset event its change notification signals.
struct WatchedKey {
    HKEY key;
    HANDLE changed;
};

enum WatchedSlot : DWORD { WinlogonKey = 0, NetCacheKey = 1, WatchedSlotCount = 2 };

// A notification fires once, after the next change of a value directly in
// the key, and must be armed again after every signal.
LSTATUS ArmChangeNotification(const WatchedKey &slot)
{
    return RegNotifyChangeKeyValue(slot.key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, slot.changed, TRUE);
}

// Tests the stop event without waiting. True when the monitor must end: the
// event is signalled, or the test failed and *result holds the error.
bool StopRequested(HANDLE stopEvent, DWORD *result)
{
    DWORD test = WaitForSingleObject(stopEvent, 0);
    if (test == WAIT_FAILED)
        *result = GetLastError();
    return test != WAIT_TIMEOUT;
}

} // namespace

MonitorOptions ParseMonitorOptions(int argc, wchar_t **argv)
{
    MonitorOptions options;
    for (int i = 1; i < argc; ++i) {
        const wchar_t *argument = argv[i];
        if (argument[0] != L'-' && argument[0] != L'/')
            break;
        for (const wchar_t *letter = argument + 1; *letter; ++letter) {
            switch (*letter) {
            case L'c': options.createIfMissing = true; break;
            case L'r': options.repairWrongType = true; break;
            case L'n': options.offlineFilesPolicy = OfflineFilesPolicy::Normal; break;
            case L'd': options.offlineFilesPolicy = OfflineFilesPolicy::Disable; break;
            case L'i': options.offlineFilesPolicy = OfflineFilesPolicy::Ignore; break;
            default: break;
            }
        }
    }
    return options;
}

DWORD MonitorSessionSetting(int argc, wchar_t **argv, HANDLE stopEvent)
{
    const MonitorOptions options = ParseMonitorOptions(argc, argv);
    const OfflineFilesPolicy policy = options.offlineFilesPolicy;

    WatchedKey watched[WatchedSlotCount] = {};
    DWORD watchedCount = 0;
    DWORD eventCount = 0;
    HANDLE waitTable[WatchedSlotCount + 1];
    DWORD waitCount = 0;

    bool multiSessionsOn = true;
    bool classicLogon = true;
    bool recheckWinlogon = true;
    bool setupFailed = false;
    bool valueRead = false;
    DWORD result = ERROR_SUCCESS;

    // Registry calls return their error code and leave the thread's
    // last-error value alone, so their code is kept as it comes back.
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, WinlogonKeyPath, 0, WatchAccess, &watched[WinlogonKey].key);
    if (status == ERROR_SUCCESS) {
        watchedCount = 1;
    } else {
        result = status;
        setupFailed = true;
    }

    if (!setupFailed && policy != OfflineFilesPolicy::Ignore) {
        status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, NetCacheKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 WatchAccess, nullptr, &watched[NetCacheKey].key, nullptr);
        if (status == ERROR_SUCCESS) {
            watchedCount = 2;
        } else {
            result = status;
            setupFailed = true;
        }
    }

    for (DWORD slot = 0; !setupFailed && slot < watchedCount; ++slot) {
        watched[slot].changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!watched[slot].changed) {
            result = GetLastError();
            setupFailed = true;
            break;
        }
        ++eventCount;
        waitTable[waitCount++] = watched[slot].changed;
        status = ArmChangeNotification(watched[slot]);
        if (status != ERROR_SUCCESS) {
            result = status;
            setupFailed = true;
        }
    }

    if (stopEvent) {
        waitTable[waitCount++] = stopEvent;
        if (StopRequested(stopEvent, &result))
            setupFailed = true;
    }

    HKEY winlogon = watched[WinlogonKey].key;
    while (!setupFailed) {
        if (recheckWinlogon) {
            DWORD value = 0;
            bool enable = false;
            valueRead = true;
            switch (ReadDwordValue(winlogon, MultipleSessionsValue, &value)) {
            case DwordRead::WellFormed:
                multiSessionsOn = value != 0;
                enable = value != 1;
                break;
            case DwordRead::Malformed:
                multiSessionsOn = false;
                enable = options.repairWrongType;
                break;
            case DwordRead::Missing:
                multiSessionsOn = false;
                enable = options.createIfMissing;
                break;
            }
            if (enable && MultipleSessionsPermitted(policy, true)) {
                status = WriteDwordValue(winlogon, MultipleSessionsValue, 1);
                multiSessionsOn = true;
                if (status != ERROR_SUCCESS) {
                    result = status;
                    setupFailed = true;
                }
            }
            DWORD logonType = 0;
            classicLogon = !(ReadDwordValue(winlogon, LogonTypeValue, &logonType) == DwordRead::WellFormed &&
                             logonType != 0);
            if (setupFailed)
                break;
        } else if (!multiSessionsOn) {
            // Believed off: a NetCache change is a reason to try enabling again.
            recheckWinlogon = true;
            continue;
        } else if (classicLogon && !MultipleSessionsPermitted(policy, false)) {
            // The classic logon cannot work with Offline Files and multiple
            // sessions together, so the setting yields.
            status = WriteDwordValue(winlogon, MultipleSessionsValue, 0);
            if (status != ERROR_SUCCESS) {
                result = status;
                break;
            }
        }

        // The wait reports the lowest signalled entry, so a key that keeps
        // changing would hide the stop event behind it forever. A stop request
        // wins over any change. Tested here rather than after the wait so that
        // no extra call delays the reaction to a change.
        if (stopEvent && StopRequested(stopEvent, &result))
            break;
        DWORD w = WaitForMultipleObjects(waitCount, waitTable, FALSE, INFINITE);
        if (w >= watchedCount) {
            if (w != waitCount - 1)
                result = GetLastError();
            break;
        }
        status = ArmChangeNotification(watched[w]);
        if (status != ERROR_SUCCESS) {
            result = status;
            break;
        }
        recheckWinlogon = w == WinlogonKey;
    }

    // Leaving with the classic logon in force: the setting must not outlive
    // the monitor that arbitrates it. Before the first read both beliefs are
    // only assumptions (a stop during start-up, a set-up failure): then only
    // a REG_DWORD that is on is switched off, and a value that is absent or
    // of another type or size, which no option asked to touch, stays as it is.
    if (multiSessionsOn && classicLogon && watchedCount > 0) {
        DWORD value = 0;
        if (valueRead ||
            (ReadDwordValue(winlogon, MultipleSessionsValue, &value) == DwordRead::WellFormed && value != 0))
            WriteDwordValue(winlogon, MultipleSessionsValue, 0);
    }

    while (eventCount > 0)
        CloseHandle(watched[--eventCount].changed);
    while (watchedCount > 0)
        RegCloseKey(watched[--watchedCount].key);
    return result;
}
