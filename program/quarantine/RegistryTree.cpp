// Registry key trees read into the export's records and written back.

#include "program/quarantine/QuarantineWin32.hpp"
#include "program/quarantine/core/Manifest.hpp"
#include "program/run/Wide.hpp"

#include <set>
#include <vector>

namespace quarantine {

namespace {

// The registry nests keys at most 512 deep; a deeper walk is not a real tree.
constexpr unsigned MaxDepth = 512;
// Values may change while they are read; a read that keeps finding more is given up.
constexpr unsigned MaxRetries = 8;

std::wstring Below(const std::wstring& key, const std::u16string& path)
{
    return path.empty() ? key : key + L"\\" + ToWide(path);
}

LONG ReadValues(HKEY key, std::vector<RegistryValue>& values)
{
    for (DWORD index = 0;;) {
        DWORD nameChars = 0, dataBytes = 0;
        LONG status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       &nameChars, &dataBytes, nullptr, nullptr);
        if (status != ERROR_SUCCESS)
            return status;
        for (unsigned attempt = 0;; ++attempt) {
            std::vector<wchar_t> name(nameChars + 1);
            std::vector<BYTE> data(dataBytes + 1);
            DWORD nameLength = static_cast<DWORD>(name.size());
            DWORD dataLength = static_cast<DWORD>(data.size());
            DWORD type = 0;
            status = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength);
            if (status == ERROR_NO_MORE_ITEMS)
                return ERROR_SUCCESS;
            if (status == ERROR_MORE_DATA && attempt < MaxRetries) {
                // A value grew since the key was asked: ask again, larger.
                nameChars = nameChars * 2 + 256;
                dataBytes = std::max<DWORD>(dataBytes * 2, dataLength);
                continue;
            }
            if (status != ERROR_SUCCESS)
                return status;
            // The length, not a NUL, ends the name: a NUL inside it is kept.
            values.push_back(RegistryValue{std::u16string(AsU16(name.data()), nameLength), type,
                                           std::vector<uint8_t>(data.begin(), data.begin() + dataLength)});
            break;
        }
        ++index;
    }
}

LONG ReadSubkeyNames(HKEY key, std::vector<std::wstring>& names)
{
    DWORD longest = 0;
    LONG status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, &longest, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    // Key names are at most 255 characters.
    std::vector<wchar_t> name(std::max<DWORD>(longest, 255) + 1);
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        status = RegEnumKeyExW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS)
            return status;
        std::wstring found(name.data(), length);
        if (found.find(L'\0') != std::wstring::npos)
            return ERROR_INVALID_NAME;
        names.push_back(std::move(found));
    }
}

LONG ReadKey(HKEY key, const std::u16string& path, unsigned depth, RegistryExport& tree)
{
    if (depth > MaxDepth)
        return ERROR_CANTREAD;
    tree.keys.push_back(RegistryKeyRecord{path, {}});
    LONG status = ReadValues(key, tree.keys.back().values);
    std::vector<std::wstring> names;
    if (status == ERROR_SUCCESS)
        status = ReadSubkeyNames(key, names);
    for (const std::wstring& name : names) {
        if (status != ERROR_SUCCESS)
            break;
        HKEY rawSubkey = nullptr;
        status = RegOpenKeyExW(key, name.c_str(), 0, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, &rawSubkey);
        if (status != ERROR_SUCCESS)
            break;
        const UniqueRegistryKey subkey(rawSubkey);
        const std::u16string below = path.empty() ? ToU16(name) : path + u"\\" + ToU16(name);
        status = ReadKey(subkey.get(), below, depth + 1, tree);
    }
    return status;
}

// Deletes the key's values whose names the record does not hold.
LONG DeleteOtherValues(HKEY key, const RegistryKeyRecord& record)
{
    std::vector<RegistryValue> present;
    LONG status = ReadValues(key, present);
    std::set<std::u16string> kept;
    for (const RegistryValue& value : record.values)
        kept.insert(value.name);
    for (const RegistryValue& value : present) {
        if (status != ERROR_SUCCESS)
            break;
        if (!kept.count(value.name))
            status = RegDeleteValueW(key, AsWide(value.name.c_str()));
    }
    return status;
}

} // namespace

LONG ReadRegistryTree(const std::wstring& subkey, RegistryExport& tree)
{
    tree = RegistryExport{};
    tree.root = LocalMachinePrefix + ToU16(subkey);
    HKEY rawKey = nullptr;
    const LONG status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, &rawKey);
    if (status != ERROR_SUCCESS)
        return status;
    const UniqueRegistryKey key(rawKey);
    return ReadKey(key.get(), u"", 0, tree);
}

LONG WriteRegistryTree(const std::wstring& subkey, const RegistryExport& tree, bool replace)
{
    for (const RegistryKeyRecord& record : tree.keys) {
        HKEY rawKey = nullptr;
        LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Below(subkey, record.path).c_str(), 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &rawKey,
                                      nullptr);
        if (status != ERROR_SUCCESS)
            return status;
        const UniqueRegistryKey key(rawKey);
        if (replace && (status = DeleteOtherValues(key.get(), record)) != ERROR_SUCCESS)
            return status;
        for (const RegistryValue& value : record.values) {
            status = RegSetValueExW(key.get(), AsWide(value.name.c_str()), 0, value.type, value.data.data(),
                                    static_cast<DWORD>(value.data.size()));
            if (status != ERROR_SUCCESS)
                return status;
        }
    }
    return ERROR_SUCCESS;
}

} // namespace quarantine
