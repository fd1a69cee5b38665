// The service that runs the rootkit's hidden image is found by its
// ImagePath under ControlSet001, and its key is deleted from the three
// control sets.

#include "program/drivercheck/core/RegistryMatch.hpp"
#include "program/run/core/RunLog.hpp"
#include "program/common/Handles.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/Wide.hpp"
#include "program/run/WinConsole.hpp"

#include <vector>

namespace {

std::optional<std::vector<uint8_t>> QueryImagePath(const std::u16string& keyPath)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, AsWide(keyPath.c_str()), 0, KEY_ALL_ACCESS, &opened) != ERROR_SUCCESS)
        return std::nullopt;
    UniqueRegistryKey key(opened);
    std::vector<uint8_t> value(ImagePathBufferBytes);
    DWORD size = static_cast<DWORD>(value.size());
    if (RegQueryValueExW(key.get(), L"ImagePath", nullptr, nullptr, value.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.resize(std::min<std::size_t>(size, value.size()));
    return value;
}

} // namespace

CleanupResult RemovalContext::CleanServiceRegistry(const std::wstring& imageName)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, AsWide(std::u16string(ServicesKeyPath).c_str()), 0, KEY_ALL_ACCESS,
                      &opened) != ERROR_SUCCESS) {
        WriteScript(ServicesKeyUnopenedReport());
        return CleanupResult::Failed;
    }
    // Every service is examined, however many there are.
    ServiceNames collection;
    LONG ended = ERROR_SUCCESS;
    {
        UniqueRegistryKey services(opened);
        std::vector<wchar_t> name(ServiceNameBufferChars);
        for (DWORD index = 0;; ++index) {
            DWORD length = static_cast<DWORD>(name.size());
            FILETIME lastWrite{};
            ended = RegEnumKeyExW(services.get(), index, name.data(), &length, nullptr, nullptr, nullptr, &lastWrite);
            if (ended != ERROR_SUCCESS)
                break;
            AddServiceName(collection, std::u16string_view(AsU16(name.data()), length));
        }
    }

    const std::optional<std::size_t> match =
        FirstServiceNamingImage(collection, ToU16(imageName), QueryImagePath);
    if (match)
        return DeleteServiceKeys(AsWide(collection.names[*match].c_str())) ? CleanupResult::Done
                                                                             : CleanupResult::Failed;
    // The names before a failed enumeration were examined all the same; the
    // service may have been among those the list did not reach.
    return EnumerationReachedTheEnd(ended) ? CleanupResult::NotFound : CleanupResult::Failed;
}

bool RemovalContext::DeleteServiceKeys(const wchar_t* serviceName)
{
    bool anyDeleted = false;
    std::string reason = "the service whose ImagePath names the executable QuorVallin hides in a data stream";
    if (!hiddenImageName.empty())
        reason += " (" + Utf8(ToU16(hiddenImageName)) + ")";
    for (const std::u16string& path : ServiceKeysToDelete(AsU16(serviceName))) {
        // Each key that is there is kept before it goes.
        HKEY probe = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, AsWide(path.c_str()), 0, KEY_READ, &probe) == ERROR_SUCCESS) {
            RegCloseKey(probe);
            KeepKeyCopy(ToWide(path), reason);
        }
        if (RegDeleteKeyW(HKEY_LOCAL_MACHINE, AsWide(path.c_str())) == ERROR_SUCCESS)
            anyDeleted = true;
    }
    WriteScript(ServiceKeysReport(anyDeleted));
    return anyDeleted;
}
