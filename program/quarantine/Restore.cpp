// Putting back what a run quarantined: each object verified against its
// manifest entry before and after it is written.

#include "program/quarantine/Quarantine.hpp"

#include "program/quarantine/QuarantineWin32.hpp"
#include "program/trust/Trust.hpp"
#include "program/quarantine/core/Inert.hpp"
#include "program/quarantine/core/Manifest.hpp"
#include "program/quarantine/core/QuarantineNames.hpp"
#include "program/quarantine/core/RestoreDecision.hpp"
#include "program/quarantine/core/RestoreRun.hpp"
#include "program/run/Privilege.hpp"
#include "program/run/WinConsole.hpp"
#include "program/run/Wide.hpp"

#include <optional>

using namespace quarantine;

namespace {

constexpr std::size_t ManifestMaxBytes = 16 * 1024 * 1024;
constexpr std::size_t ExportMaxBytes = 64 * 1024 * 1024;
constexpr unsigned WorkFileAttempts = 100;

struct Result {
    RestoreOutcome outcome;
    std::u16string detail;
};

// What failed, with the last error.
std::u16string Because(std::u16string_view what)
{
    return std::u16string(what) + u" (" + ErrorText(GetLastError()) + u")";
}

Result Failed(std::u16string detail) { return Result{RestoreOutcome::Failed, std::move(detail)}; }

// Whether the file's bytes from its start (decoded, when `inert`) have the
// entry's size and digests; nothing after a failed read. With `keep`, the
// bytes are also kept there, up to ExportMaxBytes (more do not match).
std::optional<bool> HasEntryContent(HANDLE file, bool inert, const ManifestEntry& entry, std::string* keep = nullptr)
{
    LARGE_INTEGER start{};
    ContentDigests digests;
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !StartDigests(digests))
        return std::nullopt;
    bool tooLong = false;
    const bool read = ForEachChunk(file, [&](BYTE* bytes, DWORD count) {
        if (inert)
            ToggleInert(bytes, count);
        if (keep != nullptr) {
            if (keep->size() + count > ExportMaxBytes)
                return !(tooLong = true);
            keep->append(reinterpret_cast<const char*>(bytes), count);
        }
        return AddToDigests(digests, bytes, count);
    });
    if (tooLong)
        return false;
    std::string sha256, md5;
    if (!read || !FinishDigests(digests, sha256, md5))
        return std::nullopt;
    return digests.size == entry.size && sha256 == entry.sha256 && md5 == entry.md5;
}

enum class Target { Absent, Same, Different, Unreadable };

Target FileTarget(const std::wstring& path, const ManifestEntry& entry)
{
    const UniqueFile file = OpenForReading(path);
    if (!file)
        return NothingAt(GetLastError()) ? Target::Absent : Target::Unreadable;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file.get(), &information))
        return Target::Unreadable;
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        SetLastError(ERROR_DIRECTORY);
        return Target::Unreadable;
    }
    const std::optional<bool> same = HasEntryContent(file.get(), false, entry);
    return !same ? Target::Unreadable : *same ? Target::Same : Target::Different;
}

// Writes the stored copy's decoded bytes to `out` (from the start of each,
// ending `out` there), checking them against the entry on the way.
std::optional<std::u16string> WriteDecoded(HANDLE stored, HANDLE out, const ManifestEntry& entry)
{
    LARGE_INTEGER start{};
    ContentDigests digests;
    if (!SetFilePointerEx(stored, start, nullptr, FILE_BEGIN) || !StartDigests(digests))
        return Because(u"the stored copy cannot be read");
    std::optional<std::u16string> why;
    const bool read = ForEachChunk(stored, [&](BYTE* bytes, DWORD count) {
        ToggleInert(bytes, count);
        if (!AddToDigests(digests, bytes, count))
            why = Because(u"its digests cannot be computed");
        else if (!WriteAll(out, bytes, count))
            why = Because(u"it cannot be written");
        return !why;
    });
    if (!why && !read)
        why = Because(u"the stored copy cannot be read");
    if (!why && (!SetEndOfFile(out) || !FlushFileBuffers(out)))
        why = Because(u"it cannot be written");
    std::string sha256, md5;
    if (!why && (!FinishDigests(digests, sha256, md5) || digests.size != entry.size || sha256 != entry.sha256 ||
                 md5 != entry.md5))
        why = u"the stored copy changed while it was read";
    return why;
}

