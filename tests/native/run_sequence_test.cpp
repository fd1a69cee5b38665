// The run's decisions: which phases run in which order, and what the
// console shows, for the outcomes and answers a run can meet.

#include "program/run/core/RunSequence.hpp"
#include "tests/native/RecordingConsole.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string Banner = "Korvale Antivirus QuorVallin Removal - v1.0\nKorvale Antivirus Research Labs\n\n";
const std::string ExitPrompt = "\nPress any key to exit ...\r\n";
const std::string RepairReport = "\nInfected Driver: <c10>Disinfected\n\n<c15>\nRestarting Windows ...\r\n";

struct Scenario {
    const char* name;
    OsVersion version{2, 6};
    bool admin = true;
    bool extracted = true;
    ServiceHandles handles{reinterpret_cast<void*>(1), reinterpret_cast<void*>(2)};
    int32_t outcome = Clean;
    bool driverInfected = false;
    bool consent = false;
    bool replaced = true;
    std::vector<std::string> expectedCalls;
    std::string expectedTranscript;
};

// Builds phases that record every call and answer from the scenario.
struct Recorder {
    std::vector<std::string> calls;
    RunPhases phases;

    explicit Recorder(const Scenario& s)
    {
        auto note = [this](const char* name) { calls.emplace_back(name); };
        phases.enableDebugPrivilege = [=] { note("debug"); };
        phases.setConsoleTitle = [=](std::u16string_view title) {
            EXPECT_EQ(title, std::u16string_view(ConsoleTitleText));
            note("title");
        };
        phases.getVersion = [=] { note("version"); return s.version; };
        phases.isUserAnAdmin = [=] { note("admin"); return s.admin; };
        phases.extractDriver = [=] { note("extract"); return s.extracted; };
        phases.installAndStartDriver = [=] { note("install"); return s.handles; };
        phases.inspectSystemMemory = [=] { note("inspect"); return s.outcome; };
        phases.stopAndDeleteDriver = [=](ServiceHandles h) {
            note("stop");
            EXPECT_EQ(h.manager, s.handles.manager);
            EXPECT_EQ(h.service, s.handles.service);
            return h.manager != nullptr && h.service != nullptr;
        };
        phases.scanSystemDrivers = [=] { note("scan"); return s.driverInfected; };
        phases.askRestartConsent = [=] { note("ask"); return s.consent; };
        phases.scanWindowsDirectoryStreams = [=] { note("streams"); };
        phases.removeRootkitFolder = [=] { note("folder"); };
        phases.replaceInfectedDriver = [=] { note("replace"); return s.replaced; };
        phases.cleanServiceRegistry = [=] { note("registry"); };
        phases.restartWindows = [=] { note("restart"); return true; };
        phases.sleep = [=](uint32_t ms) { EXPECT_EQ(ms, 2000u); note("sleep"); };
        phases.waitForKey = [=] { note("key"); };
        phases.deleteDriverFile = [=] { note("delete"); return true; };
    }
};

const std::vector<std::string> Start{"debug", "title", "version", "admin", "extract", "install", "inspect", "stop", "scan"};

std::vector<std::string> Calls(std::vector<std::string> middle)
{
    std::vector<std::string> all = Start;
    all.insert(all.end(), middle.begin(), middle.end());
    all.push_back("key");
    all.push_back("delete");
    return all;
}

