// The run's decisions: which phases run in which order, and what the
// console shows, for the outcomes and answers a run can meet.

#include "program/run/core/RunSequence.hpp"
#include "tests/native/RecordingConsole.hpp"
#include "tests/native/RecordingPhases.hpp"

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
    PhaseAnswers answers;
    std::vector<std::string> expectedCalls;
    std::string expectedTranscript;
};

void PrintTo(const Scenario& s, std::ostream* out) { *out << s.name; }

const std::vector<std::string> Start{"debug", "title", "version", "admin", "journal", "extract", "install", "inspect",
                                     "stop", "scan"};

std::vector<std::string> Calls(std::vector<std::string> middle)
{
    std::vector<std::string> all = Start;
    all.insert(all.end(), middle.begin(), middle.end());
    all.push_back("key");
    all.push_back("delete");
    return all;
}

const std::string CleanReport = "\n<c10>\nNo instances of QuorVallin was found.\n\n<c15>";
const std::string NotRemovedReport =
    "\nInfected Driver: <c12>Not removed<c15>\nThe infected content of the driver is still on the disk.\n\n"
    "\nRestarting Windows ...\r\n";

std::vector<Scenario> Scenarios()
{
    std::vector<Scenario> list;
    Scenario s;
    auto infected = [](int32_t outcome, bool consent) {
        PhaseAnswers a;
        a.outcome = outcome;
        a.findings = Found(true);
        a.consent = consent;
        return a;
    };

    s = {"clean"};
    s.expectedCalls = Calls({"forget restart"});
    s.expectedTranscript = Banner + CleanReport + ExitPrompt;
    list.push_back(s);

    // Drivers that could not be read are not proof of a clean machine, but
    // the run without switches says no more than each one's line.
    s = {"clean_with_unverified_drivers"};
    s.answers.findings = Found(false, 5, 2);
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + CleanReport + ExitPrompt;
    list.push_back(s);

    s = {"clean_while_scan_found_driver", infected(Clean, true)};
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + CleanReport + ExitPrompt;
    list.push_back(s);

    s = {"scan_error_ignores_infected_driver", infected(ScanError, false)};
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + "\nWarning: Failed to remove QuorVallin infection.\n" + ExitPrompt;
    list.push_back(s);

    s = {"scan_error_without_debug_privilege_says_why"};
    s.answers.outcome = ScanError;
    s.answers.debugPrivilege = false;
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + "\nWarning: Failed to remove QuorVallin infection.\n"
        + "The debug privilege could not be enabled (the rights policy \"Debug programs\"): "
          "without it the memory inspection cannot be made.\n"
        + ExitPrompt;
    list.push_back(s);

    // A verdict from memory means the privilege did its work.
    s = {"infected_without_debug_privilege_needs_no_word"};
    s.answers = infected(Infected, false);
    s.answers.debugPrivilege = false;
    s.expectedCalls = Calls({"ask"});
    s.expectedTranscript = Banner + "\n" + ExitPrompt;
    list.push_back(s);

    s = {"outcome_outside_range", infected(7, true)};
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + "\n" + ExitPrompt;
    list.push_back(s);

    s = {"infected_without_infected_driver", infected(Infected, true)};
    s.answers.findings = Found(false);
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + "\n" + ExitPrompt;
    list.push_back(s);

    s = {"infected_answer_n", infected(Infected, false)};
    s.expectedCalls = Calls({"ask"});
    s.expectedTranscript = Banner + "\n" + ExitPrompt;
    list.push_back(s);

    s = {"infected_answer_y", infected(Infected, true)};
    s.expectedCalls = Calls({"ask", "replace", "verify", "sleep", "restart"});
    s.expectedTranscript = Banner + "\n" + RepairReport + ExitPrompt;
    list.push_back(s);

    // The disk is looked at again whatever the replacement said; without
    // switches the restart, which the user agreed to, follows.
    s = {"infected_failed_replacement_says_not_removed", infected(Infected, true)};
    s.answers.replaced = false;
    s.answers.verified = ReplacedDriverCheck::Infected;
    s.expectedCalls = Calls({"ask", "replace", "verify", "sleep", "restart"});
    s.expectedTranscript = Banner + "\n" + NotRemovedReport + ExitPrompt;
    list.push_back(s);

    s = {"infected_written_back_says_not_removed", infected(Infected, true)};
    s.answers.verified = ReplacedDriverCheck::Infected;
    s.expectedCalls = Calls({"ask", "replace", "verify", "sleep", "restart"});
    s.expectedTranscript = Banner + "\n" + NotRemovedReport + ExitPrompt;
    list.push_back(s);

    // The re-read says only what it saw.
    const struct {
        const char* name;
        ReplacedDriverCheck check;
        const char* line;
    } reReads[] = {
        {"infected_unreadable_after_repair_says_so", ReplacedDriverCheck::Unreadable,
         "The driver could not be read straight from the disk, so the repair could not be verified."},
        {"infected_other_content_after_repair_says_so", ReplacedDriverCheck::Other,
         "The driver on the disk holds neither the clean copy nor the infected content."},
    };
    for (const auto& reRead : reReads) {
        s = {reRead.name, infected(Infected, true)};
        s.answers.verified = reRead.check;
        s.expectedCalls = Calls({"ask", "replace", "verify", "sleep", "restart"});
        s.expectedTranscript = Banner + "\n\nInfected Driver: <c12>Not removed<c15>\n" + reRead.line
            + "\n\n\nRestarting Windows ...\r\n" + ExitPrompt;
        list.push_back(s);
    }

    s = {"repair_names_its_quarantine", infected(Infected, true)};
    s.answers.quarantine = u"C:\\WINDOWS\\KorvaleQuarantine\\20261210T114005Z";
    s.expectedCalls = Calls({"ask", "replace", "verify", "sleep", "restart"});
    s.expectedTranscript = Banner + "\n\nInfected Driver: <c10>Disinfected\n\n<c15>"
        + "What the repair removed is kept in C:\\WINDOWS\\KorvaleQuarantine\\20261210T114005Z\n"
        + "\nRestarting Windows ...\r\n" + ExitPrompt;
    list.push_back(s);

    s = {"ads_without_infected_driver", infected(InfectedAds, true)};
    s.answers.findings = Found(false);
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + "\n" + ExitPrompt;
    list.push_back(s);

    s = {"ads_answer_n", infected(InfectedAds, false)};
    s.expectedCalls = Calls({"ask"});
    s.expectedTranscript = Banner + "\n" + ExitPrompt;
    list.push_back(s);

    s = {"ads_answer_y", infected(InfectedAds, true)};
    s.expectedCalls = Calls({"ask", "streams", "folder", "replace", "verify", "registry", "sleep", "restart"});
    s.expectedTranscript = Banner + "\n" + RepairReport + ExitPrompt;
    list.push_back(s);

    s = {"ads_failed_replacement_warns_and_goes_on", infected(InfectedAds, true)};
    s.answers.replaced = false;
    s.expectedCalls = Calls({"ask", "streams", "folder", "replace", "verify", "registry", "sleep", "restart"});
    s.expectedTranscript = Banner + "\nWarning: Failed to remove QuorVallin driver infection.\n" + RepairReport + ExitPrompt;
    list.push_back(s);

    // Without switches the other steps' failures keep the texts they had.
    s = {"ads_failed_cleanup_steps_keep_their_texts", infected(InfectedAds, true)};
    s.answers.streamFound = false;
    s.answers.folder = CleanupResult::Failed;
    s.answers.registry = CleanupResult::NotFound;
    s.expectedCalls = Calls({"ask", "streams", "folder", "replace", "verify", "registry", "sleep", "restart"});
    s.expectedTranscript = Banner + "\n" + RepairReport + ExitPrompt;
    list.push_back(s);

    s = {"missing_service_handle"};
    s.answers.handles.service = nullptr;
    s.expectedCalls = Calls({"forget restart"});
    s.expectedTranscript = Banner + "hello " + CleanReport + ExitPrompt;
    list.push_back(s);

    s = {"missing_manager_handle"};
    s.answers.handles = ServiceHandles{};
    s.answers.outcome = ScanError;
    s.expectedCalls = Calls({});
    s.expectedTranscript = Banner + "hello \nWarning: Failed to remove QuorVallin infection.\n" + ExitPrompt;
    list.push_back(s);

    s = {"extraction_failure"};
    s.answers.extracted = false;
    s.expectedCalls = {"debug", "title", "version", "admin", "journal", "extract"};
    s.expectedTranscript = Banner;
    list.push_back(s);

    // The work folder's line (written by the phase) stays on a console
    // opened by a double click until a key is pressed.
    s = {"work_folder_failure_waits_for_a_key"};
    s.answers.workFolderMade = false;
    s.expectedCalls = {"debug", "title", "version", "admin", "journal", "work folder", "key"};
    s.expectedTranscript = Banner + ExitPrompt;
    list.push_back(s);

    s = {"not_an_administrator"};
    s.answers.admin = false;
    s.expectedCalls = {"debug", "title", "version", "admin"};
    s.expectedTranscript = Banner + "Administrator privileges is required for this removal to work!\n";
    list.push_back(s);

    for (OsVersion refused : {OsVersion{0, 0}, OsVersion{1, 6}, OsVersion{2, 4}}) {
        s = {"version_refused"};
        s.answers.version = refused;
        s.expectedCalls = {"debug", "title", "version"};
        s.expectedTranscript = Banner + "Windows XP SP3 or later is required!\n";
        list.push_back(s);
    }

    s = {"windows_2000_passes_version_test"};
    s.answers.version = OsVersion{2, 5};
    s.expectedCalls = Calls({"forget restart"});
    s.expectedTranscript = Banner + CleanReport + ExitPrompt;
    list.push_back(s);
    return list;
}

class RunSequence : public testing::TestWithParam<Scenario> {};

TEST_P(RunSequence, CallsPhasesAndWritesTranscript)
{
    const Scenario& s = GetParam();
    RecordingPhases recorder(s.answers);
    recorder.phases.setConsoleTitle = [&](std::u16string_view title) {
        EXPECT_EQ(title, std::u16string_view(ConsoleTitleText));
        recorder.calls.emplace_back("title");
    };
    recorder.phases.sleep = [&](uint32_t ms) {
        EXPECT_EQ(ms, 2000u);
        recorder.calls.emplace_back("sleep");
    };
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
