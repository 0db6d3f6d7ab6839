// Process entry: runs the service under the service control manager, and
// otherwise reports the service's state on the console.
#include "service.h"

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
    return state == ServiceStateUnknown ? 2 : 1;
}
