// Asks the Offline Files arbitration once per remaining argument pair and
// exits with the answers as bits: bit i set when call i permitted.
// Usage: arbitration_probe <policy> <enabling> [<policy> <enabling> ...]
#include <cwchar>

#include "monitor.h"

int wmain(int argc, wchar_t **argv)
{
    int answers = 0;
    for (int i = 1, call = 0; i + 1 < argc; i += 2, ++call) {
        auto policy = static_cast<OfflineFilesPolicy>(wcstoul(argv[i], nullptr, 10));
        bool enabling = wcstoul(argv[i + 1], nullptr, 10) != 0;
        if (MultipleSessionsPermitted(policy, enabling))
            answers |= 1 << call;
    }
    return answers;
}
