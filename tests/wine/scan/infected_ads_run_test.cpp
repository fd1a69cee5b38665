// The whole repair of the data-stream variant in one run, in a real prefix:
// the run's own sequence with the real phases, the helper driver really
// deployed and removed, the real driver scan, the real cleanup; only the
// memory outcome, the raw copy and the restart request are substituted
// (WholeRun.hpp). One test driver's raw content differs from its ordinary
// content.
// Wine's stream query is not implemented, so the scan of the Windows
// directory finds nothing there; the name it finds on Windows is put in the
// context before the run, and the test checks that the real scan, finding
// nothing, leaves it as it was for the registry cleanup.

#include "program/deploy/core/Signature.hpp"
#include "tests/wine/CleanupWine.hpp"
#include "tests/wine/DriverCheckFiles.hpp"
#include "tests/wine/scan/RawCopySubstitute.hpp"
#include "tests/wine/scan/WholeRun.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const wchar_t* const DriverName = L"kqvads.sys";
const wchar_t* const ServiceName = L"KorvaleAdsService";
const wchar_t* const HiddenImage = L"kqvads.dll:svc.exe";
const std::wstring FolderName = L"$NtUninstallKB5150$";

using cleanupwine::KeyExists;
using cleanupwine::MakeService;

class InfectedAdsRun : public ::testing::Test {
protected:
    std::wstring driverPath = drivercheck_test::DriversFolder() + DriverName;
    std::wstring folder = cleanupwine::WindowsDirectory() + L"\\" + FolderName;
    bool had001 = KeyExists(L"SYSTEM\\ControlSet001");

    void SetUp() override
    {
        ResetRawCopySubstitute();
        ASSERT_TRUE(drivercheck_test::WriteWholeFile(driverPath, drivercheck_test::Pattern(70000)));
        PlanRawCopy(DriverName, {SubstituteCopy::Bytes, drivercheck_test::Pattern(70000, 9)});

        ASSERT_TRUE(cleanupwine::MakeFolder(folder));
        ASSERT_TRUE(cleanupwine::MakeFile(folder + L"\\@", "MZ rootkit"));
        ASSERT_TRUE(cleanupwine::MakeFile(folder + L"\\x@", "kept"));
        ASSERT_TRUE(cleanupwine::MakeFolder(folder + L"\\sub", FILE_ATTRIBUTE_HIDDEN));
        ASSERT_TRUE(cleanupwine::MakeFile(folder + L"\\sub\\@", "MZ rootkit"));
        ASSERT_TRUE(SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));

        // The service as Windows keeps it (ControlSet001, the set
        // CurrentControlSet shows) and as Wine keeps it (a real
        // CurrentControlSet key).
        const std::wstring image = std::wstring(L"C:\\windows\\") + HiddenImage;
        ASSERT_TRUE(MakeService(std::wstring(L"SYSTEM\\ControlSet001\\Services\\") + ServiceName, image));
        ASSERT_TRUE(MakeService(std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + ServiceName, image));
    }

    void TearDown() override
    {
        DeleteFileW(driverPath.c_str());
        for (const std::wstring& name : drivercheck_test::ReplacementLeftovers(DriverName))
            DeleteFileW((drivercheck_test::DriversFolder() + name).c_str());
        cleanupwine::RemoveTree(folder);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(L"SYSTEM\\ControlSet001\\Services\\") + ServiceName).c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + ServiceName).c_str());
        if (!had001) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SYSTEM\\ControlSet001\\Services");
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SYSTEM\\ControlSet001");
        }
        ResetRawCopySubstitute();
    }
};

