// What the tests change on the machine, saved before they run and put back
// after: the Winlogon values, the NetCache key, the system's Offline Files
// library, throwaway accounts.
#include "kit.h"

#include <aclapi.h>
#include <lm.h>
#include <sddl.h>

#include "testbed.h"

namespace kit {

static const wchar_t SavedPath[] = L"Software\\Lindquell Kit";
static const wchar_t WinlogonPath[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
static const wchar_t NetCachePath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\NetCache";
static const wchar_t *const WinlogonValues[] = {L"AllowMultipleTSSessions", L"LogonType"};
static const wchar_t AsideSuffix[] = L".lindquell-kit";

// ---- rights -------------------------------------------------------------

bool IsAdministrator()
{
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators;
    BOOL member = FALSE;
    if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, &administrators))
        return false;
    if (!CheckTokenMembership(nullptr, administrators, &member))
        member = FALSE;
    FreeSid(administrators);
    return member;
}

void EnablePrivileges()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return;
    for (const wchar_t *name : {SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME}) {
        TOKEN_PRIVILEGES privileges = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
        if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid))
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    CloseHandle(token);
}

// ---- the registry the tests change ---------------------------------------

std::vector<REGSAM> Views(bool withWow64)
{
    if (withWow64)
        return {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
    return {KEY_WOW64_64KEY};
}

// The key in the view, or null.
static HKEY Open(REGSAM view, const std::wstring &path, REGSAM access)
{
    HKEY key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access | view, &key) == ERROR_SUCCESS ? key : nullptr;
}

static HKEY Create(REGSAM view, const std::wstring &path)
{
    HKEY key;
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key,
                           nullptr) == ERROR_SUCCESS
               ? key
               : nullptr;
}

void DeleteTree(REGSAM view, const std::wstring &path)
{
    testbed::DeleteTree(view, path);
}

static bool CopyTree(REGSAM view, const std::wstring &from, const std::wstring &to)
{
    return testbed::CopyTree(view, from, to) == ERROR_SUCCESS;
}

// Copies one value between keys; a value missing at the source (or a
// missing source key) is deleted at the target. False when a read or write
// failed.
static bool CopyValue(REGSAM view, const std::wstring &from, const std::wstring &to, const wchar_t *name)
{
    BYTE data[4096];
    DWORD type = REG_NONE, size = sizeof(data);
    LSTATUS read = ERROR_FILE_NOT_FOUND;
    if (HKEY source = Open(view, from, KEY_QUERY_VALUE)) {
        read = RegQueryValueExW(source, name, nullptr, &type, data, &size);
        RegCloseKey(source);
    }
    HKEY target = Create(view, to);
    if (!target)
        return false;
    LSTATUS written = read;
    if (read == ERROR_SUCCESS)
        written = RegSetValueExW(target, name, 0, type, data, size);
    else if (read == ERROR_FILE_NOT_FOUND)
        written = (RegDeleteValueW(target, name), ERROR_SUCCESS);
    RegCloseKey(target);
    return written == ERROR_SUCCESS;
}

static DWORD ReadSavedDword(REGSAM view, const wchar_t *name)
{
    DWORD value = 0, size = sizeof(value);
    if (HKEY key = Open(view, SavedPath, KEY_QUERY_VALUE)) {
        if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size) != ERROR_SUCCESS)
            value = 0;
        RegCloseKey(key);
    }
    return value;
}

static bool WriteSavedDword(REGSAM view, const wchar_t *name, DWORD value)
{
    HKEY key = Create(view, SavedPath);
    if (!key)
        return false;
    const LSTATUS written =
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value));
    RegCloseKey(key);
    return written == ERROR_SUCCESS;
}

// Removes the saved key once nothing is left in it.
static void DropSavedKey(REGSAM view)
{
    if (HKEY key = Open(view, SavedPath, KEY_ALL_ACCESS)) {
        DWORD subkeys = 1;
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr);
        RegCloseKey(key);
        if (subkeys == 0)
            DeleteTree(view, SavedPath);
    }
}

// The NetCache key's owner, group and DACL (with its protected flag), kept
// beside the saved copy as the self-relative descriptor: the key is deleted
// and made again, and a key made anew takes its security from its parent
// and the creator ("RegGetKeySecurity function", Microsoft Learn).
static const SECURITY_INFORMATION KeySecurityParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

