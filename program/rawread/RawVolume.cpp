// OpenRawVolume: the volume that holds a path, opened for unbuffered reads,
// with its geometry, its file-system kind and, on FAT, the offset of the
// data area that the extent query numbers from.

#include "program/rawread/RawCommon.hpp"
#include "program/rawread/core/RawPaths.hpp"
#include "program/run/Wide.hpp"

#include <shlwapi.h>

using namespace rawread;

namespace {

DWORD OpenRawVolumeSteps(const wchar_t* path, RawVolumeInfo* volume)
{
    if (path == nullptr || path[0] == L'\0' || volume == nullptr)
        return ERROR_INVALID_PARAMETER;
    ZeroMemory(volume, sizeof *volume);

    wchar_t buffer[RawPathBufferChars] = {};
    if (!GetVolumePathNameW(path, buffer, RawPathBufferChars))
        return LastErrorOf();
    volume->volumePath = StrDupW(buffer);
    if (volume->volumePath == nullptr)
        return ERROR_OUTOFMEMORY;
    volume->driveNumber = PathGetDriveNumberW(volume->volumePath);
    volume->driveType = GetDriveTypeW(volume->volumePath);

    ZeroMemory(buffer, sizeof buffer);
    if (!GetVolumeNameForVolumeMountPointW(volume->volumePath, buffer, RawPathBufferChars))
        return LastErrorOf();
    const int length = lstrlenW(buffer);
    if (length > 0)
        buffer[length - 1] = L'\0';
    volume->volumeName = StrDupW(buffer);
    if (volume->volumeName == nullptr)
        return ERROR_OUTOFMEMORY;

    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!GetDiskFreeSpaceW(volume->volumePath, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters))
        return LastErrorOf();
    volume->sectorsPerCluster = sectorsPerCluster;
    volume->bytesPerSector = bytesPerSector;
    volume->bytesPerCluster = bytesPerSector * sectorsPerCluster;
    volume->totalClusters = totalClusters;
    volume->freeClusters = freeClusters;
    volume->usedClusters = totalClusters - freeClusters;

    wchar_t label[130] = {};
    wchar_t fileSystemName[130] = {};
    DWORD serialNumber = 0, flags = 0;
    if (!GetVolumeInformationW(volume->volumePath, label, 130, &serialNumber, nullptr, &flags, fileSystemName, 130))
        return LastErrorOf();
    volume->serialNumber = serialNumber;
    volume->fileSystemFlags = flags;
    if (label[0] != L'\0') {
        volume->label = StrDupW(label);
        if (volume->label == nullptr)
            return ERROR_OUTOFMEMORY;
    }

    volume->volumeHandle = CreateFileW(volume->volumeName, GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    if (!IsOpenHandle(volume->volumeHandle))
        return LastErrorOf();

    volume->fileSystem = FsOther;
    switch (ClassifyFileSystemName(AsU16(fileSystemName))) {
    case FileSystemName::Ntfs:
        volume->fileSystem = FsNtfs;
        break;
    case FileSystemName::Fat:
        if (!ReadFatDataAreaOffset(volume))
            return LastErrorOf();
        break;
    case FileSystemName::ExFat:
        volume->fileSystem = FsExFat;
        break;
    case FileSystemName::Hpfs:
        volume->fileSystem = FsHpfs;
        break;
    case FileSystemName::Cdfs:
        volume->fileSystem = FsCdfs;
        break;
    case FileSystemName::Other:
        break;
    }
    return ERROR_SUCCESS;
}

DWORD ReadFatDataAreaOffsetSteps(RawVolumeInfo* volume)
{
    if (volume == nullptr)
        return ERROR_INVALID_ADDRESS;
    if (volume->fileSystem != FsOther)
        return ERROR_INVALID_PARAMETER;
    if (!IsOpenHandle(volume->volumeHandle))
        return ERROR_INVALID_HANDLE;
    volume->dataAreaOffset = 0;

    // An unbuffered handle reads whole sectors into sector-aligned memory:
    // a page from VirtualAlloc, and the whole first sector on a disk whose
    // sectors are larger than 512 bytes.
    DWORD readLength = BootSectorBytes;
    if (volume->bytesPerSector > BootSectorBytes && volume->bytesPerSector <= 4096 &&
        volume->bytesPerSector % BootSectorBytes == 0)
        readLength = volume->bytesPerSector;
    BYTE* sector = static_cast<BYTE*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    if (sector == nullptr)
        return ERROR_OUTOFMEMORY;

    DWORD error = ERROR_SUCCESS;
    LARGE_INTEGER start = {};
    DWORD read = 0;
    FatBootSector parsed;
    if (!SetFilePointerEx(volume->volumeHandle, start, nullptr, FILE_BEGIN))
        error = LastErrorOf();
    else if (!ReadFile(volume->volumeHandle, sector, readLength, &read, nullptr))
        error = LastErrorOf();
    else if (read < BootSectorBytes)
        error = ERROR_HANDLE_EOF;
    else
        error = ParseFatBootSector(sector, read, parsed);
    VirtualFree(sector, 0, MEM_RELEASE);
    if (error != ERROR_SUCCESS)
        return error;

    volume->dataAreaOffset = parsed.dataAreaOffset;
    volume->fileSystem = FatKindForClusterCount(volume->totalClusters);
    return ERROR_SUCCESS;
}

} // namespace

BOOL OpenRawVolume(const wchar_t* path, RawVolumeInfo* volume)
{
    return RunSteps(OpenRawVolumeSteps, path, volume);
}

BOOL ReadFatDataAreaOffset(RawVolumeInfo* volume)
{
    return RunSteps(ReadFatDataAreaOffsetSteps, volume);
}

void CloseRawVolume(RawVolumeInfo* volume)
{
    if (volume == nullptr)
        return;
    ReleaseRecord({volume->volumePath, volume->volumeName, volume->label}, volume->volumeHandle);
    ZeroMemory(volume, sizeof *volume);
}

BOOL IsBadRawVolumeInfo(const RawVolumeInfo* volume)
{
    if (volume == nullptr)
        return TRUE;
    return IsUnusableVolume(FactsOf(*volume));
}
