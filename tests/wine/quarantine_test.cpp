// The quarantine and the restore in a real prefix: the folders and files
// it makes (and the descriptor it hands to the system for each), the inert
// copies and their digests, key trees exported and written back, and the
// restore's refusals.
//
// Measured here: Wine keeps no security descriptor on files or folders. It
// builds one from the Unix mode bits (the owner is always the prefix's user,
// SYSTEM and the user get full control, Everyone gets what the mode grants
// others), so the DACL the program sets is checked on its way into
// CreateDirectoryW and CreateFileW, and a folder owned by another account
// can only be judged from a descriptor made in memory.

#include "program/quarantine/Quarantine.hpp"
#include "program/quarantine/QuarantineWin32.hpp"
#include "program/quarantine/core/Inert.hpp"
#include "program/quarantine/core/Manifest.hpp"
#include "program/quarantine/core/RegistryExport.hpp"
#include "program/run/ProgramRun.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/Wide.hpp"
#include "program/trust/Trust.hpp"
#include "tests/native/RecordingConsole.hpp"
#include "tests/wine/CleanupWine.hpp"
#include "tests/wine/DriverCheckFiles.hpp"
#include "tests/wine/ImportPatch.hpp"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <regex>
#include <string>
#include <vector>

using cleanupwine::Exists;
using cleanupwine::KeyExists;
using cleanupwine::RemoveKeyTree;
using cleanupwine::RemoveTree;
using drivercheck_test::Pattern;
using drivercheck_test::ReadWholeFile;
using drivercheck_test::WriteWholeFile;

namespace {

std::wstring SystemWindows()
{
    wchar_t directory[MAX_PATH] = {};
    GetSystemWindowsDirectoryW(directory, MAX_PATH);
    return directory;
}

const std::wstring Parent = SystemWindows() + L"\\KorvaleQuarantine";
const std::wstring Work = SystemWindows() + L"\\kqv-quarantine-test";
const std::wstring TestKey = L"SYSTEM\\CurrentControlSet\\Services\\kqvQuarantineTest";
const std::u16string TestKeyPath = u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\kqvQuarantineTest";

// "MZ", then 3 chunks and 17 bytes of pattern; digests from Python's hashlib.
const std::string Executable = std::string("MZ\x90\0", 4) + Pattern(3 * 65536 + 17);
const char* const ExecutableSha256 = "c9bd786c3681c1a8062a75dc7b265c0c28585827c940ecf007ea79d37189ba21";
const char* const ExecutableMd5 = "da3eef7b1ab88a71534bcb8c33917ddf";

std::string Decoded(const std::wstring& path)
{
    std::string bytes = ReadWholeFile(path);
    ToggleInert(reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
    return bytes;
}

std::optional<Manifest> ManifestOf(const std::wstring& folder)
{
    return ParseManifest(ReadWholeFile(folder + L"\\Manifest.txt"));
}

std::string Narrow(std::u16string_view text)
{
    std::string out;
    for (char16_t c : text)
        out += static_cast<char>(c < 0x80 ? c : '?');
    return out;
}

// The SDDL of the descriptor in a SECURITY_ATTRIBUTES (owner, group, DACL),
// its protection flag, or "none".
struct Given {
    std::string sddl = "none";
    bool protectedDacl = false;
};

Given DescriptorOf(const SECURITY_ATTRIBUTES* attributes)
{
    Given given;
    if (attributes == nullptr || attributes->lpSecurityDescriptor == nullptr)
        return given;
    LPWSTR text = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
            attributes->lpSecurityDescriptor, SDDL_REVISION_1,
            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)) {
        given.sddl = Narrow(AsU16(text));
        LocalFree(text);
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(attributes->lpSecurityDescriptor, &control, &revision);
    given.protectedDacl = (control & SE_DACL_PROTECTED) != 0;
    return given;
}

// What the code under test asked CreateDirectoryW, CreateFileW and
// MoveFileExW for, while a Recording lives.
struct Call {
    std::wstring path;
    DWORD access = 0, share = 0, disposition = 0, flags = 0;
    Given descriptor;
};
std::vector<Call> directoryCalls, fileCalls, moveCalls;
decltype(&CreateDirectoryW) realCreateDirectory;
decltype(&CreateFileW) realCreateFile;
decltype(&MoveFileExW) realMoveFileEx;

BOOL WINAPI RecordCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes)
{
    directoryCalls.push_back(Call{path, 0, 0, 0, 0, DescriptorOf(attributes)});
    return realCreateDirectory(path, attributes);
}

HANDLE WINAPI RecordCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                               DWORD disposition, DWORD flags, HANDLE model)
{
    fileCalls.push_back(Call{path, access, share, disposition, flags, DescriptorOf(attributes)});
    return realCreateFile(path, access, share, attributes, disposition, flags, model);
}

BOOL WINAPI RecordMoveFileEx(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    moveCalls.push_back(Call{std::wstring(from) + L" -> " + to, 0, 0, 0, flags, {}});
    return realMoveFileEx(from, to, flags);
}

class Recording {
public:
    Recording()
    {
        directoryCalls.clear(), fileCalls.clear(), moveCalls.clear();
        realCreateDirectory = reinterpret_cast<decltype(&CreateDirectoryW)>(directory_.original());
        realCreateFile = reinterpret_cast<decltype(&CreateFileW)>(file_.original());
        realMoveFileEx = reinterpret_cast<decltype(&MoveFileExW)>(move_.original());
        EXPECT_TRUE(directory_.active() && file_.active() && move_.active());
    }

