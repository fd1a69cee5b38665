// Small file helpers for the Wine tests of the driver check and the access
// reset: write and read whole files, tell whether a path exists and which
// file stands under it, read and set access lists.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <cstdint>
#include <string>
#include <vector>

namespace drivercheck_test {

inline std::string Pattern(std::size_t length, unsigned seed = 3)
{
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>((i * 7 + seed) & 0xFF);
    return bytes;
}

inline bool WriteWholeFile(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

// The whole content, or "<missing>" when the file cannot be read.
inline std::string ReadWholeFile(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got != 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

inline bool PathExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The file system's number of the file standing under the path (0 when none).
inline uint64_t FileIndex(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info{};
    GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    return (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

inline std::wstring TemporaryFolder()
{
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    return folder;
}

inline std::wstring DriversFolder()
{
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\drivers\\";
}

// The *.sys files of the drivers folder larger than 59,392 bytes, in the
// order the search returns them: the drivers a scan judges.
inline std::vector<std::wstring> JudgedDriversInSearchOrder()
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry{};
    HANDLE search = FindFirstFileW((DriversFolder() + L"*.sys").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && entry.nFileSizeHigh == 0
            && entry.nFileSizeLow > 59392)
            names.push_back(entry.cFileName);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return names;
}

// The names of the entries of a folder that match a pattern ("*.new").
inline std::vector<std::wstring> EntriesOf(const std::wstring& folder, const std::wstring& pattern)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry{};
    HANDLE search = FindFirstFileW((folder + pattern).c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (lstrcmpW(entry.cFileName, L".") != 0 && lstrcmpW(entry.cFileName, L"..") != 0)
            names.push_back(entry.cFileName);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return names;
}

// The work folders runs made under the temporary folder and left behind.
inline std::vector<std::wstring> WorkFoldersLeft()
{
    return EntriesOf(TemporaryFolder(), L"KorvaleNoQuorVallin-*");
}

// The runs' folders in the quarantine under the Windows folder.
inline std::vector<std::wstring> QuarantineRuns()
{
    wchar_t windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    return EntriesOf(std::wstring(windows) + L"\\KorvaleQuarantine\\", L"*");
}

// What a replacement of the driver left in the drivers folder besides the
// driver itself: its staged copy, the infected file set aside.
inline std::vector<std::wstring> ReplacementLeftovers(const std::wstring& driverName)
{
    std::vector<std::wstring> names;
    // The pattern matches the driver's own name too.
    for (const std::wstring& name : EntriesOf(DriversFolder(), driverName + L".*"))
        if (lstrcmpiW(name.c_str(), driverName.c_str()) != 0)
            names.push_back(name);
    for (const std::wstring& name : EntriesOf(DriversFolder(), L"infected.bad"))
        names.push_back(name);
    return names;
}

// The DACL of a file as GetFileSecurityW returns it, byte for byte.
inline std::vector<BYTE> DaclBytes(const std::wstring& path)
{
    DWORD needed = 0;
    GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (needed == 0 || !GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, buffer.data(), needed, &needed))
        buffer.clear();
    return buffer;
}

// Replaces the DACL of a file or folder with the given entries.
inline bool SetDaclEntries(const std::wstring& path, EXPLICIT_ACCESS_W* entries, ULONG count)
{
    PACL acl = nullptr;
    if (SetEntriesInAclW(count, entries, nullptr, &acl) != ERROR_SUCCESS)
        return false;
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
    const BOOL ok = SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, &descriptor);
    LocalFree(acl);
    return ok != FALSE;
}

// Gives a file a DACL in which only the administrators have access.
inline bool GiveAdministratorsOnly(const std::wstring& path)
{
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(admins);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size))
        return false;
    EXPLICIT_ACCESS_W entry{};
    entry.grfAccessPermissions = FILE_ALL_ACCESS;
    entry.grfAccessMode = SET_ACCESS;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_ALIAS;
    entry.Trustee.ptstrName = reinterpret_cast<LPWSTR>(admins);
    return SetDaclEntries(path, &entry, 1);
}

// Points TMP and TEMP at `temporary` and makes `current` the current folder
// while it lives; the earlier values come back when it goes, also when an
// assertion ends the test early.
class TemporaryFolderSwitch {
public:
    TemporaryFolderSwitch(const std::wstring& temporary, const std::wstring& current)
    {
        GetEnvironmentVariableW(L"TMP", tmp_, MAX_PATH);
        GetEnvironmentVariableW(L"TEMP", temp_, MAX_PATH);
        GetCurrentDirectoryW(MAX_PATH, current_);
        SetEnvironmentVariableW(L"TMP", temporary.c_str());
        SetEnvironmentVariableW(L"TEMP", temporary.c_str());
        SetCurrentDirectoryW(current.c_str());
    }
    ~TemporaryFolderSwitch()
    {
        SetEnvironmentVariableW(L"TMP", tmp_);
        SetEnvironmentVariableW(L"TEMP", temp_);
        SetCurrentDirectoryW(current_);
    }
    TemporaryFolderSwitch(const TemporaryFolderSwitch&) = delete;
    TemporaryFolderSwitch& operator=(const TemporaryFolderSwitch&) = delete;

private:
    wchar_t tmp_[MAX_PATH] = {};
    wchar_t temp_[MAX_PATH] = {};
    wchar_t current_[MAX_PATH] = {};
};

} // namespace drivercheck_test
