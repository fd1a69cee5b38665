// Infected driver replacement. The driver as the file system serves it (the
// clean content, while the rootkit hides its change) is copied to a new
// file in the drivers folder itself; the infected file is renamed aside,
// the copy takes the driver's name and the infected file is kept in the
// quarantine and removed. Both moves are renames within one folder, and a
// journal in the program's registry key says what is under way, so that a
// run cut short at any point leaves a state the next run completes or
// undoes: the drivers folder is never left without a file under the
// driver's name for longer than the pause between the moves.

#include "program/cleanup/SavedFileAccess.hpp"
#include "program/drivercheck/core/DigestJudgement.hpp"
#include "program/drivercheck/core/ReplacementJournal.hpp"
#include "program/drivercheck/core/ScanDecisions.hpp"
#include "program/quarantine/QuarantineWin32.hpp"
#include "program/run/Handles.hpp"
#include "program/run/ProgramKey.hpp"
#include "program/run/ProgramRun.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/Wide.hpp"
#include "program/run/WinConsole.hpp"

#include <cstring>
#include <string>

namespace {

const wchar_t* const JournalValue = L"Replacement";
constexpr DWORD MoveFlags = MOVEFILE_WRITE_THROUGH; // never MOVEFILE_REPLACE_EXISTING
constexpr DWORD HalfPauseMs = 1000;

// The paths of one replacement in the drivers folder.
struct ReplacementPaths {
    std::wstring folder; // the drivers folder, without its trailing backslash
    std::wstring driver;
    std::wstring staged;
    std::wstring aside;
};

std::optional<ReplacementPaths> PathsOf(const ReplacementJournal& journal)
{
    wchar_t systemDirectory[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !IsPlainFileName(journal.driverName))
        return std::nullopt;
    ReplacementPaths paths;
    paths.folder = std::wstring(systemDirectory) + L"\\drivers";
    paths.driver = paths.folder + L"\\" + ToWide(journal.driverName);
    paths.staged = paths.folder + L"\\" + ToWide(StagedName(journal));
    paths.aside = paths.folder + L"\\" + ToWide(AsideName(journal));
    for (const std::wstring* path : {&paths.driver, &paths.staged, &paths.aside}) {
        if (!FitsPathBuffer(ToU16(*path)))
            return std::nullopt;
    }
    return paths;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The run's time, UTC, as the journal's stamp.
std::u16string UtcStamp()
{
    const std::string stamp = UtcStampText(CurrentLogFacts());
    return std::u16string(stamp.begin(), stamp.end());
}

// Copies the file's content, as the file system serves it, to a new file
// that nobody else can have opened, and flushes it to the disk.
bool CopyToNewFile(const std::wstring& source, const std::wstring& target)
{
    UniqueFile from(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!from)
        return false;
    UniqueFile to(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              nullptr));
    if (!to)
        return false;
    const HANDLE copy = to.get();
    return quarantine::ForEachChunk(from.get(),
                                    [copy](BYTE* bytes, DWORD count) { return quarantine::WriteAll(copy, bytes, count); })
        && FlushFileBuffers(copy);
}

// Writes what the file system holds of the file out to the disk, so that a
// read of the volume sees it.
void FlushToDisk(const std::wstring& path)
{
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file)
        FlushFileBuffers(file.get());
}

// Why the infected driver was removed, for the quarantine's manifest.
std::string InfectedDriverReason(const ReplacementJournal& journal)
{
    std::string reason = "its content on the disk";
    if (!journal.infectedDigest.empty())
        reason += " (MD5 " + journal.infectedDigest + ")";
    return reason + " differs from what the file system serves (MD5 " + journal.cleanDigest
        + "), which a clean copy replaced";
}

} // namespace