    // The calls for paths that begin with `prefix`.
    static std::vector<Call> Under(const std::vector<Call>& calls, const std::wstring& prefix)
    {
        std::vector<Call> found;
        for (const Call& call : calls)
            if (lstrcmpiW(call.path.substr(0, prefix.size()).c_str(), prefix.c_str()) == 0)
                found.push_back(call);
        return found;
    }

private:
    winetest::ImportPatch directory_{"kernel32.dll", "CreateDirectoryW", reinterpret_cast<void*>(&RecordCreateDirectory)};
    winetest::ImportPatch file_{"kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&RecordCreateFile)};
    winetest::ImportPatch move_{"kernel32.dll", "MoveFileExW", reinterpret_cast<void*>(&RecordMoveFileEx)};
};

// Owned by the Administrators, SYSTEM and the Administrators alone in.
const char* const AdministratorsOnly = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

class QuarantineWine : public ::testing::Test {
protected:
    RecordingConsole console;

    void SetUp() override
    {
        RemoveTree(Parent);
        RemoveTree(Work);
        RemoveKeyTree(TestKey);
        ASSERT_TRUE(CreateDirectoryW(Work.c_str(), nullptr));
    }
    void TearDown() override
    {
        RemoveTree(Parent);
        RemoveTree(Work);
        RemoveKeyTree(TestKey);
    }

    // Stores the files (and streams) and returns the run's folder.
    std::wstring Quarantined(const std::vector<std::wstring>& paths, const std::vector<std::wstring>& keys = {})
    {
        RunQuarantine quarantine;
        quarantine.memoryVerdict = u"Infected By QuorVallin!";
        for (const std::wstring& path : paths)
            EXPECT_TRUE(QuarantineFile(quarantine, path, "deleted", "found", console.sink)) << Narrow(ToU16(path));
        for (const std::wstring& key : keys)
            EXPECT_TRUE(QuarantineRegistryKey(quarantine, key, "deleted", "named the image", console.sink));
        EXPECT_EQ(console.transcript, "");
        return quarantine.folder;
    }

    int Restore(const std::wstring& folder, bool overwrite, bool foreign = false)
    {
        console.transcript.clear();
        return RestoreQuarantine(folder, RestoreChoice{overwrite, foreign}, console.sink);
    }
};

// --- storing -------------------------------------------------------------------------

TEST_F(QuarantineWine, QuarantineStoresTheBytesInertWithTheirDigests)
{
    const std::wstring original = Work + L"\\sample.exe";
    ASSERT_TRUE(WriteWholeFile(original, Executable));
    RunQuarantine quarantine;
    quarantine.memoryVerdict = u"Infected By QuorVallin!";
    ASSERT_TRUE(QuarantineFile(quarantine, original, "deleted with its folder", "in the rootkit's folder", console.sink));
    EXPECT_EQ(console.transcript, "");
    EXPECT_EQ(quarantine.stored, 1u);
    EXPECT_FALSE(quarantine.failed);
    EXPECT_EQ(ReadWholeFile(original), Executable) << "the original was touched";

    // The run's folder is named by its UTC time.
    ASSERT_EQ(quarantine.folder.substr(0, Parent.size() + 1), Parent + L"\\");
    EXPECT_TRUE(std::regex_match(Narrow(ToU16(quarantine.folder.substr(Parent.size() + 1))),
                                 std::regex("20[0-9]{6}T[0-9]{6}Z")));

    const std::wstring stored = quarantine.folder + L"\\001-sample.exe.quarantine";
    const std::string inert = ReadWholeFile(stored);
    ASSERT_EQ(inert.size(), Executable.size());
    EXPECT_NE(inert.substr(0, 2), "MZ");
    EXPECT_EQ(Decoded(stored), Executable);

    const std::optional<Manifest> manifest = ManifestOf(quarantine.folder);
    ASSERT_TRUE(manifest.has_value());
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    GetComputerNameW(computer, &length);
    EXPECT_EQ(manifest->header.computerName, ToU16(computer));
    EXPECT_EQ(manifest->header.toolVersion, u"v1.0");
    EXPECT_EQ(manifest->entries[0].memoryVerdict, u"Infected By QuorVallin!");
    EXPECT_TRUE(std::regex_match(Narrow(manifest->header.runTime), std::regex("20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")));
    ASSERT_EQ(manifest->entries.size(), 1u);
    const ManifestEntry& entry = manifest->entries[0];
    EXPECT_EQ(entry.kind, QuarantineKind::File);
    EXPECT_EQ(entry.originalPath, ToU16(original));
    EXPECT_EQ(entry.storedName, u"001-sample.exe.quarantine");
    EXPECT_EQ(entry.size, Executable.size());
    EXPECT_EQ(entry.sha256, ExecutableSha256);
    EXPECT_EQ(entry.md5, ExecutableMd5);
    EXPECT_EQ(entry.action, u"deleted with its folder");
    EXPECT_EQ(entry.reason, u"in the rootkit's folder");
}

TEST_F(QuarantineWine, QuarantineMakesEverythingNewWithAnAdministratorsOnlyDescriptor)
{
    const std::wstring original = Work + L"\\driver.sys";
    ASSERT_TRUE(WriteWholeFile(original, "driver"));
    RunQuarantine quarantine;
    {
        Recording recording;
        ASSERT_TRUE(QuarantineFile(quarantine, original, "replaced", "digests differ", console.sink));
    }
    // Both folders in one call each, with the descriptor: no moment with another access list.
    const std::vector<Call> folders = Recording::Under(directoryCalls, Parent);
    ASSERT_EQ(folders.size(), 2u);
    EXPECT_EQ(folders[0].path, Parent);
    EXPECT_EQ(folders[1].path, quarantine.folder);
    for (const Call& call : folders) {
        EXPECT_EQ(call.descriptor.sddl, AdministratorsOnly) << Narrow(ToU16(call.path));
        EXPECT_TRUE(call.descriptor.protectedDacl);
    }
    // The manifest and the stored copy: made new, with the same descriptor, shared for reading at most.
    const std::vector<Call> files = Recording::Under(fileCalls, quarantine.folder + L"\\");
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].path, quarantine.folder + L"\\Manifest.txt");
    EXPECT_EQ(files[0].share, DWORD{FILE_SHARE_READ});
    EXPECT_EQ(files[1].path, quarantine.folder + L"\\001-driver.sys.quarantine");
    EXPECT_EQ(files[1].share, 0u);
    for (const Call& call : files) {
        EXPECT_EQ(call.disposition, DWORD{CREATE_NEW});
        EXPECT_EQ(call.descriptor.sddl, AdministratorsOnly);
        EXPECT_TRUE(call.descriptor.protectedDacl);
    }
    // The original: read only, with backup semantics, shared for reading only.
    const std::vector<Call> reads = Recording::Under(fileCalls, original);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].access, DWORD{GENERIC_READ});
    EXPECT_EQ(reads[0].share, DWORD{FILE_SHARE_READ});
    EXPECT_EQ(reads[0].disposition, DWORD{OPEN_EXISTING});
    EXPECT_NE(reads[0].flags & FILE_FLAG_BACKUP_SEMANTICS, 0u);
}