static bool SaveKeySecurity(REGSAM view, HKEY netCache)
{
    std::vector<BYTE> security(512);
    DWORD size = static_cast<DWORD>(security.size());
    LSTATUS status;
    while ((status = RegGetKeySecurity(netCache, KeySecurityParts, security.data(), &size)) ==
           ERROR_INSUFFICIENT_BUFFER)
        security.resize(size);
    HKEY saved = status == ERROR_SUCCESS ? Create(view, SavedPath) : nullptr;
    if (!saved)
        return false;
    status = RegSetValueExW(saved, L"NetCacheSecurity", 0, REG_BINARY, security.data(), size);
    RegCloseKey(saved);
    return status == ERROR_SUCCESS;
}

// Sets the saved descriptor on the NetCache key as it is, with nothing
// inherited again: RegSetKeySecurity sets the descriptor it is given
// ("RegSetKeySecurity function", Microsoft Learn), and an owner that is not
// the caller needs SeRestorePrivilege, which EnablePrivileges enables.
static bool PutKeySecurityBack(REGSAM view)
{
    std::vector<BYTE> security(4096);
    DWORD size = static_cast<DWORD>(security.size()), type = REG_NONE;
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    if (HKEY saved = Open(view, SavedPath, KEY_QUERY_VALUE)) {
        status = RegQueryValueExW(saved, L"NetCacheSecurity", nullptr, &type, security.data(), &size);
        RegCloseKey(saved);
    }
    if (status != ERROR_SUCCESS || type != REG_BINARY || !IsValidSecurityDescriptor(security.data()))
        return false;
    HKEY netCache = Open(view, NetCachePath, WRITE_OWNER | WRITE_DAC);
    if (!netCache)
        return false;
    status = RegSetKeySecurity(netCache, KeySecurityParts, security.data());
    RegCloseKey(netCache);
    return status == ERROR_SUCCESS;
}

// Takes back what a failed save wrote, so that it leaves nothing behind:
// the saved key itself when the save made it.
static void ForgetFailedSave(REGSAM view, bool savedKeyExisted)
{
    const std::wstring saved = SavedPath;
    DeleteTree(view, saved + L"\\Winlogon");
    DeleteTree(view, saved + L"\\NetCache");
    if (!savedKeyExisted) {
        DeleteTree(view, saved);
    } else if (HKEY key = Open(view, saved, KEY_SET_VALUE)) {
        for (const wchar_t *name : {L"Saved", L"NetCacheExisted", L"NetCacheSecurity"})
            RegDeleteValueW(key, name);
        RegCloseKey(key);
    }
}

bool SaveRegistry(REGSAM view)
{
    const std::wstring saved = SavedPath;
    bool savedKeyExisted = false;
    if (HKEY existing = Open(view, saved, KEY_QUERY_VALUE)) {
        savedKeyExisted = true;
        RegCloseKey(existing);
    }
    DeleteTree(view, saved + L"\\Winlogon");
    DeleteTree(view, saved + L"\\NetCache");
    bool ok = true;
    for (const wchar_t *name : WinlogonValues)
        ok = CopyValue(view, WinlogonPath, saved + L"\\Winlogon", name) && ok;
    // Only a key that is not there is saved as absent: one the kit may not
    // read would otherwise be deleted at the end and never made again.
    HKEY netCache;
    const LSTATUS found = RegOpenKeyExW(HKEY_LOCAL_MACHINE, NetCachePath, 0, KEY_READ | view, &netCache);
    if (found == ERROR_SUCCESS) {
        ok = SaveKeySecurity(view, netCache) && ok;
        RegCloseKey(netCache);
        ok = CopyTree(view, NetCachePath, saved + L"\\NetCache") && ok;
    } else if (found != ERROR_FILE_NOT_FOUND) {
        ok = false;
    }
    ok = WriteSavedDword(view, L"NetCacheExisted", found == ERROR_SUCCESS) && ok;
    ok = WriteSavedDword(view, L"Saved", ok) && ok;
    if (!ok)
        ForgetFailedSave(view, savedKeyExisted);
    return ok;
}

