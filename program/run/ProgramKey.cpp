#include "program/run/ProgramKey.hpp"

#include "program/common/Handles.hpp"
#include "program/run/Privilege.hpp"
#include "program/run/Wide.hpp"
#include "program/run/WinConsole.hpp"
#include "program/trust/Trust.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace {

const wchar_t* const ProgramKeyPath = L"SOFTWARE\\KorvaleNoQuorVallin";
const char16_t* const ProgramKeyName = u"HKEY_LOCAL_MACHINE\\SOFTWARE\\KorvaleNoQuorVallin";
// Attempts at making the key new while someone else keeps putting one there.
constexpr unsigned CreateAttempts = 3;
// A tree that someone else made deeper than this is not taken apart.
constexpr unsigned MaxTakeOverDepth = 32;

// Whether the key opened with REG_OPTION_OPEN_LINK is a registry link,
// whose target is someone else's choice.
bool IsLink(HKEY key)
{
    DWORD type = 0;
    return RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
           type == REG_LINK;
}

// The key itself (never a link's target) with `access`, judged; the handle
// only when it is trusted. `trust` says what was found.
UniqueRegistryKey OpenJudged(REGSAM access, Trust& trust)
{
    HKEY opened = nullptr;
    const LONG status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProgramKeyPath, REG_OPTION_OPEN_LINK, access | KEY_QUERY_VALUE | READ_CONTROL,
                      &opened);
    if (status != ERROR_SUCCESS) {
        trust = status == ERROR_FILE_NOT_FOUND ? Trust::Missing : Trust::Unreadable;
        return UniqueRegistryKey{};
    }
    UniqueRegistryKey key(opened);
    trust = IsLink(key.get()) ? Trust::ReparsePoint : JudgeKey(key.get());
    if (trust != Trust::Trusted)
        return UniqueRegistryKey{};
    return key;
}

// Opens the key at `name` under `parent` itself with `access`.
LONG OpenLinkItself(HKEY parent, const wchar_t* name, REGSAM access, UniqueRegistryKey& key)
{
    HKEY opened = nullptr;
    const LONG status = RegOpenKeyExW(parent, name, REG_OPTION_OPEN_LINK, access, &opened);
    key.reset(status == ERROR_SUCCESS ? opened : nullptr);
    return status;
}

// Deletes the key that the handle (opened with REG_OPTION_OPEN_LINK) stands
// for: a link key itself, never its target.
LONG DeleteByHandle(HKEY key)
{
    using DeleteKey = LONG(WINAPI*)(HANDLE);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto deleteKey =
        ntdll == nullptr ? nullptr : reinterpret_cast<DeleteKey>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDeleteKey")));
    if (deleteKey == nullptr)
        return ERROR_PROC_NOT_FOUND;
    return deleteKey(key) >= 0 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// Takes the key at `name` under `parent` and everything below it: the
// Administrators become its owner (SeTakeOwnershipPrivilege grants that
// whatever its access list says), it gets the private access list, its
// subkeys go the same way, and it is deleted. A deleted key is dead for
// every handle to it, so whoever opened it before cannot write to it any
// more.
LONG TakeOverAndDelete(HKEY parent, const wchar_t* name, const UniqueLocal& descriptor, unsigned depth)
{
    if (depth > MaxTakeOverDepth)
        return ERROR_CANTWRITE;
    UniqueRegistryKey key;
    LONG status = OpenLinkItself(parent, name, WRITE_OWNER, key);
    if (status == ERROR_SUCCESS)
        status = RegSetKeySecurity(key.get(), OWNER_SECURITY_INFORMATION, descriptor.get());
    if (status == ERROR_SUCCESS)
        status = OpenLinkItself(parent, name, WRITE_DAC, key);
    if (status == ERROR_SUCCESS)
        status = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor.get());
    if (status == ERROR_SUCCESS)
        status = OpenLinkItself(parent, name, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | DELETE, key);
    if (status != ERROR_SUCCESS)
        return status;

    std::vector<std::wstring> subkeys;
    for (DWORD index = 0;; ++index) {
        wchar_t subkey[256] = {};
        DWORD length = 256;
        const LONG found = RegEnumKeyExW(key.get(), index, subkey, &length, nullptr, nullptr, nullptr, nullptr);
        if (found == ERROR_NO_MORE_ITEMS)
            break;
        if (found != ERROR_SUCCESS)
            return found;
        subkeys.emplace_back(subkey, length);
    }
    for (const std::wstring& subkey : subkeys) {
        if (const LONG failed = TakeOverAndDelete(key.get(), subkey.c_str(), descriptor, depth + 1))
            return failed;
    }
    return DeleteByHandle(key.get());
}