TEST_F(QuarantineWine, QuarantineNeverReusesARunFolder)
{
    const std::wstring original = Work + L"\\a.bin";
    ASSERT_TRUE(WriteWholeFile(original, "a"));
    RunQuarantine first, second;
    ASSERT_TRUE(QuarantineFile(first, original, "deleted", "test", console.sink));
    ASSERT_TRUE(QuarantineFile(second, original, "deleted", "test", console.sink));
    EXPECT_NE(first.folder, second.folder);
    // A folder made in the same second as the first one gets a suffix.
    if (second.folder.substr(0, first.folder.size()) == first.folder)
        EXPECT_EQ(second.folder, first.folder + L"-2");
    ASSERT_TRUE(QuarantineFile(first, original, "deleted", "again", console.sink));
    const std::optional<Manifest> manifest = ManifestOf(first.folder);
    ASSERT_TRUE(manifest.has_value());
    ASSERT_EQ(manifest->entries.size(), 2u);
    EXPECT_EQ(manifest->entries[1].storedName, u"002-a.bin.quarantine");
}

TEST_F(QuarantineWine, QuarantineRefusesAQuarantineFolderItCannotTrust)
{
    const std::wstring original = Work + L"\\kept.bin";
    ASSERT_TRUE(WriteWholeFile(original, "kept"));
    const struct {
        const char* what;
        std::function<bool()> make;
        std::string why;
    } cases[] = {
        {"a file under the name", [] { return WriteWholeFile(Parent, "not a folder"); }, " is not a folder"},
        {"a folder everyone may change",
         [] {
             EXPLICIT_ACCESS_W everyone{};
             everyone.grfAccessPermissions = FILE_ALL_ACCESS;
             everyone.grfAccessMode = SET_ACCESS;
             everyone.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
             everyone.Trustee.ptstrName = const_cast<LPWSTR>(L"Everyone");
             return CreateDirectoryW(Parent.c_str(), nullptr) &&
                    drivercheck_test::SetDaclEntries(Parent, &everyone, 1);
         },
         " can be changed by accounts other than SYSTEM and the Administrators"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveTree(Parent);
        ASSERT_TRUE(c.make());
        const DWORD attributesBefore = GetFileAttributesW(Parent.c_str());
        RunQuarantine quarantine;
        console.transcript.clear();
        EXPECT_FALSE(QuarantineFile(quarantine, original, "deleted", "test", console.sink));
        EXPECT_TRUE(quarantine.failed);
        EXPECT_EQ(quarantine.stored, 0u);
        EXPECT_TRUE(quarantine.folder.empty());
        EXPECT_EQ(console.transcript, "Warning: " + Narrow(ToU16(original)) + " could not be quarantined: " +
                                          Narrow(ToU16(Parent)) + c.why + ".\n");
        EXPECT_EQ(GetFileAttributesW(Parent.c_str()), attributesBefore);
        if ((attributesBefore & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            WIN32_FIND_DATAW entry{};
            HANDLE search = FindFirstFileW((Parent + L"\\*.*").c_str(), &entry);
            int found = 0;
            if (search != INVALID_HANDLE_VALUE) {
                do
                    found += entry.cFileName[0] != L'.';
                while (FindNextFileW(search, &entry));
                FindClose(search);
            }
            EXPECT_EQ(found, 0) << "something was stored in it";
        }
    }
}

// The local Administrators group as the network management functions
// would list it on a machine where the account S-1-5-21-1-2-3-1001 is an
// administrator: Wine has one account and lists no members, so the lookup
// is answered here, through the program's own GetProcAddress.
PSID ListedAdministrator()
{
    static PSID sid = [] {
        PSID made = nullptr;
        ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1001", &made);
        return made;
    }();
    return sid;
}

DWORD WINAPI ListAdministrators(LPCWSTR, LPCWSTR, DWORD level, LPBYTE* buffer, DWORD, LPDWORD read, LPDWORD total,
                                PDWORD_PTR)
{
    if (level != 0)
        return ERROR_INVALID_LEVEL;
    auto* members = static_cast<PSID*>(LocalAlloc(LPTR, sizeof(PSID)));
    members[0] = ListedAdministrator();
    *buffer = reinterpret_cast<LPBYTE>(members);
    *read = *total = 1;
    return ERROR_SUCCESS;
}

DWORD WINAPI FreeListed(void* buffer)
{
    LocalFree(buffer);
    return ERROR_SUCCESS;
}

decltype(&GetProcAddress) realGetProcAddress;
FARPROC WINAPI AnswerAdministratorsLookup(HMODULE module, LPCSTR name)
{
    if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && std::string(name) == "NetLocalGroupGetMembers")
        return reinterpret_cast<FARPROC>(&ListAdministrators);
    if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && std::string(name) == "NetApiBufferFree")
        return reinterpret_cast<FARPROC>(&FreeListed);
    return realGetProcAddress(module, name);
}