bool RestoreRegistry(REGSAM view)
{
    if (!ReadSavedDword(view, L"Saved"))
        return true;
    const std::wstring saved = SavedPath;
    bool ok = true;
    for (const wchar_t *name : WinlogonValues)
        ok = CopyValue(view, saved + L"\\Winlogon", WinlogonPath, name) && ok;
    DeleteTree(view, NetCachePath);
    // The copy is made before the descriptor is set: the descriptor may not
    // let the kit write into the key.
    if (ReadSavedDword(view, L"NetCacheExisted"))
        ok = CopyTree(view, saved + L"\\NetCache", NetCachePath) && PutKeySecurityBack(view) && ok;
    if (!ok)
        return false;
    DeleteTree(view, saved + L"\\Winlogon");
    DeleteTree(view, saved + L"\\NetCache");
    WriteSavedDword(view, L"Saved", 0);
    DropSavedKey(view);
    return true;
}

// ---- the system's Offline Files library ----------------------------------

// What was found in a system directory, kept under the saved key: "absent",
// "moved", or the SDDL of the security it had before it was taken over.
static std::wstring ReadSavedString(const std::wstring &name)
{
    wchar_t text[4096] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t), type = REG_NONE;
    if (HKEY key = Open(KEY_WOW64_64KEY, std::wstring(SavedPath) + L"\\Library", KEY_QUERY_VALUE)) {
        if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(text), &size) !=
                ERROR_SUCCESS ||
            type != REG_SZ)
            text[0] = 0;
        RegCloseKey(key);
    }
    return text;
}

static void WriteSavedString(const std::wstring &name, const std::wstring &value)
{
    if (HKEY key = Create(KEY_WOW64_64KEY, std::wstring(SavedPath) + L"\\Library")) {
        RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
}

static void ForgetSavedString(const std::wstring &name)
{
    const std::wstring path = std::wstring(SavedPath) + L"\\Library";
    if (HKEY key = Open(KEY_WOW64_64KEY, path, KEY_ALL_ACCESS)) {
        RegDeleteValueW(key, name.c_str());
        DWORD values = 1;
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr);
        RegCloseKey(key);
        if (values == 0)
            DeleteTree(KEY_WOW64_64KEY, path);
    }
    DropSavedKey(KEY_WOW64_64KEY);
}

static const SECURITY_INFORMATION FileSecurityParts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

std::wstring FileSecurity(const std::wstring &file, DWORD *error)
{
    PSECURITY_DESCRIPTOR security = nullptr;
    *error = GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, FileSecurityParts, nullptr, nullptr, nullptr,
                                   nullptr, &security);
    if (*error != ERROR_SUCCESS)
        return L"";
    std::wstring text;
    wchar_t *sddl = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(security, SDDL_REVISION_1, FileSecurityParts, &sddl,
                                                             nullptr)) {
        text = sddl;
        LocalFree(sddl);
    } else {
        *error = GetLastError();
    }
    LocalFree(security);
    return text;
}

// The DACL is set protected: nothing of the directory's inheritable entries
// is merged in while the file is the kit's.
DWORD TakeOver(const std::wstring &file)
{
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators;
    if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, &administrators))
        return GetLastError();
    std::wstring path = file;
    DWORD error = SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, administrators,
                                        nullptr, nullptr, nullptr);
    if (error == ERROR_SUCCESS) {
        EXPLICIT_ACCESSW access = {};
        access.grfAccessPermissions = GENERIC_ALL;
        access.grfAccessMode = GRANT_ACCESS;
        access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access.Trustee.ptstrName = static_cast<wchar_t *>(administrators);
        PACL dacl = nullptr;
        error = SetEntriesInAclW(1, &access, nullptr, &dacl);
        if (error == ERROR_SUCCESS) {
            error = SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                          nullptr, dacl, nullptr);
            LocalFree(dacl);
        }
    }
    FreeSid(administrators);
    return error;
}

// Without either protection flag SetNamedSecurityInfo keeps the file's
// current setting, which is the kit's by then; with UNPROTECTED it takes the
// directory's inheritable entries again and drops the saved copies of them
// ("SetNamedSecurityInfoW function" and "SECURITY_INFORMATION", Microsoft
// Learn).
DWORD PutFileSecurityBack(const std::wstring &file, const std::wstring &sddl)
{
    PSECURITY_DESCRIPTOR security = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &security, nullptr))
        return GetLastError();
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted, present;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision, error = ERROR_SUCCESS;
    if (!GetSecurityDescriptorOwner(security, &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(security, &present, &dacl, &defaulted) ||
        !GetSecurityDescriptorControl(security, &control, &revision)) {
        error = GetLastError();
    } else {
        const SECURITY_INFORMATION protection = (control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                              : UNPROTECTED_DACL_SECURITY_INFORMATION;
        std::wstring path = file;
        error = SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, FileSecurityParts | protection, owner, nullptr,
                                      dacl, nullptr);
    }
    LocalFree(security);
    return error;
}

