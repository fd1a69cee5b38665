// Where a file's bytes lie: its cluster runs from the file system's extent
// query, or, for a small NTFS file, its data out of its file record.

#include "program/rawread/RawCommon.hpp"
#include "program/rawread/core/Extents.hpp"

#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <vector>

using namespace rawread;

namespace {

DWORD GetFileClusterRunsSteps(const RawVolumeInfo* volume, const RawFileInfo* file, ClusterRunList** out)
{
    if (out != nullptr)
        *out = nullptr;
    if (out == nullptr || IsBadRawVolumeInfo(volume) || IsBadRawFileInfo(file))
        return ERROR_INVALID_PARAMETER;

    const std::size_t queryBytes = RetrievalQueryBytes(file->size, volume->bytesPerCluster, MAXDWORD);
    if (queryBytes == 0)
        return ERROR_OUTOFMEMORY;
    HANDLE heap = GetProcessHeap();
    void* query = HeapAlloc(heap, HEAP_ZERO_MEMORY, queryBytes);
    if (query == nullptr)
        return ERROR_OUTOFMEMORY;

    DWORD error = ERROR_SUCCESS;
    std::vector<ClusterExtent> runs;
    STARTING_VCN_INPUT_BUFFER start = {};
    DWORD returned = 0;
    if (DeviceIoControl(file->fileHandle, FSCTL_GET_RETRIEVAL_POINTERS, &start, sizeof start, query,
                        static_cast<DWORD>(queryBytes), &returned, nullptr)) {
        error = ConvertRetrievalAnswer(static_cast<const uint8_t*>(query), returned, volume->totalClusters, runs);
    } else {
        error = LastErrorOf();
        if (error == ERROR_HANDLE_EOF)
            error = ERROR_SUCCESS; // no clusters at all
    }
    HeapFree(heap, 0, query);
    if (error != ERROR_SUCCESS)
        return error;

    const std::size_t listBytes =
        offsetof(ClusterRunList, runs) + (runs.empty() ? 1 : runs.size()) * sizeof(ClusterRun);
    ClusterRunList* list = static_cast<ClusterRunList*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, listBytes));
    if (list == nullptr)
        return ERROR_OUTOFMEMORY;
    list->count = static_cast<DWORD>(runs.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        list->runs[i].clusterCount = runs[i].clusterCount;
        list->runs[i].lcn = runs[i].lcn;
    }
    *out = list;
    return list->count > 0 ? ERROR_SUCCESS : ERROR_HANDLE_EOF;
}

DWORD GetResidentFileDataSteps(const RawVolumeInfo* volume, const RawFileInfo* file, ResidentFileData** out)
{
    if (out != nullptr)
        *out = nullptr;
    if (out == nullptr || IsBadRawVolumeInfo(volume) || IsBadRawFileInfo(file))
        return ERROR_INVALID_PARAMETER;
    if (volume->fileSystem != FsNtfs)
        return ERROR_NOT_SUPPORTED;

    BYTE volumeData[NtfsVolumeDataBytes] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(volume->volumeHandle, FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, volumeData,
                         sizeof volumeData, &returned, nullptr))
        return LastErrorOf();
    uint32_t segmentBytes = 0;
    if (const uint32_t error = FileRecordSegmentBytes(volumeData, returned, segmentBytes))
        return error;

    HANDLE heap = GetProcessHeap();
    const DWORD recordBytes = segmentBytes + 15;
    BYTE* record = static_cast<BYTE*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, recordBytes));
    if (record == nullptr)
        return ERROR_OUTOFMEMORY;

    DWORD error = ERROR_SUCCESS;
    NTFS_FILE_RECORD_INPUT_BUFFER input = {};
    input.FileReferenceNumber.QuadPart = static_cast<LONGLONG>(file->fileIndex);
    ResidentValue value;
    if (!DeviceIoControl(volume->volumeHandle, FSCTL_GET_NTFS_FILE_RECORD, &input, sizeof input, record,
                         recordBytes, &returned, nullptr)) {
        error = LastErrorOf();
    } else {
        switch (FindResidentData(record, returned, file->fileIndex, value)) {
        case ResidentLookup::Found:
            break;
        case ResidentLookup::NoData:
            error = KeepLastError;
            break;
        case ResidentLookup::Malformed:
            error = ERROR_INVALID_DATA;
            break;
        }
    }
    if (error == ERROR_SUCCESS) {
        ResidentFileData* data = static_cast<ResidentFileData*>(
            HeapAlloc(heap, HEAP_ZERO_MEMORY, offsetof(ResidentFileData, bytes) + value.valueLength));
        if (data == nullptr) {
            error = ERROR_OUTOFMEMORY;
        } else {
            data->length = value.valueLength;
            std::memcpy(data->bytes, record + value.valueOffset, value.valueLength);
            *out = data;
        }
    }
    HeapFree(heap, 0, record);
    return error;
}

} // namespace

BOOL GetFileClusterRuns(const RawVolumeInfo* volume, const RawFileInfo* file, ClusterRunList** runs)
{
    SetLastError(ERROR_SUCCESS);
    const DWORD error = GetFileClusterRunsSteps(volume, file, runs);
    if (error == ERROR_HANDLE_EOF && runs != nullptr && *runs != nullptr) {
        SetLastError(ERROR_HANDLE_EOF); // success, without clusters
        return TRUE;
    }
    return Finish(error);
}

BOOL GetResidentFileData(const RawVolumeInfo* volume, const RawFileInfo* file, ResidentFileData** data)
{
    return RunSteps(GetResidentFileDataSteps, volume, file, data);
}

ULONGLONG ClusterByteOffset(const RawVolumeInfo* volume, LONGLONG lcn)
{
    if (volume == nullptr)
        return 0;
    return ClusterOffset(volume->dataAreaOffset, lcn, volume->bytesPerCluster);
}
