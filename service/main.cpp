// Process entry: runs the service under the service control manager, and
// otherwise reports the service's state on the console.
#include "service.h"

namespace {

const DWORD StateUnknown = static_cast<DWORD>(-1);

// Words for dwCurrentState 1 to 4; any other state is unknown.
const char *const StatusTexts[] = {nullptr, "not running", "starting", "stopping", "running"};

const char *StatusText(DWORD state)
{
    if (state >= 1 && state < sizeof(StatusTexts) / sizeof(StatusTexts[0]))
        return StatusTexts[state];
    return "in an unknown state";
}

} // namespace

DWORD QueryServiceState(FILE *out)
{
    DWORD state = StateUnknown;
    const char *text = nullptr;

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, 0);
    if (manager) {
        SC_HANDLE service = OpenServiceW(manager, ServiceName, SERVICE_QUERY_STATUS);
        if (!service) {
            if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
                text = "not installed";
        } else {
            SERVICE_STATUS status = {};
            if (QueryServiceStatus(service, &status)) {
                state = status.dwCurrentState;
                text = StatusText(state);
            }
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }

    if (out) {
        if (text)
            fprintf(out, "The %ls service is %s.\n", ServiceName, text);
        else
            fprintf(out, "Could not obtain the status of the %ls service.\n", ServiceName);
    }
    return state;
}

int wmain(int, wchar_t **, wchar_t **)
{
    // A running service is only reported: the dispatcher would connect to it.
    if (QueryServiceState(nullptr) != SERVICE_RUNNING) {
        SERVICE_TABLE_ENTRYW dispatchTable[] = {{const_cast<wchar_t *>(ServiceName), ServiceMain},
                                                {nullptr, nullptr}};
        if (StartServiceCtrlDispatcherW(dispatchTable))
            return 0;
        DWORD error = GetLastError();
        if (error != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            return static_cast<int>(error);
    }

    // Not started by the service control manager: a console run.
    DWORD state = QueryServiceState(stdout);
    if (state == SERVICE_START_PENDING || state == SERVICE_RUNNING)
        return 0;
    return state == StateUnknown ? 2 : 1;
}
