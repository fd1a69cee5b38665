// The run of the plain variant and of a clean machine, whole, in a real
// prefix: the run's own sequence with the real phases, the helper driver
// really deployed and removed, the real driver scan and replacement; only
// the memory outcome, the raw copy and the restart request are substituted
// (WholeRun.hpp). One test driver's raw content differs from its ordinary
// content; the prefix's own drivers are copied with their ordinary content.
// Each run's transcript is checked whole.

#include "program/deploy/core/Signature.hpp"
#include "tests/wine/CleanupWine.hpp"
#include "tests/wine/DriverCheckFiles.hpp"
#include "tests/wine/scan/RawCopySubstitute.hpp"
#include "tests/wine/scan/WholeRun.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace drivercheck_test;

namespace {

const wchar_t* const DriverName = L"kqvplain.sys";

const std::string Question = "\n\nWindows will be automatically restarted after disinfection.\n"
                             "Please be sure to save all files and close all open programs before continuing.\n"
                             "Are you sure you want to continue disinfection? [y/n] ";
const std::string InfectedMemory = "\nSystem Memory: Infected By QuorVallin!\n\n";
const std::string CleanMemory = "\nSystem Memory: Clean\n\n";
// The repair report names the run's quarantine, which holds the infected
// driver as its raw copy read it.
std::string Repaired(const RemovalContext& context)
{
    const std::u16string folder = context.QuarantineFolder();
    return "\nInfected Driver: Disinfected\n\nWhat the repair removed is kept in "
        + std::string(folder.begin(), folder.end()) + "\n\nRestarting Windows ...\r\n";
}
const std::string CleanReport = "\nNo instances of QuorVallin was found.\n\n";
const std::string ExitPrompt = "\nPress any key to exit ...\r\n";

// The banner's text, which is ASCII.
std::string Banner()
{
    std::string text;
    for (const char16_t* c = BannerText; *c != 0; ++c)
        text += static_cast<char>(*c);
    return text;
}

class WholeRun : public ::testing::Test {
protected:
    std::wstring driverPath = DriversFolder() + DriverName;

    void SetUp() override
    {
        ResetRawCopySubstitute();
        ASSERT_TRUE(WriteWholeFile(driverPath, Pattern(70000)));
        PlanRawCopy(DriverName, {SubstituteCopy::Bytes, Pattern(70000, 9)});
    }

    void TearDown() override
    {
        DeleteFileW(driverPath.c_str());
        for (const std::wstring& name : ReplacementLeftovers(DriverName))
            DeleteFileW((DriversFolder() + name).c_str());
        ResetRawCopySubstitute();
    }

    // What a run writes up to the end of the scan: the banner, the memory
    // report, the empty line of the helper driver's removal, one line per
    // judged driver (the test driver infected, the prefix's own clean).
    static std::string UpToTheScan(const std::string& memoryReport)
    {
        std::string text = Banner() + "\n\n" + memoryReport + "\n";
        for (const std::wstring& name : JudgedDriversInSearchOrder()) {
            std::string field(name.begin(), name.end()); // the drivers' names are ASCII
            if (field.size() < 10)
                field.append(10 - field.size(), ' ');
            text += field + (name == DriverName ? "\t : Infected !\n" : "\t : Clean \n");
        }
        return text;
    }

