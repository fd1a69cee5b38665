// RawCopyFile: copies a file from its volume's clusters (or, for a small
// NTFS file, from its file record) without reading its data through the
// file system. Kept alone in its file so that a test build can stand a
// substitute in for it.

#include "program/rawread/RawCommon.hpp"
#include "program/rawread/core/CopyLoop.hpp"

#include <vector>

using namespace rawread;

namespace {

constexpr DWORD FullPathChars = MAX_PATH;

// Everything one copy opens or allocates; released by Release on every way out.
struct CopyState {
    wchar_t source[FullPathChars] = {};
    wchar_t destination[FullPathChars] = {};
    RawFileInfo file = {};
    RawVolumeInfo volume = {};
    HANDLE destinationHandle = INVALID_HANDLE_VALUE;
    ClusterRunList* runs = nullptr;
    ResidentFileData* resident = nullptr;
    BYTE* buffer = nullptr;
};

void Release(CopyState& state)
{
    if (state.buffer != nullptr)
        VirtualFree(state.buffer, 0, MEM_RELEASE);
    if (state.runs != nullptr)
        HeapFree(GetProcessHeap(), 0, state.runs);
    if (state.resident != nullptr)
        HeapFree(GetProcessHeap(), 0, state.resident);
    CloseRawFile(&state.file);
    CloseRawVolume(&state.volume);
    if (IsOpenHandle(state.destinationHandle)) {
        FlushFileBuffers(state.destinationHandle);
        CloseHandle(state.destinationHandle);
    }
}

// A path made full, or ERROR_FILENAME_EXCED_RANGE when it does not fit.
DWORD FullPath(const wchar_t* path, wchar_t* full)
{
    const DWORD length = GetFullPathNameW(path, FullPathChars, full, nullptr);
    if (length == 0)
        return LastErrorOf();
    if (length >= FullPathChars)
        return ERROR_FILENAME_EXCED_RANGE;
    return ERROR_SUCCESS;
}

// A failed step's code; a step that failed without one keeps the last error.
DWORD FailureCode(DWORD error) { return error != ERROR_SUCCESS ? error : KeepLastError; }

// True when the destination already exists and is the source file itself
// under another spelling (a substituted drive, a short name, a hard link):
// creating it would truncate the source.
bool DestinationIsSource(const CopyState& state)
{
    HANDLE existing = CreateFileW(state.destination, FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  0, nullptr);
    if (!IsOpenHandle(existing))
        return false;
    BY_HANDLE_FILE_INFORMATION destination = {};
    BY_HANDLE_FILE_INFORMATION source = {};
    const bool same = GetFileInformationByHandle(existing, &destination) &&
                      GetFileInformationByHandle(state.file.fileHandle, &source) &&
                      destination.dwVolumeSerialNumber == source.dwVolumeSerialNumber &&
                      destination.nFileIndexHigh == source.nFileIndexHigh &&
                      destination.nFileIndexLow == source.nFileIndexLow;
    CloseHandle(existing);
    return same;
}

struct Reporter {
    const RawCopyCallbackInfo* info;