Trust Judged(const std::wstring& sddl, bool keepsAccessLists)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                     nullptr))
        << Narrow(ToU16(sddl));
    const Trust trust = JudgeDescriptor(descriptor, ObjectKind::Folder, FILE_ATTRIBUTE_DIRECTORY, keepsAccessLists);
    LocalFree(descriptor);
    return trust;
}

// Wine cannot give a folder another owner, so the owner test runs on
// descriptors made in memory, through the same judgement and the same
// classification of accounts as a real object's.
TEST_F(QuarantineWine, QuarantineTrustsTheSystemAndEveryAdministratorAndNobodyElse)
{
    LPWSTR me = nullptr;
    {
        HANDLE token = nullptr;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
        BYTE buffer[256];
        DWORD length = 0;
        ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &length));
        CloseHandle(token);
        ASSERT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &me));
    }
    const std::wstring ownAccount = std::wstring(L"O:") + me + L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    LocalFree(me);
    const wchar_t* const trustedInstaller =
        L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:P(A;OICI;FA;;;SY)";
    const struct {
        std::wstring sddl;
        Trust trust;
    } cases[] = {
        {L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", Trust::Trusted},
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", Trust::Trusted},
        {ownAccount, Trust::Trusted},
        {trustedInstaller, Trust::Trusted},
        {L"O:BUD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", Trust::ForeignOwner},
        {L"O:S-1-5-21-1-2-3-1002D:P(A;OICI;FA;;;SY)", Trust::ForeignOwner},
        {L"O:WDD:P(A;OICI;FA;;;SY)", Trust::ForeignOwner},
        {L"O:BAD:(A;;FA;;;SY)(A;;0x1200a9;;;WD)", Trust::Trusted},
        {L"O:BAD:(A;;FA;;;SY)(A;;0x2;;;AU)", Trust::OthersMayChange},
        {L"O:BAD:(A;OICIIO;FA;;;CO)", Trust::Trusted},
        {L"O:BAD:(D;;FA;;;WD)", Trust::Trusted},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Judged(c.sddl, true), c.trust) << Narrow(ToU16(c.sddl));

    // An object that another administrator's run made on XP, where the
    // maker owns what it makes: trusted where that account is one of the
    // Administrators, refused where it is not.
    const std::wstring otherAdministrator = L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)";
    EXPECT_EQ(Judged(otherAdministrator, true), Trust::ForeignOwner) << "Wine's group lists no other member";
    {
        winetest::ImportPatch lookup{"kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(&AnswerAdministratorsLookup)};
        ASSERT_TRUE(lookup.active());
        realGetProcAddress = reinterpret_cast<decltype(&GetProcAddress)>(lookup.original());
        EXPECT_EQ(Judged(otherAdministrator, true), Trust::Trusted);
        EXPECT_EQ(Judged(L"O:S-1-5-21-1-2-3-1002D:P(A;OICI;FA;;;SY)", true), Trust::ForeignOwner);
    }

    // A null DACL (Wine's SDDL parser makes an empty one of "NO_ACCESS_CONTROL") lets everyone in.
    SECURITY_DESCRIPTOR open;
    ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&open, administrators, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    EXPECT_EQ(JudgeDescriptor(&open, ObjectKind::Folder, FILE_ATTRIBUTE_DIRECTORY, true), Trust::OthersMayChange);
    ASSERT_TRUE(SetSecurityDescriptorDacl(&open, FALSE, nullptr, FALSE));
    EXPECT_EQ(JudgeDescriptor(&open, ObjectKind::Folder, FILE_ATTRIBUTE_DIRECTORY, true), Trust::OthersMayChange);

    // What Windows answers for every object on a FAT volume: owner and group
    // Everyone, a DACL granting Everyone everything, or none at all. Refused
    // where the volume keeps access lists; nothing to judge where it does not.
    EXPECT_EQ(Judged(L"O:WDG:WDD:(A;;GA;;;WD)", true), Trust::ForeignOwner);
    EXPECT_EQ(Judged(L"O:WDG:WDD:(A;;GA;;;WD)", false), Trust::Trusted);
    SECURITY_DESCRIPTOR fat;
    ASSERT_TRUE(InitializeSecurityDescriptor(&fat, SECURITY_DESCRIPTOR_REVISION));
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    size = sizeof(everyone);
    ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&fat, everyone, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&fat, TRUE, nullptr, FALSE));
    EXPECT_EQ(JudgeDescriptor(&fat, ObjectKind::Folder, FILE_ATTRIBUTE_DIRECTORY, true), Trust::ForeignOwner);
    EXPECT_EQ(JudgeDescriptor(&fat, ObjectKind::Folder, FILE_ATTRIBUTE_DIRECTORY, false), Trust::Trusted);
    // A link stays a link there.
    EXPECT_EQ(JudgeDescriptor(&fat, ObjectKind::Folder, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, false),
              Trust::ReparsePoint);
}

