// Whole runs started with switches, in a real prefix: the program's own
// command-line run with the real phases, the helper driver really deployed
// and removed, the real driver scan and repair. Substituted are only the
// memory outcome (Wine's kernel has no disk driver to inspect), the raw
// copy (this binary's substitute engine) and the restart request.

#include "program/deploy/core/Signature.hpp"
#include "program/run/LogFile.hpp"
#include "program/run/ProgramKey.hpp"
#include "program/run/ProgramRun.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/Wide.hpp"
#include "program/run/WinConsole.hpp"
#include "tests/wine/CleanupWine.hpp"
#include "tests/wine/DriverCheckFiles.hpp"
#include "tests/wine/ImportPatch.hpp"
#include "tests/wine/scan/RawCopySubstitute.hpp"
#include "tests/wine/scan/WholeRun.hpp"

#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const wchar_t* const DriverName = L"kqvswitch.sys";

class SwitchedRun : public ::testing::Test {
protected:
    std::wstring driverPath = drivercheck_test::DriversFolder() + DriverName;
    std::wstring logPath = drivercheck_test::TemporaryFolder() + L"korvale switches.log";
    RemovalContext context;
    RunPhases phases =
        wholerun::SubstitutedPhases(context, wholerun::Reply(HIJACK_TYPE_PLAIN, CreateDispatchSignature));
    std::vector<std::string> calls;
    std::string transcript;
    // Input waiting on standard input, and what of it the run left unread.
    std::string input = "y\n\n";
    std::string unread;

    void SetUp() override
    {
        ResetRawCopySubstitute();
        DeleteProgramValue(L"AutomaticRestart");
        DeleteFileW(logPath.c_str());
        ASSERT_TRUE(drivercheck_test::WriteWholeFile(driverPath, drivercheck_test::Pattern(70000)));
        PlanRawCopy(DriverName, {SubstituteCopy::Bytes, drivercheck_test::Pattern(70000, 9)});

        wholerun::Logged(phases.askRestartConsent, "ask", calls);
        wholerun::Logged(phases.scanWindowsDirectoryStreams, "streams", calls);
        wholerun::Logged(phases.removeRootkitFolder, "folder", calls);
        wholerun::Logged(phases.replaceInfectedDriver, "replace", calls);
        wholerun::Logged(phases.cleanServiceRegistry, "registry", calls);
        wholerun::Logged(phases.restartWindows, "restart (substituted)", calls);
        wholerun::Logged(phases.waitForKey, "key", calls);
        wholerun::Logged(phases.deleteDriverFile, "delete driver file", calls);
    }

    void TearDown() override
    {
        DeleteFileW(driverPath.c_str());
        for (const std::wstring& name : drivercheck_test::ReplacementLeftovers(DriverName))
            DeleteFileW((drivercheck_test::DriversFolder() + name).c_str());
        DeleteFileW(logPath.c_str());
        DeleteProgramValue(L"AutomaticRestart");
        ResetRawCopySubstitute();
    }

    int Run(const std::vector<std::u16string>& arguments) { return RunWith(phases, arguments); }

    int RunWith(const RunPhases& runPhases, const std::vector<std::u16string>& arguments)
    {
        std::istringstream in(input);
        std::ostringstream out;
        std::streambuf* const savedIn = std::cin.rdbuf(in.rdbuf());
        std::streambuf* const savedOut = std::cout.rdbuf(out.rdbuf());
        const int code = RunProgram(arguments, runPhases);
        std::cout.rdbuf(savedOut);
        std::cin.rdbuf(savedIn);
        transcript = out.str();
        unread = in.str().substr(static_cast<std::size_t>(in.tellg()));
        return code;
    }

    std::u16string LogSwitch() const { return u"/log:" + ToU16(logPath); }
};

// The transcript without the line of a run on a FAT system volume (which
// tests/wine/fat-prefix.sh makes), for the tests that find no other warning.
std::string WithoutVolumeWarning(std::string text)
{
    const std::size_t at = text.find("Warning: The system volume ");
    return at == std::string::npos ? text : text.erase(at, text.find('\n', at) + 1 - at);
}

// The console's text as the log holds it: Windows line ends, where the
// text has none already.
std::string WithWindowsLineEnds(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n' && (out.empty() || out.back() != '\r'))
            out += '\r';
        out += c;
    }
    return out;
}

