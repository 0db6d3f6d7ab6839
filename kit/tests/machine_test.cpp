// What the kit's runner saves and puts back, tried on a key and a file of
// the test's own: in the key rows HKEY_LOCAL_MACHINE is an empty key of the
// test bed's, so that the saved copies land there too.
#include "kit.h"
#include "testbed.h"

#include <sddl.h>

#include <gtest/gtest.h>

using namespace testbed;

namespace {

const wchar_t NetCache[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\NetCache";
const wchar_t Saved[] = L"Software\\Lindquell Kit";
const SECURITY_INFORMATION KeyParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// The key's owner, group and DACL in SDDL; empty when they cannot be read.
std::wstring KeySecurity(const wchar_t *path)
{
    std::wstring text;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL | MachineView, &key) != ERROR_SUCCESS)
        return text;
    BYTE security[4096];
    DWORD size = sizeof(security);
    wchar_t *sddl;
    if (RegGetKeySecurity(key, KeyParts, security, &size) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(security, SDDL_REVISION_1, KeyParts, &sddl, nullptr)) {
        text = sddl;
        LocalFree(sddl);
    }
    RegCloseKey(key);
    return text;
}

// Gives the key, made when missing, the descriptor; the error, or 0.
DWORD SetKeySecurity(const wchar_t *path, const wchar_t *sddl)
{
    HKEY key;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, WRITE_OWNER | WRITE_DAC | MachineView,
                                     nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    PSECURITY_DESCRIPTOR security;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &security, nullptr)) {
        status = RegSetKeySecurity(key, KeyParts, security);
        LocalFree(security);
    } else {
        status = GetLastError();
    }
    RegCloseKey(key);
    return status;
}

class KitMachine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(MapMachineKeyToEmptyKey(), static_cast<DWORD>(ERROR_SUCCESS)); }
    void TearDown() override { UnmapMachineKey(); }
};

} // namespace

TEST_F(KitMachine, NetCacheKeyComesBackWithItsSecurity)
{
    const wchar_t sddl[] = L"O:BAG:SYD:P(A;;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";
    SetDword(NetCache, L"Kept", 7);
    ASSERT_EQ(SetKeySecurity(NetCache, sddl), 0u);
    ASSERT_TRUE(kit::SaveRegistry(MachineView));
    DeleteKey(NetCache);
    ASSERT_TRUE(kit::RestoreRegistry(MachineView));
    EXPECT_EQ(KeySecurity(NetCache), sddl);
    EXPECT_EQ(ReadDword(NetCache, L"Kept"), 7u);
    EXPECT_FALSE(KeyExists(Saved));
}

TEST_F(KitMachine, SaveThatFailsLeavesNothingBehind)
{
    // A NetCache key whose values the administrators may not read (they may
    // list its subkeys and delete it): saved as absent, it would be deleted
    // at the end and never made again.
    SetDword(NetCache, L"Kept", 7);
    ASSERT_EQ(SetKeySecurity(NetCache, L"O:BAG:SYD:P(A;;0x10008;;;BA)"), 0u);
    EXPECT_FALSE(kit::SaveRegistry(MachineView));
    EXPECT_FALSE(KeyExists(Saved));
}

// Wine keeps no DACL of a file: it answers from the Unix mode, whatever was
// set (measured with Wine 8.0).
TEST(KitLibrary, SecurityComesBackProtectedOrInheritingAsItWas)
{
    SKIP_UNDER_WINE("Wine keeps no DACL of a file");
    wchar_t temp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring folder = std::wstring(temp) + L"lindquell-kit-security", file = folder + L"\\cscdll.dll";
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const bool isProtected : {true, false}) {
        SCOPED_TRACE(isProtected ? "protected" : "inheriting");
        HANDLE created = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(created, INVALID_HANDLE_VALUE);
        CloseHandle(created);
        // As Windows keeps its own libraries: entries of their own only.
        if (isProtected) {
            ASSERT_EQ(kit::PutFileSecurityBack(file, L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)"), 0u);
        }
        DWORD error;
        const std::wstring saved = kit::FileSecurity(file, &error);
        ASSERT_EQ(error, 0u);
        EXPECT_EQ(saved.find(L"D:P") != std::wstring::npos, isProtected) << kit::Narrow(saved);
        ASSERT_EQ(kit::TakeOver(file), 0u);
        EXPECT_NE(kit::FileSecurity(file, &error), saved);
        ASSERT_EQ(kit::PutFileSecurityBack(file, saved), 0u);
        EXPECT_EQ(kit::FileSecurity(file, &error), saved);
        DeleteFileW(file.c_str());
    }
    RemoveDirectoryW(folder.c_str());
}