// An interrupted replacement is finished at the start of a run, before the
// memory inspection; the repair comes after it. Each object's entry gives
// the verdict that held when it was stored, not the first one's.
TEST_F(QuarantineWine, EachObjectKeepsTheMemoryVerdictOfItsTime)
{
    const std::wstring early = Work + L"\\early.sys", late = Work + L"\\late.sys";
    ASSERT_TRUE(WriteWholeFile(early, "early"));
    ASSERT_TRUE(WriteWholeFile(late, "late"));
    RemovalContext context;
    context.memoryOutcome = ScanError;
    context.KeepCopy(early, "kept", "an interrupted replacement's file");
    context.memoryOutcome = InfectedAds;
    context.KeepCopy(late, "kept", "the repair's file");
    const std::optional<Manifest> manifest = ManifestOf(ToWide(context.QuarantineFolder()));
    ASSERT_TRUE(manifest.has_value());
    ASSERT_EQ(manifest->entries.size(), 2u);
    EXPECT_EQ(manifest->entries[0].memoryVerdict, u"not inspected (the memory inspection could not be made)");
    EXPECT_NE(manifest->entries[1].memoryVerdict.find(u"Infected By QuorVallin"), std::u16string::npos)
        << Narrow(manifest->entries[1].memoryVerdict);
}

TEST_F(QuarantineWine, QuarantineReportsAnOriginalItCannotRead)
{
    RunQuarantine quarantine;
    const std::wstring missing = Work + L"\\missing.sys";
    EXPECT_FALSE(QuarantineFile(quarantine, missing, "deleted", "test", console.sink));
    EXPECT_EQ(console.transcript,
              "Warning: " + Narrow(ToU16(missing)) + " could not be quarantined: it cannot be opened (error 2).\n");
    EXPECT_TRUE(quarantine.failed);
    console.transcript.clear();
    EXPECT_FALSE(QuarantineFile(quarantine, Work, "deleted", "test", console.sink));
    EXPECT_EQ(console.transcript, "Warning: " + Narrow(ToU16(Work)) + " could not be quarantined: it is a folder.\n");
    console.transcript.clear();
    EXPECT_FALSE(QuarantineRegistryKey(quarantine, TestKey, "deleted", "test", console.sink));
    EXPECT_EQ(console.transcript,
              "Warning: " + Narrow(TestKeyPath) + " could not be quarantined: it cannot be read (error 2).\n");
}

// --- registry keys ----------------------------------------------------------------------

struct TestValue {
    const wchar_t* subkey;
    const wchar_t* name;
    DWORD type;
    std::string data;
};