TEST_F(SwitchedRun, ScanFindsTheInfectionAndChangesNothing)
{
    const uint64_t infectedFile = drivercheck_test::FileIndex(driverPath);
    const int code = Run({u"/SCAN", LogSwitch()});

    EXPECT_EQ(code, 1);
    EXPECT_EQ(calls, std::vector<std::string>{"delete driver file"});
    EXPECT_EQ(unread, input) << "no question read, no key waited for";
    EXPECT_NE(transcript.find("\nSystem Memory: Infected By QuorVallin!\n\n"), std::string::npos) << transcript;
    EXPECT_NE(transcript.find("kqvswitch.sys\t : Infected !\n"), std::string::npos) << transcript;
    EXPECT_EQ(transcript.find("[y/n]"), std::string::npos);
    EXPECT_EQ(transcript.find("Press any key"), std::string::npos);
    EXPECT_EQ(drivercheck_test::FileIndex(driverPath), infectedFile);
    EXPECT_EQ(drivercheck_test::ReadWholeFile(driverPath), drivercheck_test::Pattern(70000));
    EXPECT_FALSE(drivercheck_test::PathExists(drivercheck_test::TemporaryFolder() + DriverName));

    // The log: a header, the console's text with its line ends, the code.
    const std::string log = drivercheck_test::ReadWholeFile(logPath);
    const std::string header = "=== KorvaleNoQuorVallin v1.0 run at ";
    ASSERT_EQ(log.compare(0, header.size(), header), 0) << log;
    const std::size_t headerEnd = log.find(" ===\r\n");
    ASSERT_NE(headerEnd, std::string::npos);
    EXPECT_EQ(log.substr(headerEnd + 6),
              WithWindowsLineEnds(transcript) + "=== Exit code 1: infection found, nothing removed ===\r\n");

    // A second run appends its own record.
    Run({u"-scan", LogSwitch()});
    const std::string both = drivercheck_test::ReadWholeFile(logPath);
    EXPECT_EQ(both.compare(0, log.size(), log), 0);
    EXPECT_EQ(both.substr(log.size(), header.size() + 2), "\r\n" + header);
}