TEST_F(InfectedAdsRun, FolderPurgedDriverReplacedServiceKeysGoneTranscriptInOrder)
{
    const uint64_t infectedFile = drivercheck_test::FileIndex(driverPath);
    ASSERT_NE(infectedFile, 0u);

    RemovalContext context;
    context.hiddenImageName = HiddenImage;
    std::vector<std::string> calls;
    std::string hiddenNameAtCleanup;

    RunPhases phases = wholerun::SubstitutedPhases(context, wholerun::Reply(HIJACK_TYPE_ADS, DriverInitSignature));
    phases.cleanServiceRegistry = [&, clean = phases.cleanServiceRegistry] {
        hiddenNameAtCleanup = std::string(context.hiddenImageName.begin(), context.hiddenImageName.end());
        return clean();
    };
    wholerun::LogPhases(phases, calls);

    // The user answers y, then presses a key at the end.
    const wholerun::RunOutcome run = wholerun::RunWithInput(phases, "y\n\n");
    const int exitCode = run.exitCode;
    const std::string& transcript = run.transcript;

    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"journal", "extract", "install", "inspect (substituted)", "stop", "scan",
                                               "ask", "streams", "folder", "replace", "verify", "registry",
                                               "restart (substituted)", "delete driver file"}));

    const std::vector<std::string> pieces = {
        "Korvale Antivirus QuorVallin Removal - v1.0\n",
        "\nSystem Memory: ", "Infected", " By QuorVallin!\n\n",
        "kqvads.sys", "\t : ", "Infected !\n",
        "Are you sure you want to continue disinfection? [y/n] ",
        "\nQuorVallin malicious file: ", "Disinfected\n\n",
        "\nQuorVallin malicious file: ", "Disinfected\n\n",
        "\nQuorVallin Registry key: ", "Disinfected\n\n",
        "\nInfected Driver: ", "Disinfected\n\n",
        "\nRestarting Windows ...\r\n",
        "\nPress any key to exit ...\r\n",
    };
    const std::vector<std::size_t> at = wholerun::FindInOrder(transcript, pieces);
    for (std::size_t i = 0; i < pieces.size(); ++i)
        EXPECT_NE(at[i], std::string::npos) << "piece " << i << " (" << pieces[i] << ") not in order in:\n" << transcript;
    EXPECT_EQ(transcript.find("Warning"), std::string::npos) << "the replacement succeeded";
    EXPECT_EQ(cleanupwine::Count(transcript, "malicious file"), 2);
    EXPECT_EQ(cleanupwine::Count(transcript, "Registry key"), 1);

    // The stream scan found nothing under Wine and left the name in place.
    EXPECT_EQ(hiddenNameAtCleanup, "kqvads.dll:svc.exe");

    // Folder purged: the "@" files gone, everything else in place, folders cleared.
    EXPECT_FALSE(cleanupwine::Exists(folder + L"\\@"));
    EXPECT_FALSE(cleanupwine::Exists(folder + L"\\sub\\@"));
    EXPECT_TRUE(cleanupwine::Exists(folder + L"\\x@"));
    EXPECT_EQ(cleanupwine::Attributes(folder) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), 0u);
    EXPECT_EQ(cleanupwine::Attributes(folder + L"\\sub") & FILE_ATTRIBUTE_HIDDEN, 0u);

    // Driver replaced: another file under the name, with the ordinary
    // content; nothing left aside, staged or in a work folder.
    EXPECT_EQ(context.infectedDriverName, DriverName);
    EXPECT_EQ(drivercheck_test::ReadWholeFile(driverPath), drivercheck_test::Pattern(70000));
    EXPECT_NE(drivercheck_test::FileIndex(driverPath), infectedFile);
    EXPECT_EQ(drivercheck_test::ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
    EXPECT_EQ(drivercheck_test::WorkFoldersLeft(), std::vector<std::wstring>{});

    // Registry keys gone from every control set that had them.
    EXPECT_FALSE(KeyExists(std::wstring(L"SYSTEM\\ControlSet001\\Services\\") + ServiceName));
    EXPECT_FALSE(KeyExists(std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + ServiceName));

    // The helper driver's service and file are gone too.
    EXPECT_FALSE(KeyExists(L"SYSTEM\\CurrentControlSet\\Services\\KorvaleNoQuorvallin"));
}

} // namespace
