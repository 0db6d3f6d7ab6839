// What the machine is, recorded before the kit changes anything: the answers
// that decide what the product's setting means there. Facts, never verdicts.
#include "kit.h"

#include "testbed.h"

#include <cstdio>

namespace kit {

namespace {

typedef DWORD(WINAPI *IsCscEnabledFunction)(void);
typedef WCHAR *(CDECL *WineDosFileNameFunction)(const char *);

std::string WindowsVersion()
{
    const OSVERSIONINFOW version = testbed::WindowsVersion();
    if (version.dwMajorVersion == 0)
        return "Windows: unknown";
    // The update revision says which cumulative update the build has; Windows
    // before 10 and Wine keep none.
    DWORD revision = 0, size = sizeof(revision), type = REG_NONE;
    HKEY current;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &current) == ERROR_SUCCESS) {
        if (RegQueryValueExW(current, L"UBR", nullptr, &type, reinterpret_cast<BYTE *>(&revision), &size) !=
                ERROR_SUCCESS ||
            type != REG_DWORD)
            revision = 0;
        RegCloseKey(current);
    }
    char line[160];
    snprintf(line, sizeof(line), "Windows %lu.%lu, build %lu%s%s%s", version.dwMajorVersion, version.dwMinorVersion,
             version.dwBuildNumber, revision ? ("." + std::to_string(revision)).c_str() : "",
             version.szCSDVersion[0] ? ", " : "", Narrow(version.szCSDVersion).c_str());
    std::string text = line;
    typedef const char *(CDECL * WineVersionFunction)(void);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (auto wine = reinterpret_cast<WineVersionFunction>(
            reinterpret_cast<void *>(ntdll ? GetProcAddress(ntdll, "wine_get_version") : nullptr)))
        text += std::string(" (Wine ") + wine() + ")";
    return text;
}

// The names a PE file exports, read from the file itself: it may be of the
// other architecture, which this process cannot load ("PE Format", Microsoft
// Learn: the export directory is data directory 0). Empty when it is no
// image or exports nothing.
std::vector<std::string> ExportedNames(const std::wstring &path)
{
    std::vector<std::string> names;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return names;
    LARGE_INTEGER size = {};
    std::vector<BYTE> image;
    DWORD read = 0;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < (64 << 20)) {
        image.resize(static_cast<size_t>(size.QuadPart));
        if (!ReadFile(file, image.data(), static_cast<DWORD>(image.size()), &read, nullptr))
            read = 0;
        image.resize(read);
    }
    CloseHandle(file);

    auto at = [&](size_t offset, size_t length) { return offset <= image.size() && length <= image.size() - offset; };
    auto u16 = [&](size_t offset) { return static_cast<DWORD>(image[offset] | image[offset + 1] << 8); };
    auto u32 = [&](size_t offset) { return u16(offset) | u16(offset + 2) << 16; };
    if (!at(0, 64) || u16(0) != 0x5A4D)
        return names;
    const size_t pe = u32(60);
    if (!at(pe, 24) || u32(pe) != 0x00004550)
        return names;
    const DWORD sections = u16(pe + 6);
    const size_t optional = pe + 24, table = optional + u16(pe + 20);
    if (!at(optional, 2))
        return names;
    const size_t directories = optional + (u16(optional) == 0x20B ? 112 : 96);
    if (!at(directories, 8) || !at(table, sections * 40))
        return names;
    auto offsetOf = [&](DWORD rva, size_t *offset) {
        for (DWORD i = 0; i < sections; ++i) {
            const size_t entry = table + i * 40;
            const DWORD start = u32(entry + 12), length = u32(entry + 16), raw = u32(entry + 20);
            if (rva >= start && rva - start < length) {
                *offset = raw + (rva - start);
                return true;
            }
        }
        return false;
    };
    size_t exports = 0, nameTable = 0;
    const DWORD exportRva = u32(directories);
    if (!exportRva || !offsetOf(exportRva, &exports) || !at(exports, 40) || !offsetOf(u32(exports + 32), &nameTable))
        return names;
    const DWORD count = u32(exports + 24);
    for (DWORD i = 0; i < count && at(nameTable + i * 4, 4); ++i) {
        size_t name = 0;
        if (!offsetOf(u32(nameTable + i * 4), &name))
            continue;
        std::string text;
        while (at(name, 1) && image[name] && text.size() < 256)
            text += static_cast<char>(image[name++]);
        names.push_back(text);
    }
    return names;
}

struct Question {
    IsCscEnabledFunction ask;
    DWORD answer;
};

DWORD WINAPI AskOfflineFiles(void *context)
{
    auto question = static_cast<Question *>(context);
    question->answer = question->ask();
    return 0;
}

