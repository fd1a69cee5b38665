// OpenRawFile: from a path as a user or a folder walk gives it to the
// canonical path, the path the file is opened by, and an attribute-only
// handle with the file's attributes, size and index.

#include "program/rawread/RawCommon.hpp"
#include "program/rawread/core/BoundedString.hpp"
#include "program/rawread/core/RawPaths.hpp"
#include "program/run/Wide.hpp"

#include <shlwapi.h>

using namespace rawread;

namespace {

DWORD OpenRawFileSteps(const wchar_t* path, RawFileInfo* file)
{
    if (path == nullptr || path[0] == L'\0' || file == nullptr)
        return ERROR_INVALID_PARAMETER;
    ZeroMemory(file, sizeof *file);

    wchar_t work[RawPathBufferChars] = {};
    // A cut path could name another file: refuse it instead.
    if (BoundedCopy(reinterpret_cast<char16_t*>(work), RawPathBufferChars, AsU16(path)) != BoundedOk)
        return ERROR_FILENAME_EXCED_RANGE;
    PathUnquoteSpacesW(work);
    for (wchar_t* c = work; *c != L'\0'; ++c)
        if (*c == L'/')
            *c = L'\\';
    wchar_t canonical[RawPathBufferChars] = {};
    if (PathCanonicalizeW(canonical, work))
        BoundedCopy(reinterpret_cast<char16_t*>(work), RawPathBufferChars, AsU16(canonical));
    PathMakePrettyW(work);

    file->path = StrDupW(work);
    if (file->path == nullptr)
        return ERROR_OUTOFMEMORY;
    if (PathIsRootW(work) || PathIsRelativeW(work) || PathIsDirectoryW(work) || PathIsNetworkPathW(work))
        return ERROR_BAD_PATHNAME;

    work[2] = L'\0';
    wchar_t device[130] = {};
    if (QueryDosDeviceW(work, device, 130) == 0)
        return LastErrorOf();
    const DevicePathResult resolved = DevicePathFor(AsU16(file->path), AsU16(device));
    if (resolved.error != 0)
        return resolved.error;
    file->devicePath = StrDupW(AsWide(resolved.devicePath.c_str()));
    if (file->devicePath == nullptr)
        return ERROR_OUTOFMEMORY;

    // Backup semantics: with the backup privilege the file opens whatever
    // its DACL says (the path is known not to be a folder).
    file->fileHandle = CreateFileW(file->devicePath, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS,
                                   nullptr);
    if (!IsOpenHandle(file->fileHandle))
        return LastErrorOf();
    if (GetFileType(file->fileHandle) != FILE_TYPE_DISK)
        return ERROR_NOT_SUPPORTED;
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(file->fileHandle, &information))
        return LastErrorOf();
    file->attributes = information.dwFileAttributes;
    file->fileIndex = (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;

    if (file->attributes & (FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_SPARSE_FILE)) {
        DWORD high = 0;
        const DWORD low = GetCompressedFileSizeW(file->devicePath, &high);
        file->size = (static_cast<ULONGLONG>(high) << 32) | low;
        if (low == 0 || low == INVALID_FILE_SIZE)
            return KeepLastError;
    } else {
        file->size = (static_cast<ULONGLONG>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    }
    return ERROR_SUCCESS;
}

} // namespace

BOOL OpenRawFile(const wchar_t* path, RawFileInfo* file)
{
    return RunSteps(OpenRawFileSteps, path, file);
}

void CloseRawFile(RawFileInfo* file)
{
    if (file == nullptr)
        return;
    ReleaseRecord({file->path, file->devicePath}, file->fileHandle);
    ZeroMemory(file, sizeof *file);
}

BOOL IsBadRawFileInfo(const RawFileInfo* file)
{
    if (file == nullptr)
        return TRUE;
    return IsUnusableFile(reinterpret_cast<ULONG_PTR>(file->fileHandle), file->attributes, file->size,
                          file->fileIndex);
}
