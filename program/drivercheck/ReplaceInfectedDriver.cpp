// Infected driver replacement. The driver as the file system serves it (the
// clean content, while the rootkit hides its change) is copied to a new
// file in the drivers folder itself; the infected file is set aside under a
// second name while the driver's name still holds it (a hard link where the
// volume has them, a copy where it has none), and after a pause the copy
// takes the driver's name in one replacing move. The infected file set
// aside is then kept in the quarantine and removed. A journal in the
// program's registry key says what is under way, so that a run cut short at
// any point leaves a state the next run completes or undoes; at no moment
// does the driver's name stand empty.

#include "program/cleanup/SavedFileAccess.hpp"
#include "program/drivercheck/core/DigestJudgement.hpp"
#include "program/drivercheck/core/ReplacementJournal.hpp"
#include "program/drivercheck/core/ScanDecisions.hpp"
#include "program/quarantine/QuarantineWin32.hpp"
#include "program/common/Handles.hpp"
#include "program/run/ProgramKey.hpp"
#include "program/run/ProgramRun.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/Wide.hpp"
#include "program/run/WinConsole.hpp"

#include <winioctl.h>

#include <cstring>
#include <optional>
#include <string>

namespace {

const wchar_t* const JournalValue = L"Replacement";
// A move into a name found empty never replaces what may have appeared there.
constexpr DWORD MoveIntoEmptyName = MOVEFILE_WRITE_THROUGH;
// The clean copy takes the name from the file under it in one step.
constexpr DWORD ReplacingMove = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
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

// Deleted, or not there to delete.
bool DeleteIfThere(const std::wstring& path)
{
    return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

// Which file a name stands for: two names of one file (hard links) give the
// same identity, another file under the same name a different one.
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> IdentityOf(const std::wstring& path)
{
    // No access to the content is asked for: the handle only reads the
    // file's identity, and lives only for that.
    UniqueFile file(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !GetFileInformationByHandle(file.get(), &info))
        return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// Whether the driver could give its name up now: a program that holds it
// open without delete sharing keeps the replacing move from taking the name
// and the set-aside name from being removed again, so nothing is begun.
bool MayGiveUpItsName(const std::wstring& path)
{
    UniqueFile file(CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return static_cast<bool>(file);
}

bool SameFile(const std::wstring& one, const std::wstring& other)
{
    const std::optional<FileIdentity> first = IdentityOf(one);
    const std::optional<FileIdentity> second = IdentityOf(other);
    return first && second && *first == *second;
}

// The run's time, UTC, as the journal's stamp.
std::u16string UtcStamp()
{
    const std::string stamp = UtcStampText(CurrentLogFacts());
    return std::u16string(stamp.begin(), stamp.end());
}

// A new file that nobody else can have opened, stored uncompressed: in a
// folder with compression set a new file is compressed, and the raw reader,
// which verifies the repair and keeps the infected file, refuses compressed
// files. A volume without compression has nothing to turn off.
UniqueFile CreateUncompressedFile(const std::wstring& path)
{
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return file;
    USHORT format = COMPRESSION_FORMAT_NONE;
    DWORD returned = 0;
    DeviceIoControl(file.get(), FSCTL_SET_COMPRESSION, &format, sizeof(format), nullptr, 0, &returned, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_COMPRESSED) != 0) {
        file.reset();
        DeleteFileW(path.c_str());
    }
    return file;
}

// Copies the file's content, as the file system serves it, to a new
// uncompressed file and flushes it to the disk; a copy that fails is
// deleted.
bool CopyToNewFile(const std::wstring& source, const std::wstring& target)
{
    UniqueFile from(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!from)
        return false;
    UniqueFile to = CreateUncompressedFile(target);
    if (!to)
        return false;
    const HANDLE copy = to.get();
    const bool copied = quarantine::ForEachChunk(
                            from.get(), [copy](BYTE* bytes, DWORD count) { return quarantine::WriteAll(copy, bytes, count); })
        && FlushFileBuffers(copy);
    to.reset();
    if (!copied)
        DeleteFileW(target.c_str());
    return copied;
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

// Sets the infected driver aside while its name still holds it: a second
// name of the same file where the volume has hard links; where it has none
// (FAT), a copy of what the disk holds of it, or of what the file system
// serves when it cannot be read raw.
bool SetAside(RemovalContext& context, const ReplacementPaths& paths)
{
    if (CreateHardLinkW(paths.aside.c_str(), paths.driver.c_str(), nullptr))
        return true;
    if (const std::optional<std::wstring> raw = context.RawCopyIntoWorkFolder(paths.driver, L"infected-driver.aside")) {
        const bool copied = CopyToNewFile(*raw, paths.aside);
        DeleteFileW(raw->c_str());
        if (copied)
            return true;
    }
    return CopyToNewFile(paths.driver, paths.aside);
}

enum class MoveIn {
    Done,          // the clean copy stands under the driver's name
    DriverInPlace, // the driver stands under its name, as before
    NameEmpty,     // neither could be put under the name
};

// A file mapped as a loaded driver's image cannot be deleted, and a
// replacing move deletes the file it replaces unless that file has another
// name (a volume without hard links, or a link that could not be made): the
// move is then refused with ERROR_ACCESS_DENIED. Such a file can still be
// renamed, so the driver takes the set-aside name (whose copy is removed
// first) and the clean copy takes the driver's at once: the name stands
// empty only between two renames in one folder, never for the pause.
MoveIn RenameAsideAndMoveIn(const ReplacementPaths& paths)
{
    if (!DeleteIfThere(paths.aside) || !MoveFileExW(paths.driver.c_str(), paths.aside.c_str(), MoveIntoEmptyName))
        return MoveIn::DriverInPlace;
    if (MoveFileExW(paths.staged.c_str(), paths.driver.c_str(), MoveIntoEmptyName))
        return MoveIn::Done;
    return MoveFileExW(paths.aside.c_str(), paths.driver.c_str(), MoveIntoEmptyName) ? MoveIn::DriverInPlace
                                                                                      : MoveIn::NameEmpty;
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
    if (!ComputeFileDigest(paths->driver.c_str(), clean) || !MayGiveUpItsName(paths->driver))
        return false;
    ReplacementJournal journal = start;
    journal.cleanDigest = clean;
    // Nothing is made in the drivers folder unless the journal is on the disk.
    if (!WriteProgramValue(JournalValue, ToWide(FormatJournal(journal))))
        return false;
    auto checkpoint = [this](ReplacementPoint point) {
        if (replacementCheckpoint)
            replacementCheckpoint(point);
    };
    checkpoint(ReplacementPoint::Journaled);
    // Undone before the clean copy took the name: the driver under it is
    // the one that stood there. The journal stays while anything made for
    // the replacement could not be removed, so that the next run removes it.
    // The set-aside name goes first: a staged copy without it tells the next
    // run that nothing was replaced, whereas a set-aside copy without the
    // staged one would tell it that the clean copy had taken the name.
    auto undo = [&](bool setAside) {
        const bool asideRemoved = !setAside || DeleteIfThere(paths->aside);
        const bool stagedRemoved = DeleteIfThere(paths->staged);
        if (stagedRemoved && asideRemoved)
            DeleteProgramValue(JournalValue);
        return false;
    };

    // The copy must be what the digest saw: a file system that serves
    // something else the second time is not to be trusted with the repair.
    char staged[DigestTextBytes] = {};
    if (!CopyToNewFile(paths->driver, paths->staged) || !ComputeFileDigest(paths->staged.c_str(), staged)
        || std::memcmp(staged, clean, DigestTextBytes) != 0)
        return undo(false);
    checkpoint(ReplacementPoint::Staged);

    if (!SetAside(*this, *paths))
        return undo(false);
    checkpoint(ReplacementPoint::SetAside);
    const std::optional<FileIdentity> setAside = IdentityOf(paths->driver);

    Sleep(HalfPauseMs);
    checkpoint(ReplacementPoint::Pausing);
    Sleep(HalfPauseMs);

    // Another file under the name now (Windows File Protection puts its own
    // copy of a system file back when it sees the name change): what the
    // disk holds of it decides. The clean content is the repair done;
    // anything else is not replaced by this run, and the repair failed.
    const std::optional<FileIdentity> now = IdentityOf(paths->driver);
    if (setAside && now && *now != *setAside) {
        char raw[DigestTextBytes] = {};
        const bool cleanInPlace = RawDigest(paths->driver, raw) && std::memcmp(raw, clean, DigestTextBytes) == 0;
        if (cleanInPlace)
            cleanDriverDigest = clean;
        const bool cleared = DeleteIfThere(paths->staged)
            && RemoveInfectedDriverKeepingCopy(paths->aside, paths->driver, InfectedDriverReason(journal));
        if (cleared)
            DeleteProgramValue(JournalValue);
        return cleanInPlace && cleared;
    }

    if (!MoveFileExW(paths->staged.c_str(), paths->driver.c_str(), ReplacingMove)) {
        if (GetLastError() != ERROR_ACCESS_DENIED)
            return undo(true);
        switch (RenameAsideAndMoveIn(*paths)) {
        case MoveIn::Done:
            break;
        case MoveIn::DriverInPlace:
            return undo(true);
        case MoveIn::NameEmpty:
            // The infected file under its set-aside name and the clean copy
            // under its staged name, with the journal: the next run moves the
            // clean copy in.
            return false;
        }
    }
    // Should the journal not say so, the next run still tells the moved-in
    // state by the staged copy's name being gone.
    journal.replaced = true;
    WriteProgramValue(JournalValue, ToWide(FormatJournal(journal)));
    FlushToDisk(paths->driver);
    cleanDriverDigest = clean;
    checkpoint(ReplacementPoint::MovedIn);

    if (!RemoveInfectedDriverKeepingCopy(paths->aside, paths->driver, InfectedDriverReason(journal)))
        return false;
    DeleteProgramValue(JournalValue);
    return true;
}

ReplacedDriverCheck RemovalContext::VerifyReplacedDriver()
{
    wchar_t systemDirectory[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return ReplacedDriverCheck::Unreadable;
    // Read from the volume, as the scan found the infection: the file
    // system's answer is the one the rootkit controls.
    char raw[DigestTextBytes] = {};
    if (!RawDigest(std::wstring(systemDirectory) + L"\\drivers\\" + infectedDriverName, raw))
        return ReplacedDriverCheck::Unreadable;
    if (!cleanDriverDigest.empty() && cleanDriverDigest == raw)
        return ReplacedDriverCheck::Clean;
    return infectedRawDigest == raw ? ReplacedDriverCheck::Infected : ReplacedDriverCheck::Other;
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
    state.replaced = journal->replaced;
    state.driverExists = Exists(paths->driver);
    state.stagedExists = Exists(paths->staged);
    state.asideExists = Exists(paths->aside);
    char staged[DigestTextBytes] = {};
    state.stagedIsClean = state.stagedExists && ComputeFileDigest(paths->staged.c_str(), staged)
        && journal->cleanDigest == staged;
    state.asideIsDriver = state.driverExists && state.asideExists && SameFile(paths->driver, paths->aside);
    const RecoveryPlan plan = PlanRecovery(state);

    bool done = true;
    for (RecoveryStep step : plan.steps) {
        switch (step) {
        case RecoveryStep::DeleteStaged:
            done = DeleteFileW(paths->staged.c_str()) && done;
            break;
        case RecoveryStep::DeleteAside:
            done = DeleteFileW(paths->aside.c_str()) && done;
            break;
        case RecoveryStep::MoveStagedIn:
            done = MoveFileExW(paths->staged.c_str(), paths->driver.c_str(), MoveIntoEmptyName) && done;
            FlushToDisk(paths->driver);
            break;
        case RecoveryStep::MoveAsideBack:
            done = MoveFileExW(paths->aside.c_str(), paths->driver.c_str(), MoveIntoEmptyName) && done;
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