void SayTakeOver(Trust found, LONG status)
{
    std::u16string line = u"The program's registry key " + TrustRefusal(found, ProgramKeyName);
    if (status == ERROR_SUCCESS)
        line += u"; it was taken over and its values were discarded.\n";
    else
        line += u"; it could not be taken over (error " + ToU16(std::to_wstring(status)) +
                u"), so the program keeps no journal or record there.\n";
    StandardConsole().writeWide(line);
}

// The key opened for writing: made new (privately) when absent; taken over
// and made new when someone else owns it or may change it, or when it is a
// link.
UniqueRegistryKey CreateProgramKey(REGSAM access)
{
    PrivateSecurity security(PrivateObject::Keys);
    if (!security.valid())
        return UniqueRegistryKey{};
    for (unsigned attempt = 0; attempt < CreateAttempts; ++attempt) {
        Trust found = Trust::Missing;
        if (UniqueRegistryKey key = OpenJudged(access, found))
            return key;
        if (found == Trust::Unreadable)
            return UniqueRegistryKey{};
        if (found != Trust::Missing) {
            EnablePrivilege(L"SeTakeOwnershipPrivilege");
            const UniqueLocal descriptor = PrivateDescriptor(PrivateObject::Keys);
            const LONG status = descriptor ? TakeOverAndDelete(HKEY_LOCAL_MACHINE, ProgramKeyPath, descriptor, 0)
                                           : static_cast<LONG>(GetLastError());
            SayTakeOver(found, status);
            if (status != ERROR_SUCCESS)
                return UniqueRegistryKey{};
        }
        HKEY created = nullptr;
        DWORD disposition = 0;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ProgramKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            access | READ_CONTROL, security.attributes(), &created, &disposition) != ERROR_SUCCESS)
            return UniqueRegistryKey{};
        UniqueRegistryKey key(created);
        // Only a key made here is taken as it stands; one that someone put
        // there in the meantime is judged again.
        if (disposition == REG_CREATED_NEW_KEY)
            return key;
    }
    return UniqueRegistryKey{};
}

} // namespace

std::optional<std::wstring> ReadProgramValue(const wchar_t* name)
{
    Trust found = Trust::Missing;
    const UniqueRegistryKey key = OpenJudged(KEY_QUERY_VALUE, found);
    if (!key)
        return std::nullopt;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ)
        return std::nullopt;
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size)
            != ERROR_SUCCESS
        || type != REG_SZ)
        return std::nullopt;
    text[std::min<std::size_t>(size / sizeof(wchar_t), text.size() - 1)] = L'\0';
    return std::wstring(text.data());
}

bool WriteProgramValue(const wchar_t* name, const std::wstring& text)
{
    const UniqueRegistryKey key = CreateProgramKey(KEY_SET_VALUE);
    if (!key)
        return false;
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    if (RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes)
        != ERROR_SUCCESS)
        return false;
    // A journal that has not reached the disk protects nothing.
    return RegFlushKey(key.get()) == ERROR_SUCCESS;
}

bool DeleteProgramValue(const wchar_t* name)
{
    Trust found = Trust::Missing;
    const UniqueRegistryKey key = OpenJudged(KEY_SET_VALUE, found);
    if (!key)
        return found != Trust::Unreadable; // nothing trusted holds it
    const LONG status = RegDeleteValueW(key.get(), name);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        return false;
    RegFlushKey(key.get());
    return true;
}
