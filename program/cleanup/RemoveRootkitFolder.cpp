// The rootkit keeps its files in a folder directly under the Windows
// directory whose name begins "$NtUninstallKB". That folder is found, its
// access rights opened, its reparse point removed, and its tree walked:
// folder attributes cleared and every file named "@" deleted, with a
// message for each. No folder is removed and no other file is deleted.

#include "program/cleanup/FileSystemPurge.hpp"
#include "program/common/Handles.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/Wide.hpp"
#include "program/run/WinConsole.hpp"

CleanupResult RemovalContext::RemoveRootkitFolder()
{
    wchar_t windowsDirectory[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(windowsDirectory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return CleanupResult::NotFound;
    const std::wstring prefix = ToWide(RootkitFolderPrefix);
    const std::optional<std::wstring> folder = FindRootkitFolder(windowsDirectory, prefix.c_str());
    if (!folder)
        return CleanupResult::NotFound;
    // The rootkit's folder gets a DACL for the administrators alone.
    ResetFileAccess(folder->c_str());
    DeleteReparsePoint(folder->c_str());
    return PurgeFolderTree(folder->c_str()) ? CleanupResult::Done : CleanupResult::Failed;
}

std::optional<std::wstring> RemovalContext::FindRootkitFolder(const wchar_t* directory, const wchar_t* prefix)
{
    const std::optional<std::u16string> pattern = FolderPattern(AsU16(directory), FoundFolderMaxChars);
    if (!pattern)
        return std::nullopt;
    WIN32_FIND_DATAW entry{};
    UniqueFind search(FindFirstFileW(AsWide(pattern->c_str()), &entry));
    if (!search)
        return std::nullopt;
    do {
        if (auto path = RootkitFolderPath(AsU16(directory), AsU16(entry.cFileName), entry.dwFileAttributes,
                                          AsU16(prefix)))
            return ToWide(*path);
    } while (FindNextFileW(search.get(), &entry));
    return std::nullopt;
}

PurgeOperations FileSystemPurgeOperations(RemovalContext& context)
{
    PurgeOperations operations;
    operations.clearAttributes = [](const std::u16string& path) {
        SetFileAttributesW(AsWide(path.c_str()), FILE_ATTRIBUTE_NORMAL);
    };
    operations.forEachEntry = [](const std::u16string& pattern,
                                 const std::function<void(const PurgeEntry&)>& visit) {
        WIN32_FIND_DATAW entry{};
        UniqueFind search(FindFirstFileW(AsWide(pattern.c_str()), &entry));
        if (!search)
            return false;
        do {
            visit(PurgeEntry{AsU16(entry.cFileName), entry.dwFileAttributes});
        } while (FindNextFileW(search.get(), &entry));
        return true;
    };
    operations.deleteFile = [&context](const std::u16string& path) {
        return context.RemoveKeepingCopy(ToWide(path), "deleted",
                                         "a file named \"@\" in the QuorVallin folder under the Windows directory");
    };
    operations.reportDeleted = [] { WriteScript(MaliciousFileReport()); };
    return operations;
}

bool RemovalContext::PurgeFolderTree(const wchar_t* folder)
{
    return ::PurgeFolderTree(std::u16string(AsU16(folder)), FileSystemPurgeOperations(*this));
}
