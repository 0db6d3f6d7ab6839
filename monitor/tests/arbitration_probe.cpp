// Asks the Offline Files arbitration once per argument pair and exits with
// the answers as bits: bit i set when call i permitted. A "+" between pairs
// puts the full stand-in (from the folder above this one) into the system
// directory first, as a library that appears while the process runs.
// Usage: arbitration_probe <policy> <enabling> [+] [<policy> <enabling> ...]
#include <windows.h>

#include <cwchar>
#include <string>

#include "monitor.h"
#include "testbed.h"

namespace {

void InstallStandIn()
{
    std::wstring folder = testbed::ProgramDirectory();
    folder.resize(folder.find_last_of(L'\\'));
    const std::wstring target = testbed::SystemDirectory() + L"\\cscdll.dll";
    CopyFileW((folder + L"\\cscdll_standin.dll").c_str(), target.c_str(), FALSE);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    int answers = 0;
    for (int i = 1, call = 0; i < argc; ++call) {
        if (wcscmp(argv[i], L"+") == 0) {
            InstallStandIn();
            ++i;
            --call;
            continue;
        }
        if (i + 1 >= argc)
            break;
        auto policy = static_cast<OfflineFilesPolicy>(wcstoul(argv[i], nullptr, 10));
        bool enabling = wcstoul(argv[i + 1], nullptr, 10) != 0;
        if (MultipleSessionsPermitted(policy, enabling))
            answers |= 1 << call;
        i += 2;
    }
    return answers;
}
