// The one object that carries the state of a run. Every phase operation of
// the program is a member operation of it; each is defined beside the
// subsystem it belongs to.
#pragma once

#include "program/run/Handles.hpp"
#include "program/run/core/RunSequence.hpp"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

struct RemovalContext {
    // File name, without folder, of the system driver whose raw copy and
    // ordinary content differ (the last such file); a driver that could not
    // be copied raw is never named here.
    std::wstring infectedDriverName;
    // The rootkit's image hidden in a data stream: entry name, colon, stream name.
    std::wstring hiddenImageName;
    // The driver file as ExtractDriver wrote and checked it, held open
    // without write or delete sharing until InstallAndStartDriver has
    // started the service; empty when the file could not be vouched for.
    UniqueFile driverImage;

    // Restart prompt and restart.
    bool AskRestartConsent();
    bool RestartWindows();

    // Driver deployment.
    bool ExtractDriver();
    ServiceHandles InstallAndStartDriver();
    bool StopAndDeleteDriver(SC_HANDLE manager, SC_HANDLE service);
    BOOL DeleteDriverFile();

    // Memory inspection.
    int32_t InspectSystemMemory();

    // Driver-file infection check and repair.
    // Writes the MD5 digest of the file's content to `output` (33 bytes:
    // 32 lower-case hexadecimal characters and a NUL); false, leaving it
    // untouched, when the file cannot be read to its end.
    bool ComputeFileDigest(const wchar_t* path, char* output);
    bool ScanSystemDrivers();
    bool ReplaceInfectedDriver();
    // Deletes the service whose ImagePath names the image, examining every
    // service; false when the Services key cannot be opened or its
    // enumeration failed before the end of the list.
    bool CleanServiceRegistry(const std::wstring& imageName);
    bool DeleteServiceKeys(const wchar_t* serviceName);

    // File-system cleanup.
    void ResetFileAccess(const wchar_t* path);

    // Reparse points: read a path's reparse data, remove its reparse point.
    bool IsReparsePoint(const wchar_t* path);
    HANDLE OpenReparsePointForRead(const wchar_t* path);
    HANDLE OpenReparsePointForWrite(const wchar_t* path);
    bool GetReparseData(const wchar_t* path, void* buffer16384);
    bool GetReparseGuid(const wchar_t* path, GUID* guid);
    bool GetReparseTag(const wchar_t* path, DWORD* tag);
    bool DeleteReparsePoint(const wchar_t* path);

    // The rootkit's folder under the Windows directory, purged.
    void RemoveRootkitFolder();
    // The first folder directly in `directory` whose name begins with
    // `prefix`, as a full path.
    std::optional<std::wstring> FindRootkitFolder(const wchar_t* directory, const wchar_t* prefix);
    void PurgeFolderTree(const wchar_t* folder);

    // The executable hidden in a data stream of a Windows-directory file:
    // true on a hit, which sets hiddenImageName.
    bool ScanWindowsDirectoryStreams(const wchar_t* windowsSearchPattern);
    bool IsExecutableStream(HANDLE stream);
    bool IsProcessRunning(const wchar_t* name);
};

// Turns on SeDebugPrivilege for this process when the token allows it.
void EnableDebugPrivilege();

// The phases of a real run, bound to `context`, which must outlive them.
RunPhases ProgramPhases(RemovalContext& context);

// Whether this process runs under WOW64 (IsWow64Process); nothing when the
// system lacks the function or the call fails.
std::optional<bool> QueryWow64();