TEST_F(SwitchedRun, RepairWithoutRestartRepairsAndSaysToRestart)
{
    const uint64_t infectedFile = drivercheck_test::FileIndex(driverPath);
    EXPECT_EQ(Run({u"/repair", u"/NoReboot"}), 2);

    EXPECT_EQ(calls, (std::vector<std::string>{"replace", "delete driver file"}));
    EXPECT_EQ(unread, input);
    const std::u16string quarantine = context.QuarantineFolder();
    ASSERT_FALSE(quarantine.empty());
    const std::string ending = "\nInfected Driver: Disinfected\n\nWhat the repair removed is kept in "
        + std::string(quarantine.begin(), quarantine.end()) + "\nRestart Windows to complete the removal.\n";
    ASSERT_GE(transcript.size(), ending.size());
    EXPECT_EQ(transcript.substr(transcript.size() - ending.size()), ending) << transcript;
    EXPECT_EQ(transcript.find("Restarting Windows"), std::string::npos);
    EXPECT_EQ(WithoutVolumeWarning(transcript).find("Warning"), std::string::npos) << transcript;
    EXPECT_NE(drivercheck_test::FileIndex(driverPath), infectedFile);
    EXPECT_EQ(drivercheck_test::ReadWholeFile(driverPath), drivercheck_test::Pattern(70000));
    EXPECT_EQ(drivercheck_test::ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
    EXPECT_FALSE(ReadProgramValue(L"AutomaticRestart")) << "no automatic restart, none recorded";
}

// A replacement that fails (the driver is held open by another process, so
// it cannot give its name up) or that does not hold (the rootkit writes the
// driver back: a raw copy of the driver afterwards still differs from the
// clean copy) is never "Disinfected", ends with 4, and restarts nothing:
// a startup script would otherwise repair and restart at every boot.
TEST_F(SwitchedRun, RepairThatFailsOrDoesNotHoldEndsWithFourAndNoRestart)
{
    for (const bool held : {true, false}) {
        SCOPED_TRACE(held ? "held open" : "written back");
        ResetRawCopySubstitute();
        ASSERT_TRUE(drivercheck_test::WriteWholeFile(driverPath, drivercheck_test::Pattern(70000)));
        PlanRawCopy(DriverName, {held ? SubstituteCopy::Bytes : SubstituteCopy::BytesAlways,
                                 drivercheck_test::Pattern(70000, 9)});
        const uint64_t infectedFile = drivercheck_test::FileIndex(driverPath);
        HANDLE holder = held ? CreateFileW(driverPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, 0, nullptr)
                             : INVALID_HANDLE_VALUE;
        calls.clear();
        const int code = Run({u"/repair"});
        if (holder != INVALID_HANDLE_VALUE)
            CloseHandle(holder);

        // What a replacement that went through moved aside is kept.
        const std::u16string quarantine = context.QuarantineFolder();
        EXPECT_EQ(quarantine.empty(), held);
        const std::string notRemoved =
            "\nInfected Driver: Not removed\nThe infected content of the driver is still on the disk.\n\n"
            + (held ? std::string() : "What the repair removed is kept in "
                       + std::string(quarantine.begin(), quarantine.end()) + "\n")
            + "Windows is not restarted: a step of the repair failed.\n";
        EXPECT_EQ(code, 4);
        EXPECT_EQ(calls, (std::vector<std::string>{"replace", "delete driver file"}));
        EXPECT_EQ(transcript.find("Disinfected"), std::string::npos) << transcript;
        EXPECT_EQ(transcript.find("Restarting Windows"), std::string::npos);
        ASSERT_GE(transcript.size(), notRemoved.size());
        EXPECT_EQ(transcript.substr(transcript.size() - notRemoved.size()), notRemoved) << transcript;
        EXPECT_EQ(transcript.find("Warning: Failed to remove QuorVallin driver infection.\n") != std::string::npos,
                  held);
        EXPECT_EQ(drivercheck_test::FileIndex(driverPath) == infectedFile, held);
        EXPECT_EQ(drivercheck_test::ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
        EXPECT_FALSE(ReadProgramValue(L"AutomaticRestart"));
    }
}

// Another file put under the driver's name during the replacement's pause
// (as Windows File Protection puts its copy of a system file back) is not
// replaced; what the disk holds of it decides: the clean content is the
// repair done, other content a failed repair that says what it found.
TEST_F(SwitchedRun, AFilePutUnderTheNameInThePauseDecidesByItsContentOnTheDisk)
{
    const struct {
        const char* name;
        std::string content;
        int code;
        const char* said;
    } cases[] = {
        {"the clean content", drivercheck_test::Pattern(70000), 2, "\nInfected Driver: Disinfected\n"},
        {"other content", drivercheck_test::Pattern(70000, 5), 4,
         "\nInfected Driver: Not removed\nThe driver on the disk holds neither the clean copy nor the infected "
         "content.\n"},
    };
    const std::wstring putBack = drivercheck_test::DriversFolder() + L"kqvswitch.protected";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetRawCopySubstitute();
        PlanRawCopy(DriverName, {SubstituteCopy::Bytes, drivercheck_test::Pattern(70000, 9)});
        ASSERT_TRUE(drivercheck_test::WriteWholeFile(driverPath, drivercheck_test::Pattern(70000)));
        ASSERT_TRUE(drivercheck_test::WriteWholeFile(putBack, c.content));
        const uint64_t protectedCopy = drivercheck_test::FileIndex(putBack);
        context.replacementCheckpoint = [&](ReplacementPoint point) {
            if (point == ReplacementPoint::Pausing)
                MoveFileExW(putBack.c_str(), driverPath.c_str(), MOVEFILE_REPLACE_EXISTING);
        };
        calls.clear();
        const int code = Run({u"/repair", u"/noreboot"});
        context.replacementCheckpoint = nullptr;
        DeleteFileW(putBack.c_str());

        EXPECT_EQ(code, c.code);
        EXPECT_NE(transcript.find(c.said), std::string::npos) << transcript;
        EXPECT_EQ(drivercheck_test::FileIndex(driverPath), protectedCopy) << "the file put there stays";
        EXPECT_EQ(drivercheck_test::ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
        EXPECT_FALSE(ReadProgramValue(L"Replacement"));
        EXPECT_FALSE(context.QuarantineFolder().empty()) << "the infected file set aside is kept";
    }
}

// The driver cannot be read straight from the disk once replaced: the
// report says so, and claims nothing about what the disk holds.
TEST_F(SwitchedRun, AReReadThatFailsSaysItCouldNotBeVerified)
{
    context.replacementCheckpoint = [](ReplacementPoint point) {
        if (point == ReplacementPoint::MovedIn)
            PlanRawCopy(DriverName, {SubstituteCopy::FailBeforeCreate});
    };
    const int code = Run({u"/repair", u"/noreboot"});
    context.replacementCheckpoint = nullptr;

    EXPECT_EQ(code, 4);
    EXPECT_NE(transcript.find("\nInfected Driver: Not removed\nThe driver could not be read straight from the disk, "
                              "so the repair could not be verified.\n"),
              std::string::npos)
        << transcript;
    EXPECT_EQ(transcript.find("still on the disk"), std::string::npos) << transcript;
    EXPECT_EQ(drivercheck_test::ReadWholeFile(driverPath), drivercheck_test::Pattern(70000));
    EXPECT_EQ(drivercheck_test::ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
}

// The restart a run requests by itself is recorded. A later run that finds
// the infection again repairs, but leaves the restart to a person: its
// repair did not hold the last time. A run that finds the machine clean
// forgets the record.
TEST_F(SwitchedRun, AfterARecordedRestartTheSameInfectionIsNotRestartedAgain)
{
    EXPECT_EQ(Run({u"/repair", LogSwitch()}), 2);
    EXPECT_EQ(calls, (std::vector<std::string>{"replace", "restart (substituted)", "delete driver file"}));
    // The console's "Restarting Windows ...\r\n" keeps its one "\r" in the log.
    const std::string log = drivercheck_test::ReadWholeFile(logPath);
    EXPECT_NE(log.find("\r\nRestarting Windows ...\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("\r\r"), std::string::npos) << log;
    const std::string closing = "\r\n=== Exit code 2: infection removed; restart pending ===\r\n";
    ASSERT_GE(log.size(), closing.size());
    EXPECT_EQ(log.substr(log.size() - closing.size()), closing);
    const std::optional<std::wstring> record = ReadProgramValue(L"AutomaticRestart");
    ASSERT_TRUE(record);
    EXPECT_NE(record->find(L" (kqvswitch.sys)"), std::wstring::npos);

    // The infection is back after the restart.
    ResetRawCopySubstitute();
    ASSERT_TRUE(drivercheck_test::WriteWholeFile(driverPath, drivercheck_test::Pattern(70000)));
    PlanRawCopy(DriverName, {SubstituteCopy::Bytes, drivercheck_test::Pattern(70000, 9)});
    calls.clear();
    EXPECT_EQ(Run({u"/repair"}), 4);
    EXPECT_EQ(calls, (std::vector<std::string>{"replace", "delete driver file"}));
    const std::string line = "Warning: The repair before the automatic restart of "
        + std::string(record->begin(), record->end())
        + " did not hold: QuorVallin was found again. Windows is not restarted.\n";
    const std::vector<std::size_t> at =
        wholerun::FindInOrder(transcript, {"\nInfected Driver: Disinfected\n\n", "What the repair removed is kept in ",
                                           line});
    EXPECT_NE(at.back(), std::string::npos) << transcript;
    EXPECT_EQ(transcript.find("Restarting Windows"), std::string::npos);
    EXPECT_EQ(ReadProgramValue(L"AutomaticRestart"), record) << "kept until the machine is found clean";

    // A clean machine.
    ResetRawCopySubstitute();
    RemovalContext cleanContext;
    const RunPhases clean = wholerun::SubstitutedPhases(cleanContext, wholerun::Reply(HIJACK_TYPE_PLAIN, nullptr));
    EXPECT_EQ(RunWith(clean, {u"/scan"}), 0) << transcript;
    EXPECT_FALSE(ReadProgramValue(L"AutomaticRestart"));
}

// --- a system volume that keeps no owners or access lists --------------------------------------------

// Windows XP installs onto FAT32: Windows answers every security query on
// such a volume with an owner of Everyone and a DACL that lets everyone in.
// The work folder, the quarantine and the restore run there all the same,
// and a run with switches says once that other accounts can change the
// program's files. tests/wine/fat-prefix.sh runs this in a prefix whose C:
// Wine reports as FAT32; elsewhere it is skipped.
TEST_F(SwitchedRun, OnAFat32SystemVolumeTheScanTheRepairAndTheRestoreRunAndSaySo)
{
    wchar_t fileSystem[32] = {};
    DWORD flags = 0;
    ASSERT_TRUE(GetVolumeInformationW(L"C:\\", nullptr, 0, nullptr, nullptr, &flags, fileSystem, 32));
    const bool fat = (flags & FILE_PERSISTENT_ACLS) == 0;
    if (std::getenv("KORVALE_EXPECT_FAT") != nullptr)
        ASSERT_TRUE(fat) << "the prefix's C: was made to be FAT32, and Wine reports it otherwise";
    if (!fat)
        GTEST_SKIP() << "C: keeps access lists in this prefix; tests/wine/fat-prefix.sh runs this test on FAT32";
    const std::string line = "Warning: The system volume C:\\ (" + std::string(fileSystem, fileSystem + lstrlenW(fileSystem)) +
                             ") keeps no owners or access lists: other accounts can change the program's files there "
                             "while it runs.\n";

    EXPECT_EQ(Run({u"/scan"}), 1) << transcript;
    EXPECT_EQ(transcript.find(line), transcript.rfind(line));
    EXPECT_NE(transcript.find(line), std::string::npos) << transcript;
    EXPECT_NE(transcript.find("kqvswitch.sys\t : Infected !\n"), std::string::npos) << transcript;

    EXPECT_EQ(Run({u"/repair", u"/noreboot"}), 2) << transcript;
    EXPECT_NE(transcript.find(line), std::string::npos);
    EXPECT_NE(transcript.find("\nInfected Driver: Disinfected\n\n"), std::string::npos) << transcript;
    EXPECT_EQ(transcript.find("work folder cannot be made"), std::string::npos) << transcript;
    EXPECT_EQ(transcript.find("could not be quarantined"), std::string::npos) << transcript;
    EXPECT_EQ(drivercheck_test::ReadWholeFile(driverPath), drivercheck_test::Pattern(70000));
    const std::u16string quarantine = context.QuarantineFolder();
    ASSERT_FALSE(quarantine.empty()) << transcript;

    // The quarantine gives back what the repair replaced: the driver's bytes
    // as they were on the disk. (The restore is a run of its own: this run's
    // hold on its quarantine ends first.)
    context.quarantine = RunQuarantine{};
    EXPECT_EQ(Run({u"/restore:" + quarantine, u"/overwrite"}), 0) << transcript;
    EXPECT_NE(transcript.find(line), std::string::npos) << transcript;
    EXPECT_NE(transcript.find("Restored: "), std::string::npos) << transcript;
    EXPECT_TRUE(drivercheck_test::ReadWholeFile(driverPath) == drivercheck_test::Pattern(70000, 9))
        << "the driver's raw bytes were not put back";
}

// --- the program's own key, made first by someone else ---------------------------------------------

const wchar_t* const ProgramKey = L"SOFTWARE\\KorvaleNoQuorVallin";

// The descriptors the program hands RegCreateKeyExW for its key: Wine keeps
// a key's owner as given, but a key made without one is owned by the
// Administrators too, so the owner is checked on its way in.
std::vector<std::wstring> keyDescriptors;
decltype(&RegCreateKeyExW) realRegCreateKeyEx;
LSTATUS WINAPI RecordRegCreateKeyEx(HKEY parent, LPCWSTR name, DWORD reserved, LPWSTR type, DWORD options,
                                    REGSAM access, const SECURITY_ATTRIBUTES* attributes, PHKEY key, LPDWORD disposition)
{
    LPWSTR text = nullptr;
    if (lstrcmpiW(name, ProgramKey) == 0 && attributes != nullptr && attributes->lpSecurityDescriptor != nullptr &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(attributes->lpSecurityDescriptor, SDDL_REVISION_1,
                                                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                             &text, nullptr)) {
        keyDescriptors.emplace_back(text);
        LocalFree(text);
    } else if (lstrcmpiW(name, ProgramKey) == 0) {
        keyDescriptors.emplace_back(L"none");
    }
    return realRegCreateKeyEx(parent, name, reserved, type, options, access,
                              const_cast<SECURITY_ATTRIBUTES*>(attributes), key, disposition);
}

// Makes the program's key as another account would (on XP, Power Users may
// create keys under HKLM\SOFTWARE): owned by it, open to Everyone, with a
// value and a subkey of its own. Returns a handle that it keeps open.
// (Wine takes no owner from RegCreateKeyExW's descriptor, so the owner and
// the list are set afterwards.)
HKEY Squat(const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    HKEY key = nullptr, subkey = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, ProgramKey, 0, nullptr, 0, KEY_ALL_ACCESS, &attributes, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor), ERROR_SUCCESS);
    const std::wstring planted = L"kqvswitch.sys|20260101T000000Z|00000000000000000000000000000000|";
    RegSetValueExW(key, L"Replacement", 0, REG_SZ, reinterpret_cast<const BYTE*>(planted.c_str()),
                   static_cast<DWORD>((planted.size() + 1) * sizeof(wchar_t)));
    EXPECT_EQ(RegCreateKeyExW(key, L"planted", 0, nullptr, 0, KEY_ALL_ACCESS, &attributes, &subkey, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(subkey);
    LocalFree(descriptor);
    return key;
}

std::wstring KeyOwner()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ProgramKey, 0, READ_CONTROL, &key) != ERROR_SUCCESS)
        return L"no key";
    BYTE buffer[1024];
    DWORD size = sizeof(buffer);
    std::wstring owner = L"unreadable";
    PSID sid = nullptr;
    BOOL defaulted = FALSE;
    LPWSTR text = nullptr;
    if (RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION, buffer, &size) == ERROR_SUCCESS &&
        GetSecurityDescriptorOwner(buffer, &sid, &defaulted) && ConvertSidToStringSidW(sid, &text)) {
        owner = text;
        LocalFree(text);
    }
    RegCloseKey(key);
    return owner;
}

// A program key that another account made first, or that lets another
// account change it, would keep every repair from writing its journal: it is
// taken over (the Administrators become its owner, it is deleted with what
// it held and made new), the run says so once, and the repair holds. The
// squatter's handle, opened before, can no longer write to the key.
TEST_F(SwitchedRun, ASquattedProgramKeyIsTakenOverAndTheRepairStillHolds)
{
    const struct {
        const char* what;
        const wchar_t* sddl;
        const char* why;
    } cases[] = {
        {"owned by another account", L"O:S-1-5-21-1-2-3-1001D:(A;CI;KA;;;WD)", "is owned by another account"},
        {"owned by the Administrators, writable by Users", L"O:BAD:(A;CI;KA;;;BA)(A;CI;KA;;;BU)",
         "can be changed by accounts other than SYSTEM and the Administrators"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cleanupwine::RemoveKeyTree(ProgramKey);
        ResetRawCopySubstitute();
        ASSERT_TRUE(drivercheck_test::WriteWholeFile(driverPath, drivercheck_test::Pattern(70000)));
        PlanRawCopy(DriverName, {SubstituteCopy::Bytes, drivercheck_test::Pattern(70000, 9)});
        const HKEY squatter = Squat(c.sddl);
        EXPECT_FALSE(ReadProgramValue(L"Replacement")) << "a key that is not trusted is never read";

        keyDescriptors.clear();
        int code = -1;
        {
            winetest::ImportPatch patch{"advapi32.dll", "RegCreateKeyExW", reinterpret_cast<void*>(&RecordRegCreateKeyEx)};
            ASSERT_TRUE(patch.active());
            realRegCreateKeyEx = reinterpret_cast<decltype(&RegCreateKeyExW)>(patch.original());
            code = Run({u"/repair", u"/noreboot"});
        }
        EXPECT_EQ(code, 2) << transcript;
        const std::string line = std::string("The program's registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\KorvaleNoQuorVallin ") +
                                 c.why + "; it was taken over and its values were discarded.\n";
        EXPECT_NE(transcript.find(line), std::string::npos) << transcript;
        EXPECT_EQ(transcript.find(line), transcript.rfind(line)) << "said once";
        EXPECT_NE(transcript.find("\nInfected Driver: Disinfected\n\n"), std::string::npos) << transcript;
        EXPECT_EQ(drivercheck_test::ReadWholeFile(driverPath), drivercheck_test::Pattern(70000));

        ASSERT_FALSE(keyDescriptors.empty());
        for (const std::wstring& given : keyDescriptors)
            EXPECT_EQ(given, L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)");
        EXPECT_EQ(KeyOwner(), L"S-1-5-32-544");
        EXPECT_FALSE(cleanupwine::KeyExists(std::wstring(ProgramKey) + L"\\planted"));
        EXPECT_FALSE(ReadProgramValue(L"Replacement")) << "the journal was cleared, the planted one discarded";
        const std::wstring forged = L"forged";
        EXPECT_NE(RegSetValueExW(squatter, L"AutomaticRestart", 0, REG_SZ, reinterpret_cast<const BYTE*>(forged.c_str()),
                                 static_cast<DWORD>((forged.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS)
            << "the handle opened before the take-over still writes to the program's key";
        RegCloseKey(squatter);
        EXPECT_FALSE(ReadProgramValue(L"AutomaticRestart"));
    }
    cleanupwine::RemoveKeyTree(ProgramKey);
}

// A program key that is a registry link points somewhere else: what is
// written there would land in the link's target, and taking the key apart
// would take the target apart. The link itself is removed; its target is
// left as it was.
TEST_F(SwitchedRun, AProgramKeyThatIsALinkIsRemovedAndItsTargetLeftAlone)
{
    const wchar_t* const target = L"SOFTWARE\\KorvaleLinkTarget";
    cleanupwine::RemoveKeyTree(ProgramKey);
    cleanupwine::RemoveKeyTree(target);
    HKEY targetKey = nullptr, link = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, target, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &targetKey, nullptr),
              ERROR_SUCCESS);
    const std::wstring kept = L"kept";
    RegSetValueExW(targetKey, L"Value", 0, REG_SZ, reinterpret_cast<const BYTE*>(kept.c_str()),
                   static_cast<DWORD>((kept.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(targetKey);
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, ProgramKey, 0, nullptr, REG_OPTION_CREATE_LINK,
                              KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &link, nullptr),
              ERROR_SUCCESS);
    const std::wstring destination = std::wstring(L"\\Registry\\Machine\\") + target;
    ASSERT_EQ(RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(destination.c_str()),
                             static_cast<DWORD>(destination.size() * sizeof(wchar_t))),
              ERROR_SUCCESS);
    RegCloseKey(link);

    EXPECT_EQ(Run({u"/repair", u"/noreboot"}), 2) << transcript;
    EXPECT_NE(transcript.find("The program's registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\KorvaleNoQuorVallin is a link "
                              "to somewhere else; it was taken over and its values were discarded.\n"),
              std::string::npos)
        << transcript;
    HKEY reopened = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, target, 0, KEY_QUERY_VALUE, &reopened), ERROR_SUCCESS)
        << "the link's target was deleted";
    wchar_t value[16] = {};
    DWORD size = sizeof(value);
    EXPECT_EQ(RegQueryValueExW(reopened, L"Value", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(value), kept);
    EXPECT_EQ(RegQueryValueExW(reopened, L"Replacement", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND)
        << "the journal was written through the link";
    RegCloseKey(reopened);
    EXPECT_EQ(KeyOwner(), L"S-1-5-32-544");
    cleanupwine::RemoveKeyTree(ProgramKey);
    cleanupwine::RemoveKeyTree(target);
}

// In the data-stream variant every step of the repair must do its work for
// the run to say 2: a hidden executable not found, no rootkit folder, a
// service key that matches nothing or cannot be deleted each end it with 4,
// with a warning that names the step, and no restart.
TEST_F(SwitchedRun, DataStreamRepairWhoseStepsFindNothingEndsWithFour)
{
    RemovalContext adsContext;
    RunPhases ads = wholerun::SubstitutedPhases(adsContext, wholerun::Reply(HIJACK_TYPE_ADS, DriverInitSignature));
    wholerun::LogPhases(ads, calls);
    const std::wstring service = L"SYSTEM\\ControlSet001\\Services\\KorvaleSwitchAds";
    const bool had001 = cleanupwine::KeyExists(L"SYSTEM\\ControlSet001");
    struct Case {
        const char* name;
        const wchar_t* hiddenImage; // what the stream scan would have found (Wine's finds nothing)
        bool keyWithSubkey;         // the matching service's key cannot be deleted
        std::string registryWarning;
    } cases[] = {
        {"nothing matches", L"", false, "Warning: No QuorVallin service was found in the registry.\n"},
        {"key cannot be deleted", L"kqvsw.dll:x.exe", true, "Warning: Failed to remove QuorVallin registry key.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetRawCopySubstitute();
        ASSERT_TRUE(drivercheck_test::WriteWholeFile(driverPath, drivercheck_test::Pattern(70000)));
        PlanRawCopy(DriverName, {SubstituteCopy::Bytes, drivercheck_test::Pattern(70000, 9)});
        // A Wine prefix has no ControlSet001 until a test makes one.
        ASSERT_TRUE(cleanupwine::MakeService(service, c.keyWithSubkey
                                                          ? std::wstring(L"C:\\windows\\") + c.hiddenImage
                                                          : std::wstring(L"system32\\drivers\\other.sys")));
        if (c.keyWithSubkey)
            ASSERT_TRUE(cleanupwine::MakeService(service + L"\\Parameters", L"x"));
        adsContext.hiddenImageName = c.hiddenImage;
        calls.clear();
        const int code = RunWith(ads, {u"/repair"});
        cleanupwine::RemoveKeyTree(service);

        EXPECT_EQ(code, 4);
        const std::vector<std::size_t> at = wholerun::FindInOrder(
            transcript, {"Warning: The QuorVallin executable hidden in a data stream was not found.\n",
                         "Warning: The QuorVallin folder was not found.\n", c.registryWarning,
                         "\nInfected Driver: Disinfected\n\n",
                         "Windows is not restarted: a step of the repair failed.\n"});
        for (std::size_t i = 0; i < at.size(); ++i)
            EXPECT_NE(at[i], std::string::npos) << i << " in:\n" << transcript;
        EXPECT_EQ(std::count(calls.begin(), calls.end(), std::string("restart (substituted)")), 0);
        EXPECT_NE(drivercheck_test::ReadWholeFile(driverPath), "<missing>");
    }
    if (!had001)
        cleanupwine::RemoveKeyTree(L"SYSTEM\\ControlSet001");
}

TEST_F(SwitchedRun, ALogThatCannotBeOpenedIsReportedAndTheRunGoesOn)
{
    const std::wstring unopenable = drivercheck_test::TemporaryFolder() + L"no such folder\\run.log";
    EXPECT_EQ(Run({u"/scan", u"/log:" + ToU16(unopenable)}), 1);
    EXPECT_EQ(transcript.find("Warning: The log file " + std::string(unopenable.begin(), unopenable.end())
                              + " cannot be opened (error 3).\n"),
              0u)
        << transcript;
    EXPECT_NE(transcript.find("kqvswitch.sys\t : Infected !\n"), std::string::npos);
}

// The owner of a file as GetFileSecurityW reports it, in string form.
std::string OwnerOf(const std::wstring& path)
{
    DWORD needed = 0;
    GetFileSecurityW(path.c_str(), OWNER_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> descriptor(needed);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    wchar_t* text = nullptr;
    if (needed == 0
        || !GetFileSecurityW(path.c_str(), OWNER_SECURITY_INFORMATION, descriptor.data(), needed, &needed)
        || !GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) || owner == nullptr
        || !ConvertSidToStringSidW(owner, &text))
        return "<unreadable>";
    const std::wstring wide(text);
    LocalFree(text);
    return std::string(wide.begin(), wide.end());
}

// A log planted beforehand by another account is not written: one line on
// the console says so, and the run and its code are as without a log.
// Wine records no owner given with SetFileSecurityW; it reports the owner
// from the Unix owner, and any Unix user but its own as Anonymous Logon.
// The Wine tier's script plants such a file (tests/wine/run.sh).
TEST_F(SwitchedRun, ALogOwnedByAnotherAccountIsNotWritten)
{
    const wchar_t* const planted = _wgetenv(L"KORVALE_FOREIGN_LOG");
    if (planted == nullptr || *planted == 0)
        GTEST_SKIP() << "no file of another Unix user was planted (the Wine tier plants one when run as root)";
    const std::wstring path = planted;
    ASSERT_EQ(OwnerOf(path), "S-1-5-7") << "Wine names the other Unix user Anonymous Logon";
    const std::string before = drivercheck_test::ReadWholeFile(path);
    ASSERT_EQ(before, "planted\r\n");

    EXPECT_EQ(Run({u"/scan", u"/log:" + ToU16(path)}), 1);
    EXPECT_EQ(transcript.find("Warning: The log file " + std::string(path.begin(), path.end())
                              + " is owned by another account and is not written.\n"),
              0u)
        << transcript;
    EXPECT_NE(transcript.find("kqvswitch.sys\t : Infected !\n"), std::string::npos) << transcript;
    EXPECT_EQ(drivercheck_test::ReadWholeFile(path), before);
}

// Names that may stand for another file than a log of its own: a second
// hard link, a device.
TEST_F(SwitchedRun, ALogWithASecondNameOrOnADeviceIsNotWritten)
{
    // A second name for the file: the log may be another name of a system file.
    const std::wstring secondName = drivercheck_test::TemporaryFolder() + L"korvale second name.log";
    ASSERT_TRUE(drivercheck_test::WriteWholeFile(secondName, "a system file\r\n"));
    ASSERT_TRUE(CreateHardLinkW(logPath.c_str(), secondName.c_str(), nullptr)) << GetLastError();
    EXPECT_EQ(Run({u"/scan", LogSwitch()}), 1);
    EXPECT_EQ(transcript.find("Warning: The log file " + std::string(logPath.begin(), logPath.end())
                              + " has more than one name (hard links) and is not written.\n"),
              0u)
        << transcript;
    EXPECT_EQ(drivercheck_test::ReadWholeFile(secondName), "a system file\r\n");
    DeleteFileW(secondName.c_str());
    EXPECT_EQ(OpenRunLog(ToU16(logPath)).refusal, LogRefusal::None) << "one name left";

    // A device is not a log.
    const OpenedLog device = OpenRunLog(u"NUL");
    EXPECT_EQ(device.refusal, LogRefusal::NotADiskFile);
    EXPECT_FALSE(device.file.valid());
}

// One run's end: it opens the log, waits for the start, and writes its record.
struct LogWriter {
    std::u16string path;
    HANDLE start;
    UniqueKernelHandle opening{CreateEventW(nullptr, TRUE, FALSE, nullptr)}; // set once it tried to open
    RunLog log;
    bool opened = false;
    bool written = false;
};

DWORD WINAPI OpenLogAndWriteAtStart(void* parameter)
{
    LogWriter& writer = *static_cast<LogWriter*>(parameter);
    const OpenedLog opened = OpenRunLog(writer.path);
    writer.opened = opened.file.valid();
    SetEvent(writer.opening.get());
    WaitForSingleObject(writer.start, INFINITE);
    writer.written = writer.opened && WriteRunLogRecord(opened.file.get(), writer.log);
    return 0;
}

// Two runs appending to one log at the same moment, each on a handle of
// its own: both open it, and each record lands whole at the end, after the
// empty line that separates records.
TEST_F(SwitchedRun, RunsAppendingAtOnceWriteWholeRecords)
{
    ASSERT_TRUE(drivercheck_test::WriteWholeFile(logPath, "earlier record\r\n"));
    const UniqueKernelHandle start(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(start);
    LogWriter writers[2] = {{ToU16(logPath), start.get()}, {ToU16(logPath), start.get()}};
    for (int w = 0; w < 2; ++w) {
        const char name = static_cast<char>('A' + w);
        AppendLogLine(writers[w].log, std::string("=== run ") + name + " ===");
        // Large enough that a record written in pieces would interleave with the other.
        for (int line = 0; line < 40000; ++line)
            AppendLogText(writers[w].log, std::string(1, name) + " line " + std::to_string(line) + "\n");
        AppendLogLine(writers[w].log, std::string("=== end ") + name + " ===");
    }
    HANDLE threads[2];
    for (int w = 0; w < 2; ++w) {
        threads[w] = CreateThread(nullptr, 0, OpenLogAndWriteAtStart, &writers[w], 0, nullptr);
        ASSERT_NE(threads[w], nullptr);
    }
    // Both hold the log open before either writes.
    const HANDLE opening[2] = {writers[0].opening.get(), writers[1].opening.get()};
    EXPECT_EQ(WaitForMultipleObjects(2, opening, TRUE, 30000), WAIT_OBJECT_0);
    SetEvent(start.get());
    EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, 30000), WAIT_OBJECT_0);
    CloseHandle(threads[0]);
    CloseHandle(threads[1]);

    for (const LogWriter& writer : writers) {
        EXPECT_TRUE(writer.opened) << "the log is open to the other run too";
        EXPECT_TRUE(writer.written);
    }
    const std::string a = writers[0].log.record;
    const std::string b = writers[1].log.record;
    const std::string log = drivercheck_test::ReadWholeFile(logPath);
    const std::string earlier = "earlier record\r\n\r\n";
    EXPECT_TRUE(log == earlier + a + "\r\n" + b || log == earlier + b + "\r\n" + a)
        << "the log holds " << log.size() << " bytes, the records " << a.size() << " and " << b.size();
}

// On 32-bit Windows the test binds IsWow64Process by name and gets "no".
TEST(Wow64, BoundByNameAnswersNoInA32BitPrefix)
{
    EXPECT_EQ(QueryWow64(), std::optional<bool>(false));
    RemovalContext context;
    EXPECT_FALSE(ProgramPhases(context).getVersion().wow64);
}

} // namespace