    // Nothing of the run is left: no helper driver service, no work folder
    // with the driver file and the raw copies, nothing staged or set aside
    // in the drivers folder.
    static void ExpectNothingLeft()
    {
        EXPECT_FALSE(cleanupwine::KeyExists(L"SYSTEM\\CurrentControlSet\\Services\\KorvaleNoQuorvallin"));
        EXPECT_EQ(WorkFoldersLeft(), std::vector<std::wstring>{});
        EXPECT_EQ(ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
    }
};

// Answers to the restart question: y repairs and restarts; n, another word
// and then n, or the end of the input leave everything as it was.
TEST_F(WholeRun, InfectedBranchFollowsTheAnswer)
{
    const std::vector<std::string> upToAsk = {"journal", "extract", "install", "inspect (substituted)", "stop", "scan",
                                              "ask"};
    const struct {
        const char* name;
        std::string input;
        std::string afterScan; // the repair report comes before the exit prompt
        bool repaired;
    } cases[] = {
        {"y", "y\n\n", Question, true},
        {"n", "n\n\n", Question + ExitPrompt, false},
        {"another word, then n", "maybe\nn\n\n",
         Question + "Please be sure to save all files and close all open programs before continuing.\n"
                    "Are you sure you want to continue disinfection? [y/n] " + ExitPrompt,
         false},
        {"end of input", "", Question + ExitPrompt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetRawCopySubstitute();
        PlanRawCopy(DriverName, {SubstituteCopy::Bytes, Pattern(70000, 9)});
        ASSERT_TRUE(WriteWholeFile(driverPath, Pattern(70000)));
        const uint64_t infectedFile = FileIndex(driverPath);
        ASSERT_NE(infectedFile, 0u);

        RemovalContext context;
        RunPhases phases =
            wholerun::SubstitutedPhases(context, wholerun::Reply(HIJACK_TYPE_PLAIN, CreateDispatchSignature));
        std::vector<std::string> calls;
        wholerun::LogPhases(phases, calls);
        const wholerun::RunOutcome run = wholerun::RunWithInput(phases, c.input);

        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(context.QuarantineFolder().empty(), !c.repaired);
        EXPECT_EQ(run.transcript,
                  UpToTheScan(InfectedMemory) + c.afterScan + (c.repaired ? Repaired(context) + ExitPrompt : ""));
        std::vector<std::string> expectedCalls = upToAsk;
        if (c.repaired) {
            expectedCalls.push_back("replace");
            expectedCalls.push_back("verify");
            expectedCalls.push_back("restart (substituted)");
        }
        expectedCalls.push_back("delete driver file");
        EXPECT_EQ(calls, expectedCalls);
        EXPECT_EQ(context.infectedDriverName, DriverName);

        // Replaced (and the raw copy of what now stands there is the clean
        // content): another file under the name, with the ordinary content.
        // Otherwise: the very file that was there.
        EXPECT_EQ(ReadWholeFile(driverPath), Pattern(70000));
        if (c.repaired)
            EXPECT_NE(FileIndex(driverPath), infectedFile);
        else
            EXPECT_EQ(FileIndex(driverPath), infectedFile);
        ExpectNothingLeft();
    }
}

// A clean memory report wins over the scan: the infected driver the scan
// found is reported, but nothing is asked and nothing repaired.
TEST_F(WholeRun, CleanMemoryGivesTheCleanReportAndRepairsNothing)
{
    const uint64_t driverFile = FileIndex(driverPath);
    ASSERT_NE(driverFile, 0u);

    RemovalContext context;
    RunPhases phases = wholerun::SubstitutedPhases(context, wholerun::Reply(HIJACK_TYPE_PLAIN, nullptr));
    std::vector<std::string> calls;
    wholerun::LogPhases(phases, calls);
    const wholerun::RunOutcome run = wholerun::RunWithInput(phases, "y\n\n");

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.transcript, UpToTheScan(CleanMemory) + CleanReport + ExitPrompt);
    EXPECT_EQ(calls, (std::vector<std::string>{"journal", "extract", "install", "inspect (substituted)", "stop", "scan",
                                               "delete driver file"}));
    EXPECT_EQ(FileIndex(driverPath), driverFile);
    ExpectNothingLeft();
}

// Without switches, a work folder that cannot be made (here a temporary
// folder too long for its paths) ends the run after its line, and the
// console waits for a key, so that a console opened by a double click can
// be read. Nothing else runs.
TEST_F(WholeRun, AWorkFolderThatCannotBeMadeIsFollowedByTheExitPrompt)
{
    RemovalContext context;
    RunPhases phases = wholerun::SubstitutedPhases(context, wholerun::Reply(HIJACK_TYPE_PLAIN, nullptr));
    std::vector<std::string> calls;
    wholerun::LogPhases(phases, calls);
    wholerun::Logged(phases.waitForKey, "key", calls);
    const std::wstring tooLong = L"C:\\" + std::wstring(300, L'k');
    wholerun::RunOutcome run;
    {
        const TemporaryFolderSwitch noTemporaryFolder(tooLong, L"C:\\");
        run = wholerun::RunWithInput(phases, "\n");
    }

    const std::string line = "The program's work folder cannot be made in the temporary folder ";
    EXPECT_EQ(run.transcript.rfind(Banner() + "\n\n" + line, 0), 0u) << run.transcript;
    const std::string ending = ").\n" + ExitPrompt;
    ASSERT_GE(run.transcript.size(), ending.size());
    EXPECT_EQ(run.transcript.substr(run.transcript.size() - ending.size()), ending) << run.transcript;
    EXPECT_EQ(calls, (std::vector<std::string>{"journal", "key"}));
    EXPECT_EQ(WorkFoldersLeft(), std::vector<std::wstring>{});
}

} // namespace