std::string Utf16(std::u16string_view text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

const std::vector<TestValue> TestValues = {
    {L"", L"", REG_SZ, Utf16(std::u16string(u"default value\0", 14))},
    {L"", L"ImagePath", REG_EXPAND_SZ, Utf16(std::u16string(u"%SystemRoot%\\system32\\drivers\\kqv.sys\0", 39))},
    {L"", L"Start", REG_DWORD, std::string("\x01\0\0\0", 4)},
    {L"", L"Blob", REG_BINARY, std::string("\0\xA5\r\n\xff", 5)},
    {L"", L"DependOnService", REG_MULTI_SZ, Utf16(std::u16string(u"one\0two\0\0", 9))},
    {L"", L"Odd", 0x12345, "odd bytes"},
    {L"", L"Empty", REG_BINARY, ""},
    {L"Enum", L"0", REG_SZ, Utf16(std::u16string(u"Root\\LEGACY_KQV\\0000\0", 21))},
    {L"Enum", L"Count", REG_DWORD, std::string("\x01\0\0\0", 4)},
};

void MakeTestKey()
{
    for (const wchar_t* subkey : {L"", L"Enum", L"Enum\\Deeper"}) {
        HKEY key = nullptr;
        const std::wstring path = *subkey ? TestKey + L"\\" + subkey : TestKey;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    for (const TestValue& v : TestValues) {
        HKEY key = nullptr;
        const std::wstring path = *v.subkey ? TestKey + L"\\" + v.subkey : TestKey;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key, v.name, 0, v.type, reinterpret_cast<const BYTE*>(v.data.data()),
                                 static_cast<DWORD>(v.data.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
}

// Each test value as the registry holds it now, type and bytes.
void ExpectTestValues()
{
    for (const TestValue& v : TestValues) {
        const std::wstring path = *v.subkey ? TestKey + L"\\" + v.subkey : TestKey;
        SCOPED_TRACE(Narrow(ToU16(path + L" " + v.name)));
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
        DWORD type = 0, size = 1024;
        BYTE data[1024];
        EXPECT_EQ(RegQueryValueExW(key, v.name, nullptr, &type, data, &size), ERROR_SUCCESS);
        RegCloseKey(key);
        EXPECT_EQ(type, v.type);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), size), v.data);
    }
    EXPECT_TRUE(KeyExists(TestKey + L"\\Enum\\Deeper"));
}

void SetStart(DWORD start)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TestKey.c_str(), 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    RegSetValueExW(key, L"Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&start), sizeof(start));
    RegCloseKey(key);
}

TEST_F(QuarantineWine, QuarantinedKeyTreeComesBackByteForByte)
{
    MakeTestKey();
    const std::wstring folder = Quarantined({}, {TestKey});
    ASSERT_FALSE(folder.empty());
    const std::optional<Manifest> manifest = ManifestOf(folder);
    ASSERT_TRUE(manifest.has_value());
    ASSERT_EQ(manifest->entries.size(), 1u);
    const ManifestEntry& entry = manifest->entries[0];
    EXPECT_EQ(entry.kind, QuarantineKind::RegistryKey);
    EXPECT_EQ(entry.originalPath, TestKeyPath);
    EXPECT_EQ(entry.storedName, u"001-kqvQuarantineTest.key.quarantine");

    // The stored copy is the inert export of the whole tree.
    const std::string exported = Decoded(folder + L"\\" + ToWide(entry.storedName));
    EXPECT_EQ(exported.size(), entry.size);
    EXPECT_NE(ReadWholeFile(folder + L"\\" + ToWide(entry.storedName)).find("KorvaleNoQuorVallin"), 0u);
    const std::optional<RegistryExport> tree = ParseRegistryExport(exported);
    ASSERT_TRUE(tree.has_value());
    EXPECT_EQ(tree->root, TestKeyPath);
    ASSERT_EQ(tree->keys.size(), 3u);
    EXPECT_EQ(tree->keys[0].values.size(), 7u);
    EXPECT_EQ(tree->keys[1].path, u"Enum");
    EXPECT_EQ(tree->keys[2].path, u"Enum\\Deeper");

    RemoveKeyTree(TestKey);
    ASSERT_FALSE(KeyExists(TestKey));
    EXPECT_EQ(Restore(folder, false), 0);
    EXPECT_EQ(console.transcript, "Restored: " + Narrow(TestKeyPath) + "\n");
    ExpectTestValues();

    EXPECT_EQ(Restore(folder, false), 0);
    EXPECT_EQ(console.transcript, "Already in place: " + Narrow(TestKeyPath) + "\n");
}

TEST_F(QuarantineWine, RestoreReplacesADifferingKeyOnlyWithOverwrite)
{
    MakeTestKey();
    const std::wstring folder = Quarantined({}, {TestKey});
    SetStart(4);
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TestKey.c_str(), 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
        RegSetValueExW(key, L"Added", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"x"), 4);
        RegCloseKey(key);
    }
    EXPECT_EQ(Restore(folder, false), 4);
    EXPECT_EQ(console.transcript, "Not restored: " + Narrow(TestKeyPath) + " (it now differs; /overwrite replaces it)\n");
    DWORD start = 0, size = sizeof(start);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, TestKey.c_str(), L"Start", RRF_RT_REG_DWORD, nullptr, &start, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(start, 4u) << "a differing key was changed without /overwrite";

    EXPECT_EQ(Restore(folder, true), 0);
    EXPECT_EQ(console.transcript, "Restored: " + Narrow(TestKeyPath) + "\n");
    ExpectTestValues();
    EXPECT_NE(RegGetValueW(HKEY_LOCAL_MACHINE, TestKey.c_str(), L"Added", RRF_RT_ANY, nullptr, nullptr, nullptr),
              ERROR_SUCCESS)
        << "a value added since was kept";
}

// --- files ---------------------------------------------------------------------------------

