#include "program/run/ProgramKey.hpp"

#include "program/run/Handles.hpp"
#include "program/run/PrivateFolder.hpp"

#include <algorithm>
#include <vector>

namespace {

const wchar_t* const ProgramKeyPath = L"SOFTWARE\\KorvaleNoQuorVallin";

bool KeyOwnerIsTrusted(HKEY key)
{
    DWORD size = 0;
    RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION, nullptr, &size);
    if (size == 0)
        return false;
    std::vector<BYTE> descriptor(size);
    if (RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION, descriptor.data(), &size) != ERROR_SUCCESS)
        return false;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    return GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) && IsTrustedAccount(owner);
}

// The key opened with `access`; made (privately) first when `create`.
UniqueRegistryKey OpenProgramKey(REGSAM access, bool create)
{
    HKEY opened = nullptr;
    if (create) {
        PrivateSecurity security(PrivateObject::Keys);
        if (!security.valid())
            return UniqueRegistryKey{};
        DWORD disposition = 0;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ProgramKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            access | READ_CONTROL, security.attributes(), &opened, &disposition)
            != ERROR_SUCCESS)
            return UniqueRegistryKey{};
    } else if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProgramKeyPath, 0, access | READ_CONTROL, &opened)
               != ERROR_SUCCESS) {
        return UniqueRegistryKey{};
    }
    UniqueRegistryKey key(opened);
    if (!KeyOwnerIsTrusted(key.get()))
        return UniqueRegistryKey{};
    return key;
}

} // namespace

std::optional<std::wstring> ReadProgramValue(const wchar_t* name)
{
    const UniqueRegistryKey key = OpenProgramKey(KEY_QUERY_VALUE, false);
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
    const UniqueRegistryKey key = OpenProgramKey(KEY_SET_VALUE, true);
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
    const UniqueRegistryKey key = OpenProgramKey(KEY_SET_VALUE, false);
    if (!key)
        return ReadProgramValue(name) == std::nullopt;
    const LONG status = RegDeleteValueW(key.get(), name);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        return false;
    RegFlushKey(key.get());
    return true;
}
