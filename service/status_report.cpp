// The console status report: the service's state as the service control
// manager has it, in one line.
#include "service.h"

namespace {

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
    DWORD state = ServiceStateUnknown;
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
