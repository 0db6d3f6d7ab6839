// Options of the monitor, as given on the service's command line.
#pragma once

#include "monitor.h"

struct MonitorOptions {
    bool createIfMissing = false;   // c: create AllowMultipleTSSessions when absent
    bool repairWrongType = false;   // r: rewrite a value of the wrong type or size
    OfflineFilesPolicy offlineFilesPolicy = OfflineFilesPolicy::Normal;  // n, d, i
};

// Reads option letters after '-' or '/' from argv[1] on; stops at the first
// argument that starts otherwise. Unknown letters are ignored.
MonitorOptions ParseMonitorOptions(int argc, wchar_t **argv);
