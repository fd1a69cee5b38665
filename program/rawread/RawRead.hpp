// The raw file reader: copies a file without asking the file system for its
// data. It asks only where the file's clusters lie (or, for a small NTFS file,
// reads the file record) and reads those clusters straight from the volume.
//
// Every operation returns a BOOL (nonzero = success) and leaves the reason in
// the thread's last-error value; on success the last error is ERROR_SUCCESS,
// except GetFileClusterRuns, which leaves ERROR_HANDLE_EOF for a file without
// clusters.
#pragma once

#include "program/rawread/core/RawKinds.hpp"

#include <windows.h>

// The volume that holds a file. Strings are allocated with StrDupW and
// released with LocalFree by CloseRawVolume.
struct RawVolumeInfo {
    HANDLE volumeHandle;        // unbuffered read handle; null or INVALID_HANDLE_VALUE = not open
    ULONGLONG dataAreaOffset;   // byte offset of the cluster the extent query numbers 0 (FAT only)
    wchar_t* volumePath;        // mount point with trailing backslash, "C:\"
    wchar_t* volumeName;        // GUID path without its trailing backslash
    wchar_t* label;             // null when the label is empty
    DWORD serialNumber;
    LONG driveNumber;           // 0 = A ... 25 = Z, -1 for none
    UINT driveType;
    DWORD sectorsPerCluster;
    DWORD bytesPerSector;
    DWORD bytesPerCluster;
    DWORD totalClusters;
    DWORD freeClusters;
    DWORD usedClusters;
    FileSystemKind fileSystem;
    DWORD fileSystemFlags;      // FILE_VOLUME_IS_COMPRESSED (0x8000) is the bit that matters
};

// The source file. Strings are allocated with StrDupW and released with
// LocalFree by CloseRawFile.
struct RawFileInfo {
    wchar_t* path;              // canonical path
    wchar_t* devicePath;        // the path the file is opened by (differs on a substituted drive)
    HANDLE fileHandle;          // opened for FILE_READ_ATTRIBUTES only
    DWORD attributes;
    ULONGLONG size;             // on-disk size for compressed or sparse files
    ULONGLONG fileIndex;        // nFileIndexHigh : nFileIndexLow
};

struct ClusterRun {
    DWORD clusterCount;
    LONGLONG lcn;               // -1: a hole, nothing on disk
};

// Allocated on the process heap; the caller releases it with HeapFree.
struct ClusterRunList {
    DWORD count;                // 0 when the file has no clusters
    ClusterRun runs[1];         // room for max(count, 1) runs, in file order
};

// Allocated on the process heap; the caller releases it with HeapFree.
struct ResidentFileData {
    DWORD length;               // never 0
    BYTE bytes[1];              // length bytes
};

// Called after each step of RawCopyFile; a zero answer stops the copy.
// argument: the step's record (RawFileInfo*, RawVolumeInfo*, ClusterRunList*,
// ResidentFileData*), the destination's full path, or at a progress step the
// low 32 bits of the cluster just copied. extra: -1, or a percentage.
typedef BOOL(WINAPI* RawCopyCallback)(ULONG_PTR context, RawCopyStep step, BOOL status,
                                      ULONG_PTR argument, LONG extra);

struct RawCopyCallbackInfo {
    RawCopyCallback callback;   // may be null
    HANDLE cancelEvent;         // polled once per cluster; null or INVALID_HANDLE_VALUE for none
    ULONG_PTR context;          // handed back as the callback's first argument
};

// Path and volume resolution. An open clears its record first; the close
// releases whatever an open stored, also after a failed open.
BOOL OpenRawFile(const wchar_t* path, RawFileInfo* file);
void CloseRawFile(RawFileInfo* file);
BOOL OpenRawVolume(const wchar_t* path, RawVolumeInfo* volume);
BOOL ReadFatDataAreaOffset(RawVolumeInfo* volume);
void CloseRawVolume(RawVolumeInfo* volume);
// Nonzero when the record is NOT usable.
BOOL IsBadRawFileInfo(const RawFileInfo* file);
BOOL IsBadRawVolumeInfo(const RawVolumeInfo* volume);

// Extent retrieval. The out pointer is null unless the call succeeds.
BOOL GetFileClusterRuns(const RawVolumeInfo* volume, const RawFileInfo* file, ClusterRunList** runs);
BOOL GetResidentFileData(const RawVolumeInfo* volume, const RawFileInfo* file, ResidentFileData** data);
ULONGLONG ClusterByteOffset(const RawVolumeInfo* volume, LONGLONG lcn);

// Copies source to destination from the volume's clusters. callbackInfo may
// be null. The destination is created new (an existing file is not written
// over) and stays on disk whatever the outcome.
BOOL RawCopyFile(const wchar_t* source, const wchar_t* destination, const RawCopyCallbackInfo* callbackInfo);
