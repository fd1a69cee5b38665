// The one object that carries the state of a run. Every phase operation of
// the program is a member operation of it; each is defined beside the
// subsystem it belongs to.
#pragma once

#include "program/run/core/RunSequence.hpp"

#include <windows.h>

#include <cstdint>
#include <string>

struct RemovalContext {
    // File name, without folder, of the system driver whose raw and
    // ordinary contents differ (the last such file).
    std::wstring infectedDriverName;
    // The rootkit's image hidden in a data stream: entry name, colon, stream name.
    std::wstring hiddenImageName;

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
    // 32 lower-case hexadecimal characters and a NUL); false leaves it untouched.
    bool ComputeFileDigest(const wchar_t* path, char* output);
    bool ScanSystemDrivers();
    bool ReplaceInfectedDriver();
    void CleanServiceRegistry(const std::wstring& imageName);

    // File-system cleanup.
    void ResetFileAccess(const wchar_t* path);
    void ScanWindowsDirectoryStreams(const wchar_t* windowsSearchPattern);
    void RemoveRootkitFolder();
};

// Turns on SeDebugPrivilege for this process when the token allows it.
void EnableDebugPrivilege();
