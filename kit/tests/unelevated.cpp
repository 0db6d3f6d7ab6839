// unelevated COMMAND-LINE: runs the command with the Administrators group
// for deny only, as an administrator's programs run without elevation, and
// exits with its exit code (255 when it could not be started).
#include <windows.h>

#include <string>

int wmain()
{
    // The command line as given, after this program's own name.
    const wchar_t *line = GetCommandLineW();
    if (*line == L'"') {
        for (++line; *line && *line != L'"'; ++line) {
        }
        if (*line)
            ++line;
    } else {
        for (; *line && *line != L' '; ++line) {
        }
    }
    while (*line == L' ')
        ++line;
    std::wstring command = line;

    HANDLE token, restricted = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token))
        return 255;
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    DWORD exitCode = 255;
    if (AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                 &administrators)) {
        SID_AND_ATTRIBUTES denied = {administrators, 0};
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (CreateRestrictedToken(token, 0, 1, &denied, 0, nullptr, 0, nullptr, &restricted) &&
            CreateProcessAsUserW(restricted, nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &process)) {
            WaitForSingleObject(process.hProcess, INFINITE);
            GetExitCodeProcess(process.hProcess, &exitCode);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        if (restricted)
            CloseHandle(restricted);
        FreeSid(administrators);
    }
    CloseHandle(token);
    return static_cast<int>(exitCode);
}