std::string LibraryFacts(const std::wstring &directory, bool loadable)
{
    const std::wstring library = directory + L"\\cscdll.dll";
    std::string line = Narrow(library) + ": ";
    if (GetFileAttributesW(library.c_str()) == INVALID_FILE_ATTRIBUTES)
        return line + "absent";
    bool isEnabled = false, enableDisable = false;
    for (const std::string &name : ExportedNames(library)) {
        isEnabled = isEnabled || name == "CSCIsCSCEnabled";
        enableDisable = enableDisable || name == "CSCDoEnableDisable";
    }
    line += std::string("present, CSCIsCSCEnabled ") + (isEnabled ? "exported" : "not exported") +
            ", CSCDoEnableDisable " + (enableDisable ? "exported" : "not exported");
    // Only the question is asked; CSCDoEnableDisable would change the machine.
    if (loadable && isEnabled) {
        HMODULE module = LoadLibraryExW(library.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        auto ask = reinterpret_cast<IsCscEnabledFunction>(
            reinterpret_cast<void *>(module ? GetProcAddress(module, "CSCIsCSCEnabled") : nullptr));
        // Asked on a thread of its own: a library that waits for a service
        // must not hold up the run. One that has not answered in 10 s keeps
        // its thread, its question and its place in memory.
        if (!ask) {
            line += ", not loaded (" + Narrow(ErrorText(GetLastError())) + ")";
        } else {
            auto question = new Question{ask, 0};
            HANDLE thread = CreateThread(nullptr, 0, AskOfflineFiles, question, 0, nullptr);
            const bool answered = thread && WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0;
            if (answered)
                line += ", CSCIsCSCEnabled() returns " + std::to_string(question->answer);
            else
                line += thread ? ", CSCIsCSCEnabled() did not answer within 10 s" : ", CSCIsCSCEnabled() not asked";
            if (thread)
                CloseHandle(thread);
            if (thread && !answered)
                return line;
            delete question;
        }
        if (module)
            FreeLibrary(module);
    }
    return line;
}

std::string ValueFacts(const wchar_t *path)
{
    std::string line = "HKLM\\" + Narrow(path) + ":";
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return line + " no such key";
    for (const wchar_t *name : {L"AllowMultipleTSSessions", L"LogonType"}) {
        DWORD type = REG_NONE, data = 0, size = sizeof(data);
        const LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&data), &size);
        line += " " + Narrow(name);
        if (status == ERROR_FILE_NOT_FOUND)
            line += " absent;";
        else if (status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(data))
            line += " = " + std::to_string(data) + ";";
        else
            line += " present, not a REG_DWORD of 4 bytes;";
    }
    RegCloseKey(key);
    line.pop_back();
    return line;
}

} // namespace

std::string LibrarySecurityFact(const std::wstring &directory, const char *when)
{
    const std::wstring library = directory + L"\\cscdll.dll";
    std::string line = Narrow(library) + " " + when + ": ";
    if (GetFileAttributesW(library.c_str()) == INVALID_FILE_ATTRIBUTES)
        return line + "absent";
    DWORD error;
    const std::string sddl = Narrow(FileSecurity(library, &error));
    const size_t dacl = sddl.find("D:"), entries = sddl.find('(', dacl);
    if (error != ERROR_SUCCESS || sddl.compare(0, 2, "O:") != 0 || dacl == std::string::npos)
        return line + "security not read (" + Narrow(ErrorText(error)) + ")";
    // Between "D:" and the first entry stand the DACL's flags: P, AI, AR.
    const std::string flags =
        sddl.substr(dacl + 2, entries == std::string::npos ? std::string::npos : entries - dacl - 2);
    return line + "owner " + sddl.substr(2, dacl - 2) + ", DACL " +
           (flags.find('P') != std::string::npos ? "protected" : "inheriting") + ", entries " +
           (entries == std::string::npos ? "none" : sddl.substr(entries));
}

std::vector<std::string> PlatformFacts(const std::wstring &systemDirectory, const std::wstring &wow64Directory)
{
    std::vector<std::string> facts = {WindowsVersion(), LibraryFacts(systemDirectory, true)};
    if (!wow64Directory.empty())
        facts.push_back(LibraryFacts(wow64Directory, false));
    facts.push_back(ValueFacts(L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon"));
    facts.push_back(ValueFacts(L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System"));
    return facts;
}

std::string WineWithout32BitPart()
{
    if (!testbed::UnderWine())
        return "";
    wchar_t loader[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"WINELOADER", loader, MAX_PATH);
    if (length < 3 || length >= MAX_PATH || wcscmp(loader + length - 2, L"64") != 0)
        return "";
    const std::string loader32 = Narrow(std::wstring(loader, length - 2));
    // wine_get_dos_file_name (Wine's kernel32) names a Unix file as Windows
    // programs see it; the caller frees the name from the process heap.
    auto dosName = reinterpret_cast<WineDosFileNameFunction>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    WCHAR *name = dosName ? dosName(loader32.c_str()) : nullptr;
    if (!name)
        return "";
    const bool present = GetFileAttributesW(name) != INVALID_FILE_ATTRIBUTES;
    HeapFree(GetProcessHeap(), 0, name);
    if (present)
        return "";
    return "this Wine has no 32-bit part: its loader " + Narrow(loader) + " (WINELOADER) has no 32-bit " + loader32 +
           " beside it";
}

} // namespace kit