// Makes the folders above `path` that are missing, with the access their
// parents pass on.
bool MakeMissingFolders(const std::wstring& path)
{
    const std::size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos || slash < 3)
        return true;
    const std::wstring parent = path.substr(0, slash);
    if (GetFileAttributesW(parent.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    return MakeMissingFolders(parent) && (CreateDirectoryW(parent.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
}

std::optional<std::u16string> CreateTarget(HANDLE stored, const std::wstring& target, const ManifestEntry& entry)
{
    if (!MakeMissingFolders(target))
        return Because(u"its folder cannot be made");
    UniqueFile out(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!out)
        return Because(u"it cannot be created");
    std::optional<std::u16string> why = WriteDecoded(stored, out.get(), entry);
    out.reset();
    if (why)
        DeleteFileW(target.c_str());
    return why;
}

// A data stream is written in place.
std::optional<std::u16string> RewriteStream(HANDLE stored, const std::wstring& target, const ManifestEntry& entry)
{
    UniqueFile out(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                               nullptr));
    if (!out)
        return Because(u"it cannot be opened for writing");
    return WriteDecoded(stored, out.get(), entry);
}

// A file is written whole beside the target, then moved over it. The new
// file stays open, shared for the move alone, until it stands at the target.
std::optional<std::u16string> ReplaceFile(HANDLE stored, const std::wstring& target, const ManifestEntry& entry)
{
    std::wstring work;
    UniqueFile out;
    for (unsigned attempt = 1; !out; ++attempt) {
        if (attempt > WorkFileAttempts)
            return u"no free name beside it for the new copy";
        work = ToWide(RestoreWorkPath(ToU16(target), attempt));
        out.reset(CreateFileW(work.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!out && GetLastError() != ERROR_FILE_EXISTS)
            return Because(u"the new copy beside it cannot be created");
    }
    std::optional<std::u16string> why = WriteDecoded(stored, out.get(), entry);
    if (!why && !MoveFileExW(work.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        why = Because(u"it cannot be replaced");
    out.reset();
    if (why)
        DeleteFileW(work.c_str());
    return why;
}

Result Carry(RestoreAction action, const std::function<std::optional<std::u16string>()>& write,
             const std::function<bool()>& readsBack)
{
    switch (action) {
    case RestoreAction::RefuseDamaged:
        return Result{RestoreOutcome::Damaged, {}};
    case RestoreAction::LeaveInPlace:
        return Result{RestoreOutcome::AlreadyInPlace, {}};
    case RestoreAction::RefuseDiffers:
        return Result{RestoreOutcome::Differs, {}};
    case RestoreAction::Create:
    case RestoreAction::Replace:
        break;
    }
    if (std::optional<std::u16string> why = write())
        return Failed(std::move(*why));
    if (!readsBack())
        return Failed(u"it did not read back as stored");
    return Result{RestoreOutcome::Restored, {}};
}

UniqueFile OpenStored(const std::wstring& folder, const ManifestEntry& entry)
{
    const std::wstring path = folder + L"\\" + ToWide(entry.storedName);
    return UniqueFile(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

Result StoredCopyUnusable()
{
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)
        return Result{RestoreOutcome::Missing, {}};
    return Failed(Because(u"the stored copy cannot be read"));
}

Result RestoreFile(const std::wstring& folder, const ManifestEntry& entry, bool overwrite)
{
    const UniqueFile stored = OpenStored(folder, entry);
    const std::optional<bool> matches = stored ? HasEntryContent(stored.get(), true, entry) : std::nullopt;
    if (!matches)
        return StoredCopyUnusable();
    const std::wstring target = ToWide(entry.originalPath);
    RestoreFacts facts{*matches, false, false, overwrite};
    if (*matches) {
        const Target state = FileTarget(target, entry);
        if (state == Target::Unreadable)
            return Failed(Because(u"what stands there cannot be read"));
        facts.targetExists = state != Target::Absent;
        facts.targetEqualsStored = state == Target::Same;
    }
    const RestoreAction action = DecideRestore(facts);
    return Carry(
        action,
        [&]() -> std::optional<std::u16string> {
            if (action == RestoreAction::Create)
                return CreateTarget(stored.get(), target, entry);
            if (entry.kind == QuarantineKind::DataStream)
                return RewriteStream(stored.get(), target, entry);
            return ReplaceFile(stored.get(), target, entry);
        },
        [&] { return FileTarget(target, entry) == Target::Same; });
}

Result RestoreKey(const std::wstring& folder, const ManifestEntry& entry, bool overwrite)
{
    const UniqueFile stored = OpenStored(folder, entry);
    std::string text;
    const std::optional<bool> matches = stored ? HasEntryContent(stored.get(), true, entry, &text) : std::nullopt;
    if (!matches)
        return StoredCopyUnusable();
    const std::optional<RegistryExport> tree = *matches ? ParseRegistryExport(text) : std::nullopt;
    RestoreFacts facts{tree && tree->root == entry.originalPath, false, false, overwrite};
    const std::wstring subkey = ToWide(std::u16string_view(entry.originalPath).substr(std::u16string_view(LocalMachinePrefix).size()));
    if (facts.storedMatches) {
        if (HasNameWithNul(*tree))
            return Failed(u"a name in it holds a NUL character, which the registry calls cannot write back");
        RegistryExport current;
        const LONG status = ReadRegistryTree(subkey, current);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            SetLastError(static_cast<DWORD>(status));
            return Failed(Because(u"the key there cannot be read"));
        }
        facts.targetExists = status == ERROR_SUCCESS;
        facts.targetEqualsStored = facts.targetExists && StoredTreeInPlace(*tree, current);
    }
    const RestoreAction action = DecideRestore(facts);
    return Carry(
        action,
        [&]() -> std::optional<std::u16string> {
            const LONG status = WriteRegistryTree(subkey, *tree, action == RestoreAction::Replace);
            if (status == ERROR_SUCCESS)
                return std::nullopt;
            SetLastError(static_cast<DWORD>(status));
            return Because(u"it cannot be written");
        },
        [&] {
            RegistryExport current;
            return ReadRegistryTree(subkey, current) == ERROR_SUCCESS && StoredTreeInPlace(*tree, current);
        });
}

int NothingRestored(const std::u16string& why, const ConsoleSink& console)
{
    console.writeWide(u"Nothing restored: " + why + u".\n");
    return RestoreCannotRun;
}

bool SameObject(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION first{}, second{};
    return GetFileInformationByHandle(a, &first) && GetFileInformationByHandle(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

// Why the held folder at `path` is not one of this computer's quarantine
// folders, or nothing when it is: the folder of that name in this
// computer's quarantine folder must be the very folder held (a short name,
// a junction on the way or another spelling of the path make no
// difference).
std::optional<std::u16string> OutsideThisQuarantine(const std::wstring& path, HANDLE held)
{
    const std::optional<std::wstring> root = QuarantineFolderPath();
    const std::size_t slash = path.rfind(L'\\');
    if (root && slash != std::wstring::npos) {
        UniqueFile rootHandle;
        if (OpenTrusted(*root, true, 0, rootHandle) == Trust::Trusted) {
            const UniqueFile named(CreateFileW((*root + path.substr(slash)).c_str(), FILE_READ_ATTRIBUTES,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                               nullptr));
            if (named && SameObject(named.get(), held))
                return std::nullopt;
        }
    }
    return ToU16(path) + u" is not a folder of this computer's quarantine (" + ToU16(root.value_or(L"")) +
           u"); /foreign restores it anyway";
}

// Why the manifest is not this computer's, or nothing when it is.
std::optional<std::u16string> MadeElsewhere(const std::wstring& manifestPath, const ManifestHeader& header)
{
    const std::optional<std::wstring> here = ComputerSid();
    if (!here)
        return Because(u"this computer's SID cannot be read, so " + ToU16(manifestPath) +
                       u" cannot be told to be this computer's");
    if (header.computerSid.empty())
        return ToU16(manifestPath) + u" does not say which computer made it; /foreign restores it anyway";
    if (header.computerSid != ToU16(*here))
        return ToU16(manifestPath) + u" was made on another computer (" + header.computerSid +
               u"); /foreign restores it anyway";
    return std::nullopt;
}

} // namespace

int RestoreQuarantine(const std::wstring& folder, const RestoreChoice& choice, const ConsoleSink& console)
{
    // Past the access lists of the stored copies, of the originals' places
    // and of what stands there now.
    EnablePrivilege(L"SeBackupPrivilege");
    EnablePrivilege(L"SeRestorePrivilege");

    wchar_t full[MAX_PATH + 1] = {};
    const DWORD length = GetFullPathNameW(folder.c_str(), MAX_PATH + 1, full, nullptr);
    if (length == 0 || length > MAX_PATH)
        return NothingRestored(ToU16(folder) + u" is not a usable path", console);
    std::wstring path(full, length);
    if (path.size() > 3 && path.back() == L'\\')
        path.pop_back();

    // Held until the restore ends: neither can be renamed or replaced meanwhile.
    UniqueFile heldFolder, manifestFile;
    const Trust folderTrust = OpenTrusted(path, true, 0, heldFolder);
    if (folderTrust != Trust::Trusted)
        return NothingRestored(TrustRefusal(folderTrust, ToU16(path)), console);
    if (!choice.foreign) {
        if (const std::optional<std::u16string> outside = OutsideThisQuarantine(path, heldFolder.get()))
            return NothingRestored(*outside, console);
    }
    const std::wstring manifestPath = path + L"\\" + AsWide(ManifestFileName);
    const Trust manifestTrust = OpenTrusted(manifestPath, false, GENERIC_READ, manifestFile);
    if (manifestTrust != Trust::Trusted)
        return NothingRestored(TrustRefusal(manifestTrust, ToU16(manifestPath)), console);

    std::string text;
    const bool read = ForEachChunk(manifestFile.get(), [&text](BYTE* bytes, DWORD count) {
        if (text.size() + count > ManifestMaxBytes)
            return false;
        text.append(reinterpret_cast<const char*>(bytes), count);
        return true;
    });
    const std::optional<Manifest> manifest = read ? ParseManifest(text) : std::nullopt;
    if (!manifest)
        return NothingRestored(ToU16(manifestPath) + u" cannot be read whole or is damaged", console);
    if (!choice.foreign) {
        if (const std::optional<std::u16string> elsewhere = MadeElsewhere(manifestPath, manifest->header))
            return NothingRestored(*elsewhere, console);
    }
    if (manifest->entries.empty()) {
        console.writeWide(u"Nothing to restore: the manifest lists no objects.\n");
        return RestoreComplete;
    }

    bool complete = true;
    for (const ManifestEntry& entry : manifest->entries) {
        const Result result = entry.kind == QuarantineKind::RegistryKey ? RestoreKey(path, entry, choice.overwrite)
                                                                        : RestoreFile(path, entry, choice.overwrite);
        complete = complete && (result.outcome == RestoreOutcome::Restored ||
                                result.outcome == RestoreOutcome::AlreadyInPlace);
        console.writeWide(RestoreLine(result.outcome, entry.originalPath, result.detail));
    }
    return complete ? RestoreComplete : RestoreIncomplete;
}

int RunRestoreSwitch(const RunPhases& phases, const std::u16string& folder, const RestoreChoice& choice)
{
    const ConsoleSink& console = StandardConsole();
    return RunRestore(phases, console, [&] { return RestoreQuarantine(ToWide(folder), choice, console); });
}
