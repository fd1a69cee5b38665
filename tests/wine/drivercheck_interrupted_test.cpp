// A driver replacement cut short: this test binary starts itself again as
// a second process that replaces a driver in the prefix's drivers folder
// and waits at one point of the replacement, and the test ends it there
// with TerminateProcess, as a power cut or a crash would. The next run
// finds the journal, completes or undoes the replacement, and says so; in
// every case the driver stands under its name with the content expected.

#include "program/run/ProgramKey.hpp"
#include "program/run/RemovalContext.hpp"
#include "tests/wine/CleanupWine.hpp"
#include "tests/wine/DriverCheckFiles.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace drivercheck_test;

namespace {

const wchar_t DriverName[] = L"kqvkill.sys";
const wchar_t* const StopAtVariable = L"KORVALE_TEST_STOP_AT";
const wchar_t* const ReachedEvent = L"KorvaleTestReplacementStopped";

// In the second process: replaces the driver and stops at the point named
// in the environment until it is ended. Runs before the tests would.
struct StoppedReplacement {
    StoppedReplacement()
    {
        wchar_t point[8] = {};
        if (GetEnvironmentVariableW(StopAtVariable, point, 8) == 0)
            return;
        const int stopAt = _wtoi(point);
        RemovalContext context;
        context.infectedDriverName = DriverName;
        context.replacementCheckpoint = [stopAt](ReplacementPoint reached) {
            if (static_cast<int>(reached) != stopAt)
                return;
            HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, ReachedEvent);
            if (event != nullptr)
                SetEvent(event);
            Sleep(INFINITE);
        };
        context.ReplaceInfectedDriver();
        ExitProcess(3); // the point was never reached
    }
} stoppedReplacement;

class InterruptedReplacement : public ::testing::Test {
protected:
    std::wstring driver = DriversFolder() + DriverName;
    const std::string content = Pattern(70000, 13);

