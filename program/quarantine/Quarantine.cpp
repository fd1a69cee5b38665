// Storing a file, data stream or key tree inert in the run's quarantine,
// with its manifest entry.

#include "program/quarantine/Quarantine.hpp"

#include "program/quarantine/QuarantineWin32.hpp"
#include "program/trust/Trust.hpp"
#include "program/quarantine/core/Inert.hpp"
#include "program/quarantine/core/Manifest.hpp"
#include "program/quarantine/core/QuarantineNames.hpp"
#include "program/quarantine/core/QuarantineText.hpp"
#include "program/run/Privilege.hpp"
#include "program/run/ProgramRun.hpp"
#include "program/run/Wide.hpp"
#include "program/run/core/RunSequence.hpp"

#include <optional>

using namespace quarantine;

namespace {

// Run folders tried for one second of UTC time before the quarantine gives up.
constexpr unsigned RunFolderAttempts = 100;

// Why the step failed, with the last error.
std::u16string Because(std::u16string_view what)
{
    return std::u16string(what) + u" (" + ErrorText(GetLastError()) + u")";
}

bool Refuse(RunQuarantine& quarantine, std::u16string_view original, std::u16string_view why,
            const ConsoleSink& console)
{
    quarantine.failed = true;
    console.writeWide(u"Warning: " + std::u16string(original) + u" could not be quarantined: " + std::u16string(why) +
                      u".\n");
    return false;
}

// Makes the run's folder and its manifest on first use; the reason when it cannot.
std::optional<std::u16string> PrepareRunFolder(RunQuarantine& quarantine)
{
    if (quarantine.manifest)
        return std::nullopt;
    const std::optional<std::wstring> parent = QuarantineFolderPath();
    if (!parent)
        return u"the Windows directory cannot be found";
    const UniqueLocal descriptor = PrivateDescriptor(PrivateObject::Files);
    if (!descriptor)
        return Because(u"the quarantine's access list cannot be made");
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};

    if (!CreateDirectoryW(parent->c_str(), &attributes) && GetLastError() != ERROR_ALREADY_EXISTS)
        return Because(ToU16(*parent) + u" cannot be made");
    UniqueFile parentHandle;
    const Trust trust = OpenTrusted(*parent, true, 0, parentHandle);
    if (trust != Trust::Trusted)
        return TrustRefusal(trust, ToU16(*parent));

    const LogFacts facts = CurrentLogFacts();
    std::wstring run;
    for (unsigned attempt = 1;; ++attempt) {
        if (attempt > RunFolderAttempts)
            return u"every run folder name for this second is taken";
        run = *parent + L"\\" + ToWide(RunFolderName(facts, attempt));
        if (CreateDirectoryW(run.c_str(), &attributes))
            break;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return Because(ToU16(run) + u" cannot be made");
    }
    UniqueFile runHandle;
    const Trust runTrust = OpenTrusted(run, true, 0, runHandle);
    if (runTrust != Trust::Trusted) {
        RemoveDirectoryW(run.c_str());
        return TrustRefusal(runTrust, ToU16(run));
    }