TEST_F(QuarantineWine, RestoredFilesComeBackByteForByte)
{
    const std::wstring file = Work + L"\\plain.sys";
    const std::wstring rootkitFolder = Work + L"\\$rootkit";
    const std::wstring inFolder = rootkitFolder + L"\\@";
    const std::wstring stream = Work + L"\\host.dll:hidden.exe";
    ASSERT_TRUE(CreateDirectoryW(rootkitFolder.c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(file, Executable));
    ASSERT_TRUE(WriteWholeFile(inFolder, Pattern(5000, 9)));
    ASSERT_TRUE(WriteWholeFile(stream, std::string("MZ") + Pattern(700, 1)));
    const std::wstring folder = Quarantined({file, inFolder, stream});
    const std::optional<Manifest> manifest = ManifestOf(folder);
    ASSERT_TRUE(manifest.has_value());
    ASSERT_EQ(manifest->entries.size(), 3u);
    EXPECT_EQ(manifest->entries[2].kind, QuarantineKind::DataStream);

    RemoveTree(rootkitFolder);
    DeleteFileW(file.c_str());
    DeleteFileW(stream.c_str());
    EXPECT_EQ(Restore(folder, false), 0);
    EXPECT_EQ(console.transcript, "Restored: " + Narrow(ToU16(file)) + "\nRestored: " + Narrow(ToU16(inFolder)) +
                                      "\nRestored: " + Narrow(ToU16(stream)) + "\n");
    EXPECT_EQ(ReadWholeFile(file), Executable);
    EXPECT_EQ(ReadWholeFile(inFolder), Pattern(5000, 9));
    EXPECT_EQ(ReadWholeFile(stream), std::string("MZ") + Pattern(700, 1));

    EXPECT_EQ(Restore(folder, false), 0);
    EXPECT_EQ(console.transcript, "Already in place: " + Narrow(ToU16(file)) + "\nAlready in place: " +
                                      Narrow(ToU16(inFolder)) + "\nAlready in place: " + Narrow(ToU16(stream)) + "\n");
}

TEST_F(QuarantineWine, RestoreReplacesADifferingFileOnlyWithOverwrite)
{
    const std::wstring file = Work + L"\\driver.sys";
    const std::wstring stream = Work + L"\\host.dll:hidden.exe";
    ASSERT_TRUE(WriteWholeFile(file, Executable));
    ASSERT_TRUE(WriteWholeFile(stream, "stream bytes, the longer ones"));
    const std::wstring folder = Quarantined({file, stream});
    ASSERT_TRUE(WriteWholeFile(file, "the clean copy"));
    ASSERT_TRUE(WriteWholeFile(stream, "shorter"));

    EXPECT_EQ(Restore(folder, false), 4);
    EXPECT_EQ(console.transcript, "Not restored: " + Narrow(ToU16(file)) + " (it now differs; /overwrite replaces it)\n" +
                                      "Not restored: " + Narrow(ToU16(stream)) + " (it now differs; /overwrite replaces it)\n");
    EXPECT_EQ(ReadWholeFile(file), "the clean copy");
    EXPECT_EQ(ReadWholeFile(stream), "shorter");

    int status = 0;
    {
        Recording recording;
        status = Restore(folder, true);
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(console.transcript, "Restored: " + Narrow(ToU16(file)) + "\nRestored: " + Narrow(ToU16(stream)) + "\n");
    EXPECT_EQ(ReadWholeFile(file), Executable);
    EXPECT_EQ(ReadWholeFile(stream), "stream bytes, the longer ones");
    // The file was written whole beside the target, new, then moved over it.
    const std::wstring work = file + L".1.restoring";
    const std::vector<Call> made = Recording::Under(fileCalls, work);
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].disposition, DWORD{CREATE_NEW});
    EXPECT_EQ(made[0].share, DWORD{FILE_SHARE_DELETE});
    ASSERT_EQ(moveCalls.size(), 1u);
    EXPECT_EQ(moveCalls[0].path, work + L" -> " + file);
    EXPECT_EQ(moveCalls[0].flags, DWORD{MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH});
    EXPECT_FALSE(Exists(work));
}

TEST_F(QuarantineWine, RestoreRefusesADamagedOrMissingStoredCopy)
{
    const std::wstring damaged = Work + L"\\damaged.sys";
    const std::wstring missing = Work + L"\\missing.sys";
    const std::wstring intact = Work + L"\\intact.sys";
    for (const std::wstring& path : {damaged, missing, intact})
        ASSERT_TRUE(WriteWholeFile(path, Executable));
    const std::wstring folder = Quarantined({damaged, missing, intact});
    for (const std::wstring& path : {damaged, missing, intact})
        DeleteFileW(path.c_str());

    const std::wstring storedDamaged = folder + L"\\001-damaged.sys.quarantine";
    std::string bytes = ReadWholeFile(storedDamaged);
    bytes[70000] ^= 1;
    ASSERT_TRUE(WriteWholeFile(storedDamaged, bytes));
    ASSERT_TRUE(DeleteFileW((folder + L"\\002-missing.sys.quarantine").c_str()));

    EXPECT_EQ(Restore(folder, true), 4);
    EXPECT_EQ(console.transcript, "Not restored: " + Narrow(ToU16(damaged)) + " (the stored copy is damaged)\n" +
                                      "Not restored: " + Narrow(ToU16(missing)) + " (the stored copy is missing)\n" +
                                      "Restored: " + Narrow(ToU16(intact)) + "\n");
    EXPECT_FALSE(Exists(damaged));
    EXPECT_FALSE(Exists(missing));
    EXPECT_EQ(ReadWholeFile(intact), Executable);
}

TEST_F(QuarantineWine, RestoreRefusesAFolderOrManifestItCannotUse)
{
    const std::wstring file = Work + L"\\f.sys";
    ASSERT_TRUE(WriteWholeFile(file, "f"));
    const std::wstring folder = Quarantined({file});
    DeleteFileW(file.c_str());
    const std::wstring manifest = folder + L"\\Manifest.txt";
    const std::string text = ReadWholeFile(manifest);

    EXPECT_EQ(Restore(Work + L"\\none", false), 5);
    EXPECT_EQ(console.transcript, "Nothing restored: " + Narrow(ToU16(Work)) + "\\none does not exist.\n");

    ASSERT_TRUE(WriteWholeFile(manifest, text.substr(0, text.size() - 3)));
    EXPECT_EQ(Restore(folder, false), 5);
    EXPECT_EQ(console.transcript, "Nothing restored: " + Narrow(ToU16(manifest)) + " cannot be read whole or is damaged.\n");
    EXPECT_FALSE(Exists(file));

    ASSERT_TRUE(WriteWholeFile(manifest, text));
    EXPLICIT_ACCESS_W everyone{};
    everyone.grfAccessPermissions = FILE_ALL_ACCESS;
    everyone.grfAccessMode = SET_ACCESS;
    everyone.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    everyone.Trustee.ptstrName = const_cast<LPWSTR>(L"Everyone");
    ASSERT_TRUE(drivercheck_test::SetDaclEntries(folder, &everyone, 1));
    EXPECT_EQ(Restore(folder, false), 5);
    EXPECT_EQ(console.transcript, "Nothing restored: " + Narrow(ToU16(folder)) +
                                      " can be changed by accounts other than SYSTEM and the Administrators.\n");
    EXPECT_FALSE(Exists(file));
}