bool RemovalContext::ReplaceInfectedDriver()
{
    cleanDriverDigest.clear();
    const ReplacementJournal start{ToU16(infectedDriverName), UtcStamp(), "", infectedRawDigest};
    const std::optional<ReplacementPaths> paths = PathsOf(start);
    if (!paths)
        return false;

    // The drivers folder and the driver get an entry for the
    // administrators added, and their own DACLs back on every way out; the
    // driver's goes to whichever file then stands under its name.
    const SavedFileAccess folderAccess(paths->folder.c_str());
    GrantAdministratorsAccess(paths->folder.c_str());
    const SavedFileAccess driverAccess(paths->driver.c_str());
    GrantAdministratorsAccess(paths->driver.c_str());

    char clean[DigestTextBytes] = {};
    if (!ComputeFileDigest(paths->driver.c_str(), clean))
        return false;
    ReplacementJournal journal = start;
    journal.cleanDigest = clean;
    // Nothing is moved unless the journal is on the disk.
    if (!WriteProgramValue(JournalValue, ToWide(FormatJournal(journal))))
        return false;
    auto checkpoint = [this](ReplacementPoint point) {
        if (replacementCheckpoint)
            replacementCheckpoint(point);
    };
    auto abandon = [&] {
        DeleteFileW(paths->staged.c_str());
        DeleteProgramValue(JournalValue);
        return false;
    };

    // The copy must be what the digest saw: a file system that serves
    // something else the second time is not to be trusted with the repair.
    char staged[DigestTextBytes] = {};
    if (!CopyToNewFile(paths->driver, paths->staged) || !ComputeFileDigest(paths->staged.c_str(), staged)
        || std::memcmp(staged, clean, DigestTextBytes) != 0)
        return abandon();
    checkpoint(ReplacementPoint::Staged);

    // MoveFileExW without MOVEFILE_REPLACE_EXISTING never replaces a file.
    if (!MoveFileExW(paths->driver.c_str(), paths->aside.c_str(), MoveFlags))
        return abandon();
    checkpoint(ReplacementPoint::MovedAside);

    Sleep(HalfPauseMs);
    checkpoint(ReplacementPoint::Pausing);
    Sleep(HalfPauseMs);

    if (!MoveFileExW(paths->staged.c_str(), paths->driver.c_str(), MoveFlags)) {
        // The driver's name must not stay empty: put the file that stood
        // there back; failing that, copy the clean content in, and as a
        // last resort copy the infected file back. What cannot be cleaned
        // up is left with its journal for the next run.
        if (MoveFileExW(paths->aside.c_str(), paths->driver.c_str(), MoveFlags)) {
            if (DeleteFileW(paths->staged.c_str()))
                DeleteProgramValue(JournalValue);
        } else if (CopyFileW(paths->staged.c_str(), paths->driver.c_str(), TRUE)) {
            FlushToDisk(paths->driver);
            cleanDriverDigest = clean;
        } else {
            CopyFileW(paths->aside.c_str(), paths->driver.c_str(), TRUE);
        }
        return false;
    }
    FlushToDisk(paths->driver);
    cleanDriverDigest = clean;
    checkpoint(ReplacementPoint::MovedIn);

    if (!RemoveInfectedDriverKeepingCopy(paths->aside, paths->driver, InfectedDriverReason(journal)))
        return false;
    DeleteProgramValue(JournalValue);
    return true;
}

bool RemovalContext::VerifyReplacedDriver()
{
    if (cleanDriverDigest.empty())
        return false;
    wchar_t systemDirectory[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    // Read from the volume, as the scan found the infection: the file
    // system's answer is the one the rootkit controls.
    char raw[DigestTextBytes] = {};
    return RawDigest(std::wstring(systemDirectory) + L"\\drivers\\" + infectedDriverName, raw)
        && cleanDriverDigest == raw;
}

void RemovalContext::CompleteInterruptedReplacement()
{
    const std::optional<std::wstring> text = ReadProgramValue(JournalValue);
    if (!text)
        return;
    const std::optional<ReplacementJournal> journal = ParseJournal(ToU16(*text));
    const std::optional<ReplacementPaths> paths = journal ? PathsOf(*journal) : std::nullopt;
    const ConsoleSink& console = StandardConsole();
    if (!paths) {
        DeleteProgramValue(JournalValue);
        console.write("A driver replacement journal that names no driver of this machine was found and removed.\n");
        return;
    }
    const SavedFileAccess folderAccess(paths->folder.c_str());
    GrantAdministratorsAccess(paths->folder.c_str());

    ReplacementState state;
    state.driverExists = Exists(paths->driver);
    char driver[DigestTextBytes] = {};
    state.driverIsClean = state.driverExists && ComputeFileDigest(paths->driver.c_str(), driver)
        && journal->cleanDigest == driver;
    state.stagedExists = Exists(paths->staged);
    state.asideExists = Exists(paths->aside);
    char staged[DigestTextBytes] = {};
    state.stagedIsClean = state.stagedExists && ComputeFileDigest(paths->staged.c_str(), staged)
        && journal->cleanDigest == staged;
    const RecoveryPlan plan = PlanRecovery(state);

    bool done = true;
    for (RecoveryStep step : plan.steps) {
        switch (step) {
        case RecoveryStep::DeleteStaged:
            done = DeleteFileW(paths->staged.c_str()) && done;
            break;
        case RecoveryStep::MoveStagedIn:
            done = MoveFileExW(paths->staged.c_str(), paths->driver.c_str(), MoveFlags) && done;
            FlushToDisk(paths->driver);
            break;
        case RecoveryStep::MoveAsideBack:
            done = MoveFileExW(paths->aside.c_str(), paths->driver.c_str(), MoveFlags) && done;
            break;
        case RecoveryStep::QuarantineAside:
            done = RemoveInfectedDriverKeepingCopy(paths->aside, paths->driver, InfectedDriverReason(*journal))
                && done;
            break;
        }
    }
    const DWORD error = GetLastError();
    console.write("Found an interrupted replacement of ");
    console.writeWide(journal->driverName);
    console.write(" (begun ");
    console.writeWide(journal->stamp);
    console.write("): ");
    if (done) {
        DeleteProgramValue(JournalValue);
        console.write(plan.outcome);
    } else {
        console.write("it could not be finished (error " + std::to_string(error) + "); the next run tries again");
    }
    console.write(".\n");
}