    const std::wstring manifestPath = run + L"\\" + AsWide(ManifestFileName);
    UniqueFile manifest(CreateFileW(manifestPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &attributes, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    const ManifestHeader header{IsoUtcTime(facts), facts.computerName, ToU16(ComputerSid().value_or(L"")),
                                DecodeUtf8(ToolVersion, false).value()};
    const std::string text = ManifestHeaderText(header);
    if (!manifest || !WriteAll(manifest.get(), text.data(), static_cast<DWORD>(text.size())) ||
        !FlushFileBuffers(manifest.get())) {
        const std::u16string why = Because(u"its manifest cannot be written");
        manifest.reset();
        DeleteFileW(manifestPath.c_str());
        runHandle.reset();
        RemoveDirectoryW(run.c_str());
        return why;
    }
    quarantine.folder = run;
    quarantine.quarantineFolder = std::move(parentHandle);
    quarantine.runFolder = std::move(runHandle);
    quarantine.manifest = std::move(manifest);
    return std::nullopt;
}

// Appends the entry to the manifest; a write that fails is cut away again,
// so that the manifest stays whole.
bool AppendEntry(RunQuarantine& quarantine, const ManifestEntry& entry)
{
    const HANDLE manifest = quarantine.manifest.get();
    LARGE_INTEGER end{};
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(manifest, zero, &end, FILE_END))
        return false;
    const std::string text = ManifestEntryText(entry, quarantine.stored + 1);
    if (WriteAll(manifest, text.data(), static_cast<DWORD>(text.size())) && FlushFileBuffers(manifest))
        return true;
    const DWORD error = GetLastError();
    if (SetFilePointerEx(manifest, end, nullptr, FILE_BEGIN))
        SetEndOfFile(manifest);
    SetLastError(error);
    return false;
}

// Stores the bytes `read` gives (nothing: a failed read) as the object
// `original` of the given kind.
using ByteSource = std::function<bool(const std::function<bool(BYTE*, DWORD)>&)>;

bool Store(RunQuarantine& quarantine, QuarantineKind kind, const std::u16string& original, const ByteSource& read,
           std::string_view action, std::string_view reason, const ConsoleSink& console)
{
    if (const std::optional<std::u16string> refusal = PrepareRunFolder(quarantine))
        return Refuse(quarantine, original, *refusal, console);

    ManifestEntry entry;
    entry.kind = kind;
    entry.originalPath = original;
    entry.storedName = StoredFileName(++quarantine.numbersGiven, kind, original);
    entry.action = DecodeUtf8(action, false).value();
    entry.reason = DecodeUtf8(reason, false).value();
    entry.memoryVerdict = quarantine.memoryVerdict;
    const std::wstring storedPath = quarantine.folder + L"\\" + ToWide(entry.storedName);

    const UniqueLocal descriptor = PrivateDescriptor(PrivateObject::Files);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    UniqueFile stored(descriptor ? CreateFileW(storedPath.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                               FILE_ATTRIBUTE_NORMAL, nullptr)
                                 : INVALID_HANDLE_VALUE);
    if (!stored)
        return Refuse(quarantine, original, Because(u"its stored copy cannot be made"), console);

    ContentDigests digests;
    std::optional<std::u16string> why;
    if (!StartDigests(digests))
        why = Because(u"its digests cannot be computed");
    const bool readWhole = !why && read([&](BYTE* bytes, DWORD count) {
        if (!AddToDigests(digests, bytes, count)) {
            why = Because(u"its digests cannot be computed");
            return false;
        }
        ToggleInert(bytes, count);
        if (!WriteAll(stored.get(), bytes, count)) {
            why = Because(u"its stored copy cannot be written");
            return false;
        }
        return true;
    });
    if (!why && !readWhole)
        why = Because(u"it cannot be read");
    if (!why && !FlushFileBuffers(stored.get()))
        why = Because(u"its stored copy cannot be written");
    if (!why && !FinishDigests(digests, entry.sha256, entry.md5))
        why = Because(u"its digests cannot be computed");
    entry.size = digests.size;
    stored.reset();
    if (!why && !AppendEntry(quarantine, entry))
        why = Because(u"the manifest cannot be written");
    if (why) {
        DeleteFileW(storedPath.c_str());
        return Refuse(quarantine, original, *why, console);
    }
    ++quarantine.stored;
    return true;
}

} // namespace

bool QuarantineFile(RunQuarantine& quarantine, const std::wstring& path, std::string_view action,
                    std::string_view reason, const ConsoleSink& console)
{
    return QuarantineFileContent(quarantine, path, path, action, reason, console);
}

bool QuarantineFileContent(RunQuarantine& quarantine, const std::wstring& path, const std::wstring& contentPath,
                           std::string_view action, std::string_view reason, const ConsoleSink& console)
{
    const std::u16string original = ToU16(path);
    const QuarantineKind kind = IsDataStreamPath(original) ? QuarantineKind::DataStream : QuarantineKind::File;
    if (!IsRestorablePath(kind, original))
        return Refuse(quarantine, original, u"it is not a full path with a drive letter", console);
    // Read with backup semantics, past the original's access list.
    EnablePrivilege(L"SeBackupPrivilege");
    UniqueFile file = OpenForReading(contentPath);
    if (!file)
        return Refuse(quarantine, original, Because(u"it cannot be opened"), console);
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileInformationByHandle(file.get(), &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return Refuse(quarantine, original, u"it is a folder", console);
    const HANDLE handle = file.get();
    return Store(quarantine, kind, original,
                 [handle](const std::function<bool(BYTE*, DWORD)>& take) { return ForEachChunk(handle, take); },
                 action, reason, console);
}

bool QuarantineRegistryKey(RunQuarantine& quarantine, const std::wstring& subkey, std::string_view action,
                           std::string_view reason, const ConsoleSink& console)
{
    const std::u16string original = LocalMachinePrefix + ToU16(subkey);
    if (!IsRestorablePath(QuarantineKind::RegistryKey, original))
        return Refuse(quarantine, original, u"it is not a key below HKEY_LOCAL_MACHINE", console);
    RegistryExport tree;
    const LONG status = ReadRegistryTree(subkey, tree);
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return Refuse(quarantine, original, Because(u"it cannot be read"), console);
    }
    std::string text = WriteRegistryExport(tree);
    return Store(quarantine, QuarantineKind::RegistryKey, original,
                 [&text](const std::function<bool(BYTE*, DWORD)>& take) {
                     for (std::size_t at = 0; at < text.size(); at += ChunkBytes) {
                         const DWORD count = static_cast<DWORD>(std::min<std::size_t>(ChunkBytes, text.size() - at));
                         if (!take(reinterpret_cast<BYTE*>(text.data() + at), count))
                             return false;
                     }
                     return true;
                 },
                 action, reason, console);
}
