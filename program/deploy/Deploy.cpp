// Puts the helper driver on the machine for the length of one run:
// written to the run's private work folder, registered and started as a kernel
// service, then stopped, unregistered and deleted.

#include "program/deploy/DriverImage.hpp"
#include "program/deploy/core/DriverPath.hpp"
#include "program/common/Handles.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/Wide.hpp"

#include <cstring>
#include <optional>
#include <vector>

namespace {

const wchar_t* const ServiceName = L"KorvaleNoQuorvallin";
const wchar_t* const ServiceDisplayName = L"KorvaleNoQuorvallin Driver";
const DWORD ServiceAccess = SERVICE_START | SERVICE_STOP | DELETE; // 0x10030
// A service left by an earlier run is pointed at the image just written.
const DWORD LeftoverServiceAccess = ServiceAccess | SERVICE_CHANGE_CONFIG;
const WORD DriverResourceId = 101;

// The driver file in the run's work folder; nothing before the folder is made.
std::optional<std::wstring> DriverPath(const RemovalContext& context)
{
    const std::optional<std::u16string> path = DriverFilePath(ToU16(context.workFolder));
    if (!path)
        return std::nullopt;
    return ToWide(*path);
}

} // namespace

bool WriteDriverImage(HANDLE file, const void* image, DWORD size)
{
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return false;
    DWORD written = 0;
    if (!WriteFile(file, image, size, &written, nullptr) || written != size)
        return false;
    return SetEndOfFile(file) != FALSE;
}

UniqueFile HoldDriverImage(const wchar_t* path, const void* image, DWORD size)
{
    UniqueFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return UniqueFile{};
    DWORD high = 0;
    if (GetFileSize(file.get(), &high) != size || high != 0)
        return UniqueFile{};
    // One byte more than the image, so that a file grown since shows.
    std::vector<char> content(size + 1);
    DWORD total = 0;
    DWORD got = 0;
    while (total < content.size() &&
           ReadFile(file.get(), content.data() + total, static_cast<DWORD>(content.size()) - total, &got, nullptr) &&
           got > 0)
        total += got;
    if (total != size || std::memcmp(content.data(), image, size) != 0)
        return UniqueFile{};
    return file;
}

bool RemovalContext::ExtractDriver()
{
    driverImage.reset();
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(DriverResourceId), L"RT_RCDATA");
    if (found == nullptr)
        return false;
    HGLOBAL loaded = LoadResource(module, found);
    if (loaded == nullptr)
        return false;
    const DWORD size = SizeofResource(module, found);
    const void* bytes = LockResource(loaded);

    if (!MakeWorkFolder())
        return false;
    const std::optional<std::wstring> path = DriverPath(*this);
    // The folder is new, so the file is too: nothing of an earlier run, or
    // of anyone else, is written over.
    UniqueFile file(path ? CreateFileW(path->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL, nullptr)
                         : INVALID_HANDLE_VALUE);
    if (!file) {
        RemoveWorkFolder();
        return false;
    }
    const bool written = bytes != nullptr && WriteDriverImage(file.get(), bytes, size);
    // The writing handle cannot stay open: the kernel's loader does not
    // share the file with a writer. Reopened without write or delete
    // sharing, the file is checked once more, and from then on it cannot
    // change until the service has been started. A failed write or check
    // holds nothing, and then the service is not started.
    file.reset();
    if (written)
        driverImage = HoldDriverImage(path->c_str(), bytes, size);
    return true;
}

ServiceHandles RemovalContext::InstallAndStartDriver()
{
    // The image is held until StartServiceW has returned, on every way out.
    UniqueFile image = std::move(driverImage);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr)
        return ServiceHandles{};
    const std::optional<std::wstring> path = DriverPath(*this);
    if (!path) {
        // Without the path no service can be pointed at the image; one
        // left by an earlier run is opened, so that it is deleted, but
        // not started.
        return ServiceHandles{manager, OpenServiceW(manager, ServiceName, ServiceAccess)};
    }
    bool pointed = true;
    SC_HANDLE service = CreateServiceW(manager, ServiceName, ServiceDisplayName, ServiceAccess,
                                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                       path->c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr) {
        // In practice: left by an earlier run, perhaps with the image path
        // of another user's temporary folder.
        service = OpenServiceW(manager, ServiceName, LeftoverServiceAccess);
        pointed = service != nullptr &&
                  ChangeServiceConfigW(service, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                       path->c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                       ServiceDisplayName) != FALSE;
    }
    if (service != nullptr && pointed && image)
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
    driverImage.reset();
    const std::optional<std::wstring> path = DriverPath(*this);
    if (!path)
        return FALSE;
    const BOOL deleted = DeleteFileW(path->c_str());
    // The work folder goes with it, and whatever else the run left in it.
    RemoveWorkFolder();
    return deleted;
}
