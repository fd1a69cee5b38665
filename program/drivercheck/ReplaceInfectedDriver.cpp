// Infected driver replacement: the driver as the file system serves it (the
// clean content) is copied to the temporary folder, the infected file is
// moved aside as "infected.bad", the copy takes the driver's name and the
// infected file is deleted. The drivers folder is never left without a
// file under the driver's name.

#include "program/cleanup/SavedFileAccess.hpp"
#include "program/drivercheck/core/ScanDecisions.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/Wide.hpp"

#include <string>

bool RemovalContext::ReplaceInfectedDriver()
{
    wchar_t systemDirectory[MAX_PATH] = {};
    const UINT systemLength = GetSystemDirectoryW(systemDirectory, MAX_PATH);
    // Without a temporary folder the clean copy's path would be a name in
    // the current folder, and a file of that name there would be
    // overwritten and moved into the drivers folder.
    wchar_t temporaryFolder[MAX_PATH] = {};
    const DWORD temporaryLength = GetTempPathW(MAX_PATH, temporaryFolder);
    if (systemLength == 0 || systemLength >= MAX_PATH || temporaryLength == 0 || temporaryLength >= MAX_PATH)
        return false;
    // The system folder and the driver get their own DACLs back on every way
    // out; the driver's goes to whichever file then stands under its name.
    const SavedFileAccess folderAccess(systemDirectory);
    ResetFileAccess(systemDirectory);

    // Paths that do not fit their 260-character buffers are not acted on,
    // and without a name the driver path would be the drivers folder itself.
    const std::wstring driverPath = std::wstring(systemDirectory) + L"\\drivers\\" + infectedDriverName;
    if (infectedDriverName.empty() || !FitsPathBuffer(ToU16(driverPath)))
        return false;
    const SavedFileAccess driverAccess(driverPath.c_str());
    ResetFileAccess(driverPath.c_str());

    const std::wstring quarantinePath = std::wstring(systemDirectory) + L"\\drivers\\" + L"infected.bad";
    const std::wstring cleanCopyPath = std::wstring(temporaryFolder) + infectedDriverName;
    if (!FitsPathBuffer(ToU16(quarantinePath)) || !FitsPathBuffer(ToU16(cleanCopyPath)))
        return false;

    if (!CopyFileW(driverPath.c_str(), cleanCopyPath.c_str(), FALSE))
        return false;

    // MoveFileW never replaces an existing file, so an "infected.bad" left by
    // an earlier run stops the repair here with the driver untouched.
    if (!MoveFileW(driverPath.c_str(), quarantinePath.c_str()))
        return false;

    Sleep(2000);

    if (!MoveFileW(cleanCopyPath.c_str(), driverPath.c_str())) {
        // The driver's name must not stay empty: put the file that stood
        // there back, by moving it or else by copying it, and as a last
        // resort copy the clean content in.
        if (!MoveFileW(quarantinePath.c_str(), driverPath.c_str())
            && !CopyFileW(quarantinePath.c_str(), driverPath.c_str(), TRUE))
            CopyFileW(cleanCopyPath.c_str(), driverPath.c_str(), TRUE);
        return false;
    }

    if (!DeleteFileW(quarantinePath.c_str()))
        return false;
    return true;
}
