// The one object that carries the state of a run. Every phase operation of
// the program is a member operation of it; each is defined beside the
// subsystem it belongs to.
#pragma once

#include "program/quarantine/Quarantine.hpp"
#include "program/common/Handles.hpp"
#include "program/run/core/RunSequence.hpp"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// The points of a driver replacement at which a run may be cut short.
enum class ReplacementPoint {
    Journaled,      // the journal is written; nothing is made in the drivers folder yet
    Staged,         // the clean copy stands in the drivers folder under its own name
    SetAside,       // the infected driver is set aside, its name still holding it
    Pausing,        // in the pause before the replacing move
    MovedIn,        // the clean copy bears the driver's name
};

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
    // This run's own folder for the files it writes in a temporary place
    // (the driver image, the raw copies), ending in a backslash; made new
    // under the temporary folder with access for SYSTEM and the
    // administrators only, and removed with everything in it at the end.
    // Empty until made.
    std::wstring workFolder;
    // The work folder itself, held open without delete sharing for the run,
    // so that it cannot be renamed or replaced while the run uses it.
    UniqueFile workFolderHandle;
    // The digest texts of the infected driver as the scan saw them: of its
    // raw copy, and of the file read the ordinary way (the clean content).
    std::string infectedRawDigest;
    std::string infectedPlainDigest;
    // The digest of the clean copy that the replacement put in place; empty
    // until it has one.
    std::string cleanDriverDigest;
    // The memory inspection's verdict, for the record of what a repair did.
    int32_t memoryOutcome = ScanError;
    // What this run's repair removed, kept; made on first use.
    RunQuarantine quarantine;
    // Called at each point of the driver replacement; a test stops the
    // program there. Empty in a real run.
    std::function<void(ReplacementPoint)> replacementCheckpoint;

    RemovalContext() = default;
    RemovalContext(const RemovalContext&) = delete;
    RemovalContext& operator=(const RemovalContext&) = delete;
    // Removes the work folder if a way out left it behind.
    ~RemovalContext();

    // Restart prompt and restart.
    bool AskRestartConsent();
    bool RestartWindows();

    // The private work folder. MakeWorkFolder writes one line when the
    // folder cannot be made; RemoveWorkFolder deletes what is left in it
    // and the folder itself.
    bool MakeWorkFolder();
    void RemoveWorkFolder();

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
    DriverScanFindings ScanSystemDrivers();
    // Copies a file raw from its volume into the work folder and digests
    // the copy; false when the copy or its digest failed.
    bool RawDigest(const std::wstring& path, char* output);
    bool ReplaceInfectedDriver();
    // What a raw copy of the driver now under the infected driver's name
    // holds: the clean copy put in place, the infected content the scan
    // read, something else, or nothing could be read.
    ReplacedDriverCheck VerifyReplacedDriver();
    // Finishes or undoes a replacement that an earlier run's journal shows
    // was interrupted; writes one line when there was one.
    void CompleteInterruptedReplacement();
    // Deletes the service whose ImagePath names the image, examining every
    // service: Done when its key was deleted in a control set, NotFound
    // when no service names the image, Failed when the Services key
    // cannot be opened, its enumeration stopped before the end of the list
    // without a match, or no deletion succeeded.
    CleanupResult CleanServiceRegistry(const std::wstring& imageName);
    bool DeleteServiceKeys(const wchar_t* serviceName);

    // Deletes a file or data stream that the repair removes, after keeping
    // a copy of it in the run's quarantine with what was done (`action`)
    // and why (`reason`); a copy that cannot be kept is said on the console
    // and does not stop the removal. True when it is deleted.
    bool RemoveKeepingCopy(const std::wstring& path, const std::string& action, const std::string& reason);
    // The same for the infected driver set aside from `driverPath`: what
    // is kept is a raw copy of its clusters (the file system may serve the
    // clean content in its place), or its ordinary content when no raw copy
    // can be made; the manifest names it by the driver's path.
    bool RemoveInfectedDriverKeepingCopy(const std::wstring& asidePath, const std::wstring& driverPath,
                                         const std::string& reason);
    // Keeps a copy of a file or data stream that the repair does not remove.
    void KeepCopy(const std::wstring& path, const std::string& action, const std::string& reason);
    // Keeps a key tree under HKEY_LOCAL_MACHINE that the repair is about to delete.
    void KeepKeyCopy(const std::wstring& subkey, const std::string& reason);
    // The folder of this run's quarantine; empty when nothing was kept.
    std::u16string QuarantineFolder() const;
    // Copies a file raw from its volume into the work folder under `name`;
    // the copy's path, or nothing when the copy failed (a failed copy is
    // deleted).
    std::optional<std::wstring> RawCopyIntoWorkFolder(const std::wstring& path, const std::wstring& name);

    // File-system cleanup. ResetFileAccess replaces the DACL with one entry
    // for the administrators; GrantAdministratorsAccess adds that entry to
    // the DACL the object has. Neither changes anything when the entry
    // cannot be built.
    void ResetFileAccess(const wchar_t* path);
    bool GrantAdministratorsAccess(const wchar_t* path);

    // Reparse points: read a path's reparse data, remove its reparse point.
    bool IsReparsePoint(const wchar_t* path);
    HANDLE OpenReparsePointForRead(const wchar_t* path);
    HANDLE OpenReparsePointForWrite(const wchar_t* path);
    bool GetReparseData(const wchar_t* path, void* buffer16384);
    bool GetReparseGuid(const wchar_t* path, GUID* guid);
    bool GetReparseTag(const wchar_t* path, DWORD* tag);
    bool DeleteReparsePoint(const wchar_t* path);

    // The rootkit's folder under the Windows directory, purged: Done when
    // it was found and every file named "@" in it deleted.
    CleanupResult RemoveRootkitFolder();
    // The first folder directly in `directory` whose name begins with
    // `prefix`, as a full path.
    std::optional<std::wstring> FindRootkitFolder(const wchar_t* directory, const wchar_t* prefix);
    // True when every file named "@" it found was deleted.
    bool PurgeFolderTree(const wchar_t* folder);

    // The executable hidden in a data stream of a Windows-directory file:
    // true on a hit, which sets hiddenImageName.
    bool ScanWindowsDirectoryStreams(const wchar_t* windowsSearchPattern);
    bool IsExecutableStream(HANDLE stream);
    bool IsProcessRunning(const wchar_t* name);
};

// Turns on SeDebugPrivilege for this process when the token allows it, and
// SeBackupPrivilege, with which files are read whatever their DACLs say;
// true when the debug privilege is on.
bool EnableDebugPrivilege();

// The phases of a real run, bound to `context`, which must outlive them.
RunPhases ProgramPhases(RemovalContext& context);

// Whether this process runs under WOW64 (IsWow64Process); nothing when the
// system lacks the function or the call fails.
std::optional<bool> QueryWow64();
