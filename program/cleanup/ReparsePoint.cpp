// Reparse points: a path's reparse data is read, and its reparse point is
// removed, leaving the file or folder in place as an ordinary one. No
// reparse point is ever set.

#include "program/cleanup/core/ReparseRequest.hpp"
#include "program/common/Handles.hpp"
#include "program/run/RemovalContext.hpp"

#include <winioctl.h>

#include <cstring>

bool RemovalContext::IsReparsePoint(const wchar_t* path)
{
    // INVALID_FILE_ATTRIBUTES has the bit too: a path that cannot be queried
    // passes here and fails at the open that follows.
    return (GetFileAttributesW(path) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

HANDLE RemovalContext::OpenReparsePointForRead(const wchar_t* path)
{
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

HANDLE RemovalContext::OpenReparsePointForWrite(const wchar_t* path)
{
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool RemovalContext::GetReparseData(const wchar_t* path, void* buffer16384)
{
    if (buffer16384 == nullptr || !IsReparsePoint(path))
        return false;
    UniqueFile file(OpenReparsePointForRead(path));
    if (!file)
        return false;
    DWORD returned = 0;
    return DeviceIoControl(file.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer16384,
                           static_cast<DWORD>(ReparseDataBufferSize), &returned, nullptr) != FALSE;
}

namespace {

// Reads the path's reparse data afresh into a zero-filled buffer of its own
// and hands the bytes to `take`.
template <typename Take>
bool WithReparseData(RemovalContext& context, const wchar_t* path, Take take)
{
    UniqueGlobal buffer = AllocateZeroed(ReparseDataBufferSize);
    if (!buffer)
        return false;
    if (!context.GetReparseData(path, buffer.get()))
        return false;
    take(std::span<const uint8_t>(static_cast<const uint8_t*>(buffer.get()), ReparseDataBufferSize));
    return true;
}

} // namespace

bool RemovalContext::GetReparseGuid(const wchar_t* path, GUID* guid)
{
    if (guid == nullptr || !IsReparsePoint(path))
        return false;
    return WithReparseData(*this, path, [&](std::span<const uint8_t> data) {
        const ReparseGuid bytes = ReparseGuidOf(data);
        std::memcpy(guid, bytes.data(), sizeof(GUID));
    });
}

bool RemovalContext::GetReparseTag(const wchar_t* path, DWORD* tag)
{
    if (tag == nullptr || !IsReparsePoint(path))
        return false;
    return WithReparseData(*this, path, [&](std::span<const uint8_t> data) { *tag = ReparseTagOf(data); });
}

bool RemovalContext::DeleteReparsePoint(const wchar_t* path)
{
    if (!IsReparsePoint(path))
        return false;
    GUID guid{};
    if (!GetReparseGuid(path, &guid))
        return false;
    UniqueGlobal request = AllocateZeroed(DeleteRequestSize);
    if (!request)
        return false;
    DWORD tag = 0;
    if (!GetReparseTag(path, &tag))
        return false;
    UniqueFile file(OpenReparsePointForWrite(path));
    if (!file)
        return false;

    ReparseGuid guidBytes{};
    std::memcpy(guidBytes.data(), &guid, guidBytes.size());
    const std::span<uint8_t, DeleteRequestSize> requestBytes(static_cast<uint8_t*>(request.get()),
                                                            DeleteRequestSize);
    return DeleteReparseTwoAttempts(requestBytes, tag, guidBytes,
                                    [&](std::span<const uint8_t, DeleteRequestSize> bytes) {
        DWORD returned = 0;
        return DeviceIoControl(file.get(), FSCTL_DELETE_REPARSE_POINT, const_cast<uint8_t*>(bytes.data()),
                               static_cast<DWORD>(bytes.size()), nullptr, 0, &returned, nullptr) != FALSE;
    });
}