    bool HasCallback() const { return info != nullptr && info->callback != nullptr; }
    bool HasCancelEvent() const { return info != nullptr && IsOpenHandle(info->cancelEvent); }
    // Reports a step; true to go on (always, without a callback).
    bool Report(RawCopyStep step, BOOL status, ULONG_PTR argument, LONG extra) const
    {
        if (!HasCallback())
            return true;
        return info->callback(info->context, step, status, argument, extra) != FALSE;
    }
};

// Reports a step that opened or fetched something: the code to stop with, or
// ERROR_SUCCESS to go on. A failed step stops with its code `error` (taken
// before the callback ran); a callback that says stop after a step that
// succeeded leaves the last error as the callback left it.
DWORD ReportStep(const Reporter& reporter, RawCopyStep step, BOOL done, DWORD error, ULONG_PTR argument)
{
    const bool goOn = reporter.Report(step, done, argument, -1);
    if (!done)
        return FailureCode(error);
    return goOn ? ERROR_SUCCESS : KeepLastError;
}

DWORD CopyResident(CopyState& state, const Reporter& reporter)
{
    const BOOL fetched = GetResidentFileData(&state.volume, &state.file, &state.resident);
    if (const DWORD stop = ReportStep(reporter, StepResidentData, fetched, GetLastError(),
                                      reinterpret_cast<ULONG_PTR>(state.resident)))
        return stop;

    DWORD written = 0;
    const BOOL wrote =
        WriteFile(state.destinationHandle, state.resident->bytes, state.resident->length, &written, nullptr);
    const DWORD writeError = wrote ? ERROR_SUCCESS : LastErrorOf();
    const bool whole = wrote && written == state.resident->length;
    const bool goOn = reporter.Report(StepResidentWrite, whole ? TRUE : FALSE,
                                      reinterpret_cast<ULONG_PTR>(state.resident), 100);
    if (!wrote)
        return writeError;
    if (!whole)
        return ERROR_DISK_FULL;
    return goOn ? ERROR_SUCCESS : KeepLastError;
}

// An OVERLAPPED that only names a byte offset: a synchronous handle reads
// or writes there and returns when the transfer is done.
OVERLAPPED AtOffset(uint64_t offset)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

DWORD CopyClusterRuns(CopyState& state, const Reporter& reporter)
{
    // Whole clusters up to a megabyte per request, from a page-aligned
    // buffer, as the unbuffered volume handle requires.
    const DWORD clusterBytes = state.volume.bytesPerCluster;
    const DWORD bufferBytes = RequestBufferBytes(clusterBytes);
    state.buffer = static_cast<BYTE*>(VirtualAlloc(nullptr, bufferBytes, MEM_COMMIT, PAGE_READWRITE));
    if (state.buffer == nullptr)
        return ERROR_OUTOFMEMORY;

    std::vector<ClusterExtent> runs(state.runs->count);
    for (DWORD i = 0; i < state.runs->count; ++i)
        runs[i] = ClusterExtent{state.runs->runs[i].clusterCount, state.runs->runs[i].lcn};

    HANDLE volumeHandle = state.volume.volumeHandle;
    HANDLE destinationHandle = state.destinationHandle;
    ClusterCopyOps ops;
    ops.read = [volumeHandle](uint64_t offset, uint8_t* buffer, uint32_t length) -> uint32_t {
        OVERLAPPED at = AtOffset(offset);
        DWORD read = 0;
        if (!ReadFile(volumeHandle, buffer, length, &read, &at))
            return LastErrorOf();
        return read == length ? ERROR_SUCCESS : ERROR_HANDLE_EOF;
    };
    ops.write = [destinationHandle](uint64_t offset, const uint8_t* bytes, uint32_t length) -> uint32_t {
        OVERLAPPED at = AtOffset(offset);
        DWORD written = 0;
        if (!WriteFile(destinationHandle, bytes, length, &written, &at))
            return LastErrorOf();
        return written == length ? ERROR_SUCCESS : ERROR_DISK_FULL;
    };
    if (reporter.HasCancelEvent()) {
        HANDLE cancelEvent = reporter.info->cancelEvent;
        ops.stopRequested = [cancelEvent] {
            return WaitForMultipleObjectsEx(1, &cancelEvent, FALSE, 0, TRUE) != WAIT_TIMEOUT;
        };
    }
    CopyProgress progress;
    if (reporter.HasCallback())
        progress = [&reporter](bool status, uint32_t argument, int32_t extra) {
            return reporter.Report(StepProgress, status ? TRUE : FALSE, argument, extra);
        };

    const CopyLoopResult result = CopyClusters(runs, state.file.size, clusterBytes, state.volume.dataAreaOffset,
                                               std::span<uint8_t>(state.buffer, bufferBytes), ops, progress);
    if (result.stepFailed)
        return result.error;
    return result.copied ? ERROR_SUCCESS : KeepLastError;
}

DWORD RawCopySteps(CopyState& state, const wchar_t* source, const wchar_t* destination, const Reporter& reporter)
{
    if (source == nullptr || destination == nullptr)
        return ERROR_BAD_PATHNAME;
    if (const DWORD error = FullPath(source, state.source))
        return error;
    if (const DWORD error = FullPath(destination, state.destination))
        return error;
    if (lstrcmpiW(state.source, state.destination) == 0) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        reporter.Report(StepDestination, FALSE, 0, -1);
        return ERROR_BAD_ARGUMENTS;
    }

    const BOOL fileOpened = OpenRawFile(state.source, &state.file);
    if (const DWORD stop = ReportStep(reporter, StepSourceFile, fileOpened, GetLastError(),
                                      reinterpret_cast<ULONG_PTR>(&state.file)))
        return stop;
    if (!reporter.HasCallback() && (state.file.attributes & (FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_SPARSE_FILE)))
        return ERROR_NOT_SUPPORTED;

    const BOOL volumeOpened = OpenRawVolume(state.file.devicePath, &state.volume);
    if (const DWORD stop = ReportStep(reporter, StepVolume, volumeOpened, GetLastError(),
                                      reinterpret_cast<ULONG_PTR>(&state.volume)))
        return stop;
    if (!reporter.HasCallback() && (state.volume.fileSystemFlags & FILE_VOLUME_IS_COMPRESSED))
        return ERROR_NOT_SUPPORTED;

    if (DestinationIsSource(state)) {
        SetLastError(ERROR_BAD_ARGUMENTS);
        reporter.Report(StepDestination, FALSE, 0, -1);
        return ERROR_BAD_ARGUMENTS;
    }
    state.destinationHandle =
        CreateFileW(state.destination, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    const bool created = IsOpenHandle(state.destinationHandle);
    const DWORD error = created ? ERROR_SUCCESS : LastErrorOf();
    const bool goOn =
        reporter.Report(StepDestination, created ? TRUE : FALSE, reinterpret_cast<ULONG_PTR>(state.destination), -1);
    if (!created)
        return error;
    if (!goOn)
        return KeepLastError;

    const BOOL fetched = GetFileClusterRuns(&state.volume, &state.file, &state.runs);
    if (const DWORD stop = ReportStep(reporter, StepClusterRuns, fetched, GetLastError(),
                                      reinterpret_cast<ULONG_PTR>(state.runs)))
        return stop;

    // The last error is read again after the callback, as the reader's
    // contract has it: only an empty list that still says "end of file"
    // takes the resident path.
    if (state.runs->count == 0 && GetLastError() == ERROR_HANDLE_EOF)
        return CopyResident(state, reporter);
    return CopyClusterRuns(state, reporter);
}

} // namespace

BOOL RawCopyFile(const wchar_t* source, const wchar_t* destination, const RawCopyCallbackInfo* callbackInfo)
{
    CopyState state;
    const DWORD error = RawCopySteps(state, source, destination, Reporter{callbackInfo});
    const DWORD lastError = GetLastError();
    Release(state);
    if (error == KeepLastError)
        SetLastError(lastError);
    return Finish(error);
}
