// Whole runs started with switches, in a real prefix: the program's own
// command-line run with the real phases, the helper driver really deployed
// and removed, the real driver scan and repair. Substituted are only the
// memory outcome (Wine's kernel has no disk driver to inspect), the raw
// copy (this binary's substitute engine) and the restart request.

#include "program/deploy/core/Signature.hpp"
#include "program/run/ProgramRun.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/Wide.hpp"
#include "program/run/WinConsole.hpp"
#include "tests/wine/DriverCheckFiles.hpp"
#include "tests/wine/scan/RawCopySubstitute.hpp"
#include "tests/wine/scan/WholeRun.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const wchar_t* const DriverName = L"kqvswitch.sys";

class SwitchedRun : public ::testing::Test {
protected:
    std::wstring driverPath = drivercheck_test::DriversFolder() + DriverName;
    std::wstring quarantinePath = drivercheck_test::DriversFolder() + L"infected.bad";
    std::wstring logPath = drivercheck_test::TemporaryFolder() + L"korvale switches.log";
    RemovalContext context;
    RunPhases phases = wholerun::SubstitutedPhases(context, wholerun::Reply(HIJACK_TYPE_ADS, DriverInitSignature));
    std::vector<std::string> calls;
    std::string transcript;
    // Input waiting on standard input, and what of it the run left unread.
    std::string input = "y\n\n";
    std::string unread;

    void SetUp() override
    {
        ResetRawCopySubstitute();
        DeleteFileW(logPath.c_str());
        ASSERT_TRUE(drivercheck_test::WriteWholeFile(driverPath, drivercheck_test::Pattern(70000)));
        PlanRawCopy(DriverName, {SubstituteCopy::Bytes, drivercheck_test::Pattern(70000, 9)});

        wholerun::Logged(phases.askRestartConsent, "ask", calls);
        wholerun::Logged(phases.scanWindowsDirectoryStreams, "streams", calls);
        wholerun::Logged(phases.replaceInfectedDriver, "replace", calls);
        wholerun::Logged(phases.restartWindows, "restart (substituted)", calls);
        wholerun::Logged(phases.waitForKey, "key", calls);
        wholerun::Logged(phases.deleteDriverFile, "delete driver file", calls);
    }

    void TearDown() override
    {
        DeleteFileW(driverPath.c_str());
        DeleteFileW(quarantinePath.c_str());
        DeleteFileW((drivercheck_test::TemporaryFolder() + DriverName).c_str());
        DeleteFileW(logPath.c_str());
        ResetRawCopySubstitute();
    }

    int Run(const std::vector<std::u16string>& arguments)
    {
        std::istringstream in(input);
        std::ostringstream out;
        std::streambuf* const savedIn = std::cin.rdbuf(in.rdbuf());
        std::streambuf* const savedOut = std::cout.rdbuf(out.rdbuf());
        const int code = RunProgram(arguments, phases);
        std::cout.rdbuf(savedOut);
        std::cin.rdbuf(savedIn);
        transcript = out.str();
        unread = in.str().substr(static_cast<std::size_t>(in.tellg()));
        return code;
    }

    std::u16string LogSwitch() const { return u"/log:" + ToU16(logPath); }
};

std::string WithConsoleLineEnds(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
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
              WithConsoleLineEnds(transcript) + "=== Exit code 1: infection found, nothing removed ===\r\n");

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

    EXPECT_EQ(calls, (std::vector<std::string>{"streams", "replace", "delete driver file"}));
    EXPECT_EQ(unread, input);
    const std::string ending = "\nInfected Driver: Disinfected\n\nRestart Windows to complete the removal.\n";
    ASSERT_GE(transcript.size(), ending.size());
    EXPECT_EQ(transcript.substr(transcript.size() - ending.size()), ending) << transcript;
    EXPECT_EQ(transcript.find("Restarting Windows"), std::string::npos);
    EXPECT_EQ(transcript.find("Warning"), std::string::npos);
    EXPECT_NE(drivercheck_test::FileIndex(driverPath), infectedFile);
    EXPECT_EQ(drivercheck_test::ReadWholeFile(driverPath), drivercheck_test::Pattern(70000));
    EXPECT_FALSE(drivercheck_test::PathExists(quarantinePath));
}

TEST_F(SwitchedRun, RepairWhoseReplacementFailsEndsWithCodeFour)
{
    // An "infected.bad" left by an earlier run stops the replacement.
    ASSERT_TRUE(drivercheck_test::WriteWholeFile(quarantinePath, "left"));
    const uint64_t infectedFile = drivercheck_test::FileIndex(driverPath);
    EXPECT_EQ(Run({u"/repair"}), 4);

    EXPECT_EQ(calls, (std::vector<std::string>{"streams", "replace", "restart (substituted)", "delete driver file"}));
    EXPECT_EQ(unread, input);
    EXPECT_NE(transcript.find("Warning: Failed to remove QuorVallin driver infection.\n"), std::string::npos)
        << transcript;
    EXPECT_EQ(drivercheck_test::FileIndex(driverPath), infectedFile);
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

// On 32-bit Windows the test binds IsWow64Process by name and gets "no".
TEST(Wow64, BoundByNameAnswersNoInA32BitPrefix)
{
    EXPECT_EQ(QueryWow64(), std::optional<bool>(false));
    RemovalContext context;
    EXPECT_FALSE(ProgramPhases(context).getVersion().wow64);
}

} // namespace