    void SetUp() override
    {
        DeleteProgramValue(L"Replacement");
        ASSERT_EQ(ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
        ASSERT_TRUE(WriteWholeFile(driver, content));
    }
    void TearDown() override
    {
        DeleteFileW(driver.c_str());
        for (const std::wstring& name : ReplacementLeftovers(DriverName))
            DeleteFileW((DriversFolder() + name).c_str());
        DeleteProgramValue(L"Replacement");
    }

    // Runs the replacement in a second process and ends that process at the
    // point; false when the point was not reached within 30 seconds.
    static bool ReplaceAndKillAt(ReplacementPoint point)
    {
        HANDLE reached = CreateEventW(nullptr, TRUE, FALSE, ReachedEvent);
        if (reached == nullptr)
            return false;
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring commandLine = std::wstring(L"\"") + self + L"\"";
        SetEnvironmentVariableW(StopAtVariable, std::to_wstring(static_cast<int>(point)).c_str());
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        const BOOL started = CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                            &startup, &process);
        SetEnvironmentVariableW(StopAtVariable, nullptr);
        bool stopped = false;
        if (started) {
            HANDLE waits[2] = {reached, process.hProcess};
            stopped = WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
            TerminateProcess(process.hProcess, 9);
            WaitForSingleObject(process.hProcess, 30000);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        CloseHandle(reached);
        return stopped;
    }

    static std::string NextRunStarts()
    {
        RemovalContext next;
        cleanupwine::CapturedOutput output;
        next.CompleteInterruptedReplacement();
        return output.text();
    }
};

TEST_F(InterruptedReplacement, TheNextRunCompletesOrUndoesItAtEveryPoint)
{
    const struct {
        ReplacementPoint point;
        const char* name;
        bool cleanCopyInPlace; // another file, the clean copy, ends under the name
        const char* said;
    } cases[] = {
        {ReplacementPoint::Journaled, "after the journal", false,
         "the replacement had not begun; the driver is as it was"},
        {ReplacementPoint::Staged, "after staging", false,
         "the driver had not been replaced; the copy made for it was removed"},
        {ReplacementPoint::SetAside, "after setting aside", false,
         "the driver had not been replaced; the copies made for it were removed"},
        {ReplacementPoint::Pausing, "during the pause", false,
         "the driver had not been replaced; the copies made for it were removed"},
        {ReplacementPoint::MovedIn, "after the replacing move", true,
         "the clean copy was in place; the replacement was completed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteWholeFile(driver, content));
        const uint64_t infectedFile = FileIndex(driver);
        ASSERT_TRUE(ReplaceAndKillAt(c.point)) << "the second process did not reach the point";
        ASSERT_TRUE(ReadProgramValue(L"Replacement")) << "the journal was left";
        EXPECT_TRUE(PathExists(driver)) << "the driver's name stood empty";

        const std::string said = NextRunStarts();

        EXPECT_EQ(said.rfind("Found an interrupted replacement of kqvkill.sys (begun ", 0), 0u) << said;
        EXPECT_NE(said.find(std::string("): ") + c.said + ".\n"), std::string::npos) << said;
        EXPECT_EQ(ReadWholeFile(driver), content);
        EXPECT_EQ(FileIndex(driver) != infectedFile, c.cleanCopyInPlace);
        EXPECT_EQ(ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
        EXPECT_FALSE(ReadProgramValue(L"Replacement")) << "the journal is cleared once the replacement is whole";
        EXPECT_EQ(NextRunStarts(), "") << "a run after that finds nothing to finish";
    }
}

// Cut short in the pause, and the clean copy lost as well: the set-aside
// name is a hard link of the driver still in place, which the next run
// removes as a name only; nothing is taken for the infected file.
TEST_F(InterruptedReplacement, ASetAsideLinkOfTheDriverInPlaceIsRemovedAsANameOnly)
{
    const uint64_t infectedFile = FileIndex(driver);
    ASSERT_TRUE(ReplaceAndKillAt(ReplacementPoint::Pausing));
    const std::vector<std::wstring> staged = EntriesOf(DriversFolder(), std::wstring(DriverName) + L".*.new");
    const std::vector<std::wstring> aside = EntriesOf(DriversFolder(), std::wstring(DriverName) + L".*.bad");
    ASSERT_EQ(staged.size(), 1u);
    ASSERT_EQ(aside.size(), 1u);
    ASSERT_EQ(FileIndex(DriversFolder() + aside.front()), infectedFile) << "set aside as a second name";
    ASSERT_TRUE(DeleteFileW((DriversFolder() + staged.front()).c_str()));
    const std::vector<std::wstring> quarantined = QuarantineRuns();

    const std::string said = NextRunStarts();

    EXPECT_NE(said.find("the driver had not been replaced; the copies made for it were removed.\n"),
              std::string::npos)
        << said;
    EXPECT_EQ(QuarantineRuns(), quarantined) << "the driver in place was kept as if removed";
    EXPECT_EQ(FileIndex(driver), infectedFile);
    EXPECT_EQ(ReadWholeFile(driver), content);
    EXPECT_EQ(ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
    EXPECT_FALSE(ReadProgramValue(L"Replacement"));
}

// A journal that would lead out of the drivers folder is not followed.
TEST_F(InterruptedReplacement, AJournalNamingNoDriverOfTheFolderIsRemovedUntouched)
{
    ASSERT_TRUE(WriteProgramValue(
        L"Replacement", L"..\\kqvkill.sys|20261210T114005Z|0123456789abcdef0123456789abcdef|"));
    const std::string said = NextRunStarts();
    EXPECT_EQ(said, "A driver replacement journal that names no driver of this machine was found and removed.\n");
    EXPECT_FALSE(ReadProgramValue(L"Replacement"));
    EXPECT_EQ(ReadWholeFile(driver), content);
}

} // namespace