// Windows 2000, XP and Server 2003 put back a protected system file that is
// renamed or replaced ("Description of the Windows File Protection
// feature", KB 222193): a library set aside there would not stay aside.
bool FileProtectionGuardsSystemFiles()
{
    return testbed::WindowsVersion().dwMajorVersion == 5;
}

bool SetLibraryAside(const std::wstring &directory, std::wstring *why)
{
    const std::wstring library = directory + L"\\cscdll.dll", aside = library + AsideSuffix;
    if (GetFileAttributesW(library.c_str()) == INVALID_FILE_ATTRIBUTES) {
        WriteSavedString(directory, L"absent");
        return true;
    }
    WriteSavedString(directory, L"moved");
    if (MoveFileExW(library.c_str(), aside.c_str(), 0))
        return true;
    DWORD error = GetLastError();
    bool takenOver = false;
    if (error == ERROR_ACCESS_DENIED) {
        const std::wstring sddl = FileSecurity(library, &error);
        if (error == ERROR_SUCCESS) {
            WriteSavedString(directory, sddl);
            takenOver = true;
            error = TakeOver(library);
            if (error == ERROR_SUCCESS)
                error = MoveFileExW(library.c_str(), aside.c_str(), 0) ? ERROR_SUCCESS : GetLastError();
        }
    }
    if (error == ERROR_SUCCESS)
        return true;
    // A library left untouched has nothing to put back: whatever lies at the
    // aside name must never be moved over it.
    if (!takenOver)
        ForgetSavedString(directory);
    *why = L"the system's Offline Files library " + library + L" could not be set aside (" + ErrorText(error) + L")";
    return false;
}

bool PutLibraryBack(const std::wstring &directory)
{
    const std::wstring found = ReadSavedString(directory);
    if (found.empty())
        return true;
    const std::wstring library = directory + L"\\cscdll.dll", aside = library + AsideSuffix;
    bool ok = true;
    DWORD error = ERROR_SUCCESS;
    if (found == L"absent") {
        ok = DeleteFileW(library.c_str()) || (error = GetLastError()) == ERROR_FILE_NOT_FOUND;
    } else {
        if (GetFileAttributesW(aside.c_str()) != INVALID_FILE_ATTRIBUTES &&
            !MoveFileExW(aside.c_str(), library.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            error = GetLastError();
            ok = false;
        }
        if (ok && found != L"moved") {
            error = PutFileSecurityBack(library, found);
            ok = error == ERROR_SUCCESS;
        }
    }
    if (!ok) {
        Say("Could not put back %s (%s)\n", Narrow(library).c_str(), Narrow(ErrorText(error)).c_str());
        return false;
    }
    ForgetSavedString(directory);
    return true;
}

// ---- throwaway accounts ----------------------------------------------------

bool RemoveThrowawayAccounts()
{
    std::vector<std::wstring> names;
    DWORD resume = 0;
    NET_API_STATUS status;
    do {
        BYTE *buffer = nullptr;
        DWORD read = 0, total = 0;
        status = NetUserEnum(nullptr, 1, FILTER_NORMAL_ACCOUNT, &buffer, MAX_PREFERRED_LENGTH, &read, &total, &resume);
        if (status != NERR_Success && status != ERROR_MORE_DATA)
            break;
        const USER_INFO_1 *users = reinterpret_cast<USER_INFO_1 *>(buffer);
        for (DWORD i = 0; i < read; ++i)
            if (users[i].usri1_comment && wcscmp(users[i].usri1_comment, testbed::ThrowawayAccountComment) == 0)
                names.push_back(users[i].usri1_name);
        NetApiBufferFree(buffer);
    } while (status == ERROR_MORE_DATA);
    bool ok = true;
    for (const std::wstring &name : names)
        if (NetUserDel(nullptr, name.c_str()) != NERR_Success) {
            Say("Could not delete the throwaway account %s\n", Narrow(name).c_str());
            ok = false;
        }
    return ok;
}

} // namespace kit