// SYSTEM and the Administrators are the same SIDs on every computer: a
// folder that an administrator elsewhere prepared passes the owner and
// access list tests. Only a quarantine that names this computer, in this
// computer's quarantine folder, is restored without /foreign.
TEST_F(QuarantineWine, RestoreRefusesWhatThisComputerDidNotQuarantine)
{
    const std::wstring file = Work + L"\\elsewhere.sys";
    ASSERT_TRUE(WriteWholeFile(file, Executable));
    ASSERT_TRUE(cleanupwine::MakeService(TestKey, L"system32\\drivers\\elsewhere.sys"));
    const std::wstring folder = Quarantined({file}, {TestKey});
    DeleteFileW(file.c_str());
    RemoveKeyTree(TestKey);
    const std::wstring manifest = folder + L"\\Manifest.txt";
    const std::string text = ReadWholeFile(manifest);
    const std::optional<std::wstring> here = ComputerSid();
    ASSERT_TRUE(here.has_value());
    ASSERT_NE(text.find("Computer SID: " + Narrow(ToU16(*here)) + "\r\n"), std::string::npos) << text;

    // The same folder with another computer's SID, and without any.
    const std::string other = std::regex_replace(text, std::regex("Computer SID: [^\r]*"), "Computer SID: S-1-5-21-9-8-7");
    ASSERT_TRUE(WriteWholeFile(manifest, other));
    EXPECT_EQ(Restore(folder, true), 5);
    EXPECT_EQ(console.transcript, "Nothing restored: " + Narrow(ToU16(manifest)) +
                                      " was made on another computer (S-1-5-21-9-8-7); /foreign restores it anyway.\n");
    ASSERT_TRUE(WriteWholeFile(manifest, std::regex_replace(text, std::regex("Computer SID: [^\r]*"), "Computer SID: ")));
    EXPECT_EQ(Restore(folder, true), 5);
    EXPECT_EQ(console.transcript, "Nothing restored: " + Narrow(ToU16(manifest)) +
                                      " does not say which computer made it; /foreign restores it anyway.\n");
    EXPECT_FALSE(Exists(file));
    EXPECT_FALSE(KeyExists(TestKey)) << "a new service key made from another computer's quarantine";

    // This computer's manifest, copied to a folder outside the quarantine folder.
    ASSERT_TRUE(WriteWholeFile(manifest, text));
    const std::wstring copy = Work + L"\\copied";
    ASSERT_TRUE(CreateDirectoryW(copy.c_str(), nullptr));
    for (const wchar_t* name : {L"Manifest.txt", L"001-elsewhere.sys.quarantine", L"002-kqvQuarantineTest.key.quarantine"})
        ASSERT_TRUE(CopyFileW((folder + L"\\" + name).c_str(), (copy + L"\\" + name).c_str(), TRUE)) << Narrow(AsU16(name));
    EXPECT_EQ(Restore(copy, true), 5);
    EXPECT_EQ(console.transcript, "Nothing restored: " + Narrow(ToU16(copy)) +
                                      " is not a folder of this computer's quarantine (" + Narrow(ToU16(Parent)) +
                                      "); /foreign restores it anyway.\n");
    EXPECT_FALSE(Exists(file));
    EXPECT_FALSE(KeyExists(TestKey));

    // Said in so many words, both are restored.
    ASSERT_TRUE(WriteWholeFile(manifest, other));
    EXPECT_EQ(Restore(folder, false, true), 0) << console.transcript;
    EXPECT_EQ(ReadWholeFile(file), Executable);
    EXPECT_TRUE(KeyExists(TestKey));
    DeleteFileW(file.c_str());
    RemoveKeyTree(TestKey);
    EXPECT_EQ(Restore(copy, false, true), 0) << console.transcript;
    EXPECT_EQ(ReadWholeFile(file), Executable);
}

// --- the program's /restore: --------------------------------------------------------------------

TEST_F(QuarantineWine, RestoreSwitchRestoresAndRunsNothingElse)
{
    const std::wstring file = Work + L"\\switch.sys";
    ASSERT_TRUE(WriteWholeFile(file, Executable));
    const std::wstring folder = Quarantined({file});
    DeleteFileW(file.c_str());

    std::vector<std::string> calls;
    RunPhases phases; // every other phase is empty: a call to it throws
    phases.setConsoleTitle = [&](std::u16string_view) { calls.push_back("title"); };
    phases.getVersion = [&] { calls.push_back("version"); return OsVersion{2, 5, false}; };
    phases.isUserAnAdmin = [&] { calls.push_back("admin"); return true; };
    phases.systemVolumeWithoutAccessLists = [&] { calls.push_back("volume"); return std::nullopt; };
    const std::wstring log = Work + L"\\restore.log";
    int code = -1;
    std::string output;
    {
        cleanupwine::CapturedOutput captured;
        code = RunProgram({u"/restore:" + ToU16(folder), u"/log:" + ToU16(log)}, phases);
        output = captured.text();
    }
    EXPECT_EQ(code, 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"title", "version", "admin", "volume"}));
    EXPECT_EQ(output, "Korvale Antivirus QuorVallin Removal - v1.0\nKorvale Antivirus Research Labs\n\nRestored: " +
                          Narrow(ToU16(file)) + "\n");
    EXPECT_EQ(ReadWholeFile(file), Executable);
    const std::string logged = ReadWholeFile(log);
    EXPECT_NE(logged.find("Restored: " + Narrow(ToU16(file)) + "\r\n=== Exit code 0: everything restored or already in place ===\r\n"),
              std::string::npos)
        << logged;
}

} // namespace