std::vector<Scenario> Scenarios()
{
    std::vector<Scenario> list;
    Scenario s;

    s = {"clean"};
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + "\n<c10>\nNo instances of QuorVallin was found.\n\n<c15>" + ExitPrompt;
    list.push_back(s);

    s = {"clean_while_scan_found_driver"};
    s.driverInfected = true;
    s.consent = true;
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + "\n<c10>\nNo instances of QuorVallin was found.\n\n<c15>" + ExitPrompt;
    list.push_back(s);

    s = {"scan_error_ignores_infected_driver"};
    s.outcome = ScanError;
    s.driverInfected = true;
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + "\nWarning: Failed to remove QuorVallin infection.\n" + ExitPrompt;
    list.push_back(s);

    s = {"outcome_outside_range"};
    s.outcome = 7;
    s.driverInfected = true;
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + "\n" + ExitPrompt;
    list.push_back(s);

    s = {"infected_without_infected_driver"};
    s.outcome = Infected;
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + "\n" + ExitPrompt;
    list.push_back(s);

    s = {"infected_answer_n"};
    s.outcome = Infected;
    s.driverInfected = true;
    s.expectedCalls = Calls({"ask"});
    s.expectedTranscript = Banner + "\n" + ExitPrompt;
    list.push_back(s);

    s = {"infected_answer_y"};
    s.outcome = Infected;
    s.driverInfected = true;
    s.consent = true;
    s.expectedCalls = Calls({"ask", "replace", "sleep", "restart"});
    s.expectedTranscript = Banner + "\n" + RepairReport + ExitPrompt;
    list.push_back(s);

    s = {"infected_failed_replacement_not_reported"};
    s.outcome = Infected;
    s.driverInfected = true;
    s.consent = true;
    s.replaced = false;
    s.expectedCalls = Calls({"ask", "replace", "sleep", "restart"});
    s.expectedTranscript = Banner + "\n" + RepairReport + ExitPrompt;
    list.push_back(s);

    s = {"ads_without_infected_driver"};
    s.outcome = InfectedAds;
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + "\n" + ExitPrompt;
    list.push_back(s);

    s = {"ads_answer_n"};
    s.outcome = InfectedAds;
    s.driverInfected = true;
    s.expectedCalls = Calls({"ask"});
    s.expectedTranscript = Banner + "\n" + ExitPrompt;
    list.push_back(s);

    s = {"ads_answer_y"};
    s.outcome = InfectedAds;
    s.driverInfected = true;
    s.consent = true;
    s.expectedCalls = Calls({"ask", "streams", "folder", "replace", "registry", "sleep", "restart"});
    s.expectedTranscript = Banner + "\n" + RepairReport + ExitPrompt;
    list.push_back(s);

    s = {"ads_failed_replacement_warns_and_goes_on"};
    s.outcome = InfectedAds;
    s.driverInfected = true;
    s.consent = true;
    s.replaced = false;
    s.expectedCalls = Calls({"ask", "streams", "folder", "replace", "registry", "sleep", "restart"});
    s.expectedTranscript = Banner + "\nWarning: Failed to remove QuorVallin driver infection.\n" + RepairReport + ExitPrompt;
    list.push_back(s);

    s = {"missing_service_handle"};
    s.handles.service = nullptr;
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + "hello \n<c10>\nNo instances of QuorVallin was found.\n\n<c15>" + ExitPrompt;
    list.push_back(s);

    s = {"missing_manager_handle"};
    s.handles = ServiceHandles{};
    s.outcome = ScanError;
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + "hello \nWarning: Failed to remove QuorVallin infection.\n" + ExitPrompt;
    list.push_back(s);

    s = {"extraction_failure"};
    s.extracted = false;
    s.expectedCalls = {"debug", "title", "version", "admin", "extract"};
    s.expectedTranscript = Banner;
    list.push_back(s);

    s = {"not_an_administrator"};
    s.admin = false;
    s.expectedCalls = {"debug", "title", "version", "admin"};
    s.expectedTranscript = Banner + "Administrator privileges is required for this removal to work!\n";
    list.push_back(s);

    for (OsVersion refused : {OsVersion{0, 0}, OsVersion{1, 6}, OsVersion{2, 4}}) {
        s = {"version_refused"};
        s.version = refused;
        s.expectedCalls = {"debug", "title", "version"};
        s.expectedTranscript = Banner + "Windows XP SP3 or later is required!\n";
        list.push_back(s);
    }

    s = {"windows_2000_passes_version_test"};
    s.version = OsVersion{2, 5};
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + "\n<c10>\nNo instances of QuorVallin was found.\n\n<c15>" + ExitPrompt;
    list.push_back(s);
    return list;
}

class RunSequence : public testing::TestWithParam<Scenario> {};

TEST_P(RunSequence, CallsPhasesAndWritesTranscript)
{
    const Scenario& s = GetParam();
    Recorder recorder(s);
    RecordingConsole console;
    EXPECT_EQ(RunRemoval(recorder.phases, console.sink), 0);
    EXPECT_EQ(recorder.calls, s.expectedCalls);
    EXPECT_EQ(console.transcript, s.expectedTranscript);
}

INSTANTIATE_TEST_SUITE_P(Cases, RunSequence, testing::ValuesIn(Scenarios()),
                         [](const testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name) + "_" + std::to_string(info.index);
                         });

// The restart question, word by word.
struct ConsentCase {
    const char* input;
    bool answer;
    int repeats; // how often the repeated question is written
};

class RestartConsent : public testing::TestWithParam<ConsentCase> {};

TEST_P(RestartConsent, ReadsWordByWord)
{
    const ConsentCase& c = GetParam();
    std::istringstream in(c.input);
    RecordingConsole console;
    EXPECT_EQ(AskRestartConsentOn(in, console.sink), c.answer);

    const std::string question =
        "Please be sure to save all files and close all open programs before continuing.\n"
        "Are you sure you want to continue disinfection? [y/n] ";
    std::string expected = "\n\nWindows will be automatically <c10>restarted <c15>after disinfection.\n" + question;
    for (int i = 0; i < c.repeats; ++i)
        expected += question;
    EXPECT_EQ(console.transcript, expected);
}

INSTANTIATE_TEST_SUITE_P(Answers, RestartConsent,
                         testing::Values(ConsentCase{"y\n", true, 0}, ConsentCase{"n\n", false, 0},
                                         ConsentCase{"Y\nn\n", false, 1}, ConsentCase{"yes\ny\n", true, 1},
                                         ConsentCase{"  y  \n", true, 0}, ConsentCase{"x y\n", true, 1},
                                         ConsentCase{"a b\nn", false, 2}, ConsentCase{"\n\n   \ny\n", true, 0},
                                         ConsentCase{"", false, 0}, ConsentCase{"maybe\n", false, 1},
                                         ConsentCase{"N no yy\t\ty", true, 3}));

// The exit prompt that follows reads one character from the same input: it
// must wait for a key of its own, not take the answer's line end.
TEST(RestartConsent, TheAnswersLineIsNotTakenForTheExitKey)
{
    for (const char* input : {"y\nK", "n  \nK", "x y z\nK", "Y\nn\nK"}) {
        std::istringstream in(input);
        RecordingConsole console;
        AskRestartConsentOn(in, console.sink);
        EXPECT_EQ(in.get(), 'K') << input;
    }
    std::istringstream last("y");
    RecordingConsole console;
    EXPECT_TRUE(AskRestartConsentOn(last, console.sink));
}

TEST(RestartConsent, StopsWhenTheStreamFails)
{
    std::istringstream in("q");
    in.setstate(std::ios::badbit);
    RecordingConsole console;
    EXPECT_FALSE(AskRestartConsentOn(in, console.sink));
}

} // namespace
