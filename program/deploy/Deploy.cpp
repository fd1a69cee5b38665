// Puts the helper driver on the machine for the length of one run:
// written to the temporary folder, registered and started as a kernel
// service, then stopped, unregistered and deleted.

#include "program/deploy/core/DriverPath.hpp"
#include "program/run/Handles.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/Wide.hpp"

#include <optional>

namespace {

const wchar_t* const ServiceName = L"KorvaleNoQuorvallin";
const wchar_t* const ServiceDisplayName = L"KorvaleNoQuorvallin Driver";
const DWORD ServiceAccess = SERVICE_START | SERVICE_STOP | DELETE; // 0x10030
const WORD DriverResourceId = 101;

std::optional<std::wstring> DriverPath()
{
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH)
        return std::nullopt;
    const std::optional<std::u16string> path = DriverFilePath(std::u16string_view(AsU16(folder), length));
    if (!path)
        return std::nullopt;
    return ToWide(*path);
}

} // namespace

bool RemovalContext::ExtractDriver()
{
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(DriverResourceId), L"RT_RCDATA");
    if (found == nullptr)
        return false;
    HGLOBAL loaded = LoadResource(module, found);
    if (loaded == nullptr)
        return false;
    const DWORD size = SizeofResource(module, found);
    const void* bytes = LockResource(loaded);

    const std::optional<std::wstring> path = DriverPath();
    if (!path)
        return false;
    UniqueFile file(CreateFileW(path->c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    DWORD written = 0;
    WriteFile(file.get(), bytes, size, &written, nullptr);
    return true;
}

ServiceHandles RemovalContext::InstallAndStartDriver()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr)
        return ServiceHandles{};
    SC_HANDLE service = nullptr;
    if (const std::optional<std::wstring> path = DriverPath()) {
        service = CreateServiceW(manager, ServiceName, ServiceDisplayName, ServiceAccess,
                                 SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                 path->c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    if (service == nullptr) // in practice: left by an earlier run; keeps its image path
        service = OpenServiceW(manager, ServiceName, ServiceAccess);
    if (service != nullptr)
        StartServiceW(service, 0, nullptr);
    return ServiceHandles{manager, service};
}

bool RemovalContext::StopAndDeleteDriver(SC_HANDLE manager, SC_HANDLE service)
{
    UniqueServiceHandle managerOwner(manager);
    UniqueServiceHandle serviceOwner(service);
    if (!managerOwner || !serviceOwner)
        return false;
    SERVICE_STATUS status{};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    DeleteService(service);
    return true;
}

BOOL RemovalContext::DeleteDriverFile()
{
    const std::optional<std::wstring> path = DriverPath();
    if (!path)
        return FALSE;
    return DeleteFileW(path->c_str());
}
