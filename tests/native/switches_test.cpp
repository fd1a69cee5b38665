// The unattended run: the switches, what a run with them does differently
// from the interactive run, its exit code, and the text of its log.

#include "program/run/core/RunLog.hpp"
#include "program/run/core/RunSequence.hpp"
#include "program/run/core/Switches.hpp"
#include "tests/native/RecordingConsole.hpp"
#include "tests/native/RecordingPhases.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

// --- the switches -------------------------------------------------------------

struct SwitchCase {
    std::vector<std::u16string> arguments;
    SwitchAction action;
    RepairConsent consent = RepairConsent::Ask;
    bool restart = true;
    std::optional<std::u16string> logPath;
};

class Switches : public testing::TestWithParam<SwitchCase> {};

TEST_P(Switches, Parse)
{
    const SwitchCase& c = GetParam();
    const SwitchChoice choice = ParseSwitches(c.arguments);
    EXPECT_EQ(choice.action, c.action);
    if (c.action != SwitchAction::Run)
        return;
    EXPECT_EQ(choice.options.switches, !c.arguments.empty());
    EXPECT_EQ(choice.options.consent, c.consent);
    EXPECT_EQ(choice.options.restart, c.restart);
    EXPECT_EQ(choice.logPath, c.logPath);
}

using A = SwitchAction;
using C = RepairConsent;

INSTANTIATE_TEST_SUITE_P(
    Table, Switches,
    testing::Values(
        SwitchCase{{}, A::Run},
        SwitchCase{{u"/?"}, A::ShowUsage}, SwitchCase{{u"-?"}, A::ShowUsage},
        SwitchCase{{u"/help"}, A::ShowUsage}, SwitchCase{{u"-HeLp"}, A::ShowUsage},
        SwitchCase{{u"/scan"}, A::Run, C::Never}, SwitchCase{{u"-SCAN"}, A::Run, C::Never},
        SwitchCase{{u"/Repair"}, A::Run, C::Given}, SwitchCase{{u"-repair"}, A::Run, C::Given},
        SwitchCase{{u"/repair", u"/noreboot"}, A::Run, C::Given, false},
        SwitchCase{{u"-NOREBOOT", u"/REPAIR"}, A::Run, C::Given, false},
        SwitchCase{{u"/noreboot"}, A::Run, C::Ask, false},
        SwitchCase{{u"/scan", u"/scan"}, A::Run, C::Never},
        // The path is kept as given, case and all; the switch's name is not.
        SwitchCase{{u"/log:C:\\Logs\\Run.log"}, A::Run, C::Ask, true, u"C:\\Logs\\Run.log"},
        SwitchCase{{u"-LOG:run.log", u"/scan"}, A::Run, C::Never, true, u"run.log"},
        SwitchCase{{u"/Log:\\\\srv\\share\\PC 17.log"}, A::Run, C::Ask, true, u"\\\\srv\\share\\PC 17.log"},
        SwitchCase{{u"/log::"}, A::Run, C::Ask, true, u":"},
        // Errors: unknown, malformed, conflicting or repeated.
        SwitchCase{{u"/scan", u"/repair"}, A::UsageError}, SwitchCase{{u"-repair", u"/SCAN"}, A::UsageError},
        SwitchCase{{u"/log:"}, A::UsageError}, SwitchCase{{u"/log"}, A::UsageError},
        SwitchCase{{u"/log:a", u"/log:b"}, A::UsageError},
        SwitchCase{{u"/bogus"}, A::UsageError}, SwitchCase{{u"scan"}, A::UsageError},
        SwitchCase{{u"/"}, A::UsageError}, SwitchCase{{u"-"}, A::UsageError}, SwitchCase{{u""}, A::UsageError},
        SwitchCase{{u"--scan"}, A::UsageError}, SwitchCase{{u"/scanx"}, A::UsageError},
        SwitchCase{{u"/sc"}, A::UsageError}, SwitchCase{{u"\\scan"}, A::UsageError},
        // An error wins over "/?".
        SwitchCase{{u"/?", u"/bogus"}, A::UsageError}, SwitchCase{{u"/?", u"/scan", u"/repair"}, A::UsageError},
        SwitchCase{{u"/scan", u"/?"}, A::ShowUsage}));

// "/restore:FOLDER [/overwrite]": the restore of a run's quarantine, alone.
struct RestoreSwitchCase {
    std::vector<std::u16string> arguments;
    SwitchAction action;
    std::optional<std::u16string> folder;
    bool overwrite = false;
    bool foreign = false;
};

class RestoreSwitches : public testing::TestWithParam<RestoreSwitchCase> {};

TEST_P(RestoreSwitches, Parse)
{
    const RestoreSwitchCase& c = GetParam();
    const SwitchChoice choice = ParseSwitches(c.arguments);
    EXPECT_EQ(choice.action, c.action);
    if (c.action != SwitchAction::Run)
        return;
    EXPECT_EQ(choice.restoreFolder, c.folder);
    EXPECT_EQ(choice.overwrite, c.overwrite);
    EXPECT_EQ(choice.foreign, c.foreign);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RestoreSwitches,
    testing::Values(
        RestoreSwitchCase{{u"/scan"}, A::Run},
        RestoreSwitchCase{{u"/restore:C:\\WINDOWS\\KorvaleQuarantine\\20261210T114005Z"}, A::Run,
                          u"C:\\WINDOWS\\KorvaleQuarantine\\20261210T114005Z"},
        RestoreSwitchCase{{u"-RESTORE:Q", u"/Overwrite"}, A::Run, u"Q", true},
        RestoreSwitchCase{{u"/overwrite", u"/restore:q", u"/log:r.log"}, A::Run, u"q", true},
        RestoreSwitchCase{{u"/restore:E:\\q", u"/FOREIGN"}, A::Run, u"E:\\q", false, true},
        RestoreSwitchCase{{u"/foreign"}, A::UsageError},
        RestoreSwitchCase{{u"/scan", u"/foreign"}, A::UsageError},
        RestoreSwitchCase{{u"/restore:q", u"/?"}, A::ShowUsage},
        // A restore does nothing else; /overwrite means nothing without it.
        RestoreSwitchCase{{u"/restore:q", u"/scan"}, A::UsageError},
        RestoreSwitchCase{{u"/repair", u"/restore:q"}, A::UsageError},
        RestoreSwitchCase{{u"/overwrite"}, A::UsageError},
        RestoreSwitchCase{{u"/repair", u"/overwrite"}, A::UsageError},
        RestoreSwitchCase{{u"/restore:"}, A::UsageError},
        RestoreSwitchCase{{u"/restore"}, A::UsageError},
        RestoreSwitchCase{{u"/restore:a", u"/restore:b"}, A::UsageError}));

TEST(Switches, UsageNamesEverySwitchAndCode)
{
    const std::string usage = UsageText;
    for (const char* word : {"/scan", "/repair", "/noreboot", "/log:PATH", "/restore:FOLDER", "/overwrite", "/foreign", "/?"})
        EXPECT_NE(usage.find(word), std::string::npos) << word;
    for (int code = 0; code <= 6; ++code)
        EXPECT_NE(usage.find("  " + std::to_string(code) + "  "), std::string::npos) << code;
}

// --- the exit code --------------------------------------------------------------

struct ExitCase {
    RunReport report;
    int code;
};

RunReport Report(bool refused, int32_t outcome, bool driverInfected, bool attempted = false, bool failed = false,
                 uint32_t notVerified = 0)
{
    return RunReport{refused, outcome, driverInfected, attempted, failed, 9, notVerified};
}

class ExitCodes : public testing::TestWithParam<ExitCase> {};

TEST_P(ExitCodes, FromFindingsAndActions)
{
    EXPECT_EQ(ExitCodeFor(GetParam().report), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExitCodes,
    testing::Values(ExitCase{Report(false, Clean, false), 0},
                    ExitCase{Report(false, Clean, true), 1},
                    ExitCase{Report(false, Infected, false), 1},
                    ExitCase{Report(false, InfectedAds, false), 1},
                    ExitCase{Report(false, Infected, true), 1},
                    ExitCase{Report(false, InfectedAds, true), 1},
                    ExitCase{Report(false, Infected, true, true, false), 2},
                    ExitCase{Report(false, InfectedAds, true, true, false), 2},
                    ExitCase{Report(false, ScanError, false), 3},
                    ExitCase{Report(false, ScanError, true), 3},
                    ExitCase{Report(false, 7, true), 3},
                    ExitCase{Report(false, -1, false), 3},
                    ExitCase{Report(false, Infected, true, true, true), 4},
                    ExitCase{Report(false, InfectedAds, true, true, true), 4},
                    ExitCase{Report(true, Clean, false), 5},
                    ExitCase{Report(true, Infected, true), 5},
                    ExitCase{RunReport{}, 5},
                    // Drivers that could not be verified leave a clean finding incomplete...
                    ExitCase{Report(false, Clean, false, false, false, 1), 6},
                    // ...and change nothing else.
                    ExitCase{Report(false, Clean, true, false, false, 1), 1},
                    ExitCase{Report(false, Infected, false, false, false, 3), 1},
                    ExitCase{Report(false, ScanError, false, false, false, 3), 3},
                    ExitCase{Report(false, Infected, true, true, false, 3), 2},
                    ExitCase{Report(true, Clean, false, false, false, 1), 5}));

TEST(ExitCodes, EachHasItsOwnMeaning)
{
    std::vector<std::string> meanings;
    for (int code = 0; code <= 6; ++code) {
        const std::string meaning = ExitCodeMeaning(code);
        EXPECT_EQ(std::count(meanings.begin(), meanings.end(), meaning), 0) << meaning;
        EXPECT_NE(meaning, "unknown");
        meanings.push_back(meaning);
    }
}

// --- a run with switches ----------------------------------------------------------

const std::string Banner = "Korvale Antivirus QuorVallin Removal - v1.0\nKorvale Antivirus Research Labs\n\n";
const std::string Disinfected = "\nInfected Driver: <c10>Disinfected\n\n<c15>";
const std::string Restarting = "\nRestarting Windows ...\r\n";
const std::string RestartByHand = "Restart Windows to complete the removal.\n";
const std::string ReplacementWarning = "Warning: Failed to remove QuorVallin driver infection.\n";
const std::string CleanReport = "<c10>\nNo instances of QuorVallin was found.\n\n<c15>";

struct SwitchedRun {
    const char* name;
    RunOptions options;
    PhaseAnswers answers;
    std::vector<std::string> expectedMiddle; // calls between the scan and the deletion of the driver file
    std::string expectedAfterScan;           // the transcript after the banner and the service's empty line
    int expectedCode;
};

void PrintTo(const SwitchedRun& run, std::ostream* out) { *out << run.name; }

RunOptions Options(RepairConsent consent, bool restart = true)
{
    return RunOptions{true, consent, restart};
}

// Both findings agree on an infection of the given variant.
PhaseAnswers Infection(int32_t outcome)
{
    PhaseAnswers a;
    a.outcome = outcome;
    a.findings = Found(true);
    a.consent = true;
    return a;
}

template <typename Change>
PhaseAnswers With(PhaseAnswers a, Change change)
{
    change(a);
    return a;
}

const std::string NotRemoved =
    "\nInfected Driver: <c12>Not removed<c15>\nThe infected content of the driver is still on the disk.\n\n";
const std::string NoRestartAfterFailure = "Windows is not restarted: a step of the repair failed.\n";
const std::vector<std::string> AdsSteps = {"streams", "folder", "replace", "verify", "registry"};

std::vector<std::string> Then(std::vector<std::string> calls, std::vector<std::string> more)
{
    calls.insert(calls.end(), more.begin(), more.end());
    return calls;
}

std::vector<SwitchedRun> SwitchedRuns()
{
    const RunOptions scan = Options(C::Never), repair = Options(C::Given), noReboot = Options(C::Given, false),
                     ask = Options(C::Ask);
    const PhaseAnswers plain = Infection(Infected), ads = Infection(InfectedAds), clean{};
    const std::string Restart = "record restart";
    std::vector<SwitchedRun> list = {
        {"scan_infected", scan, plain, {}, "", 1},
        {"scan_ads", scan, ads, {}, "", 1},
        {"scan_clean", scan, clean, {"forget restart"}, CleanReport, 0},
        {"scan_error", scan, With(clean, [](auto& a) { a.outcome = ScanError; }), {},
         "Warning: Failed to remove QuorVallin infection.\n", 3},
        // Nothing found, but not every driver could be read: not "no infection found".
        {"scan_clean_with_unverified_drivers", scan, With(clean, [](auto& a) { a.findings = Found(false, 72, 72); }),
         {}, "Warning: 72 of 72 drivers could not be verified.\n" + CleanReport, 6},
        {"scan_clean_with_one_unverified_driver", scan, With(clean, [](auto& a) { a.findings = Found(false, 9, 1); }),
         {}, "Warning: 1 of 9 drivers could not be verified.\n" + CleanReport, 6},
        // An infection found is an infection, whatever could not be read.
        {"scan_infected_with_unverified_drivers", scan, With(plain, [](auto& a) { a.findings = Found(true, 9, 4); }),
         {}, "Warning: 4 of 9 drivers could not be verified.\n", 1},
        {"scan_error_with_unverified_drivers", scan,
         With(clean, [](auto& a) { a.outcome = ScanError; a.findings = Found(false, 9, 9); }), {},
         "Warning: 9 of 9 drivers could not be verified.\nWarning: Failed to remove QuorVallin infection.\n", 3},
        {"repair_infected", repair, plain, {"replace", "verify", Restart, "sleep", "restart"},
         Disinfected + Restarting, 2},
        {"repair_ads", repair, ads, Then(AdsSteps, {Restart, "sleep", "restart"}), Disinfected + Restarting, 2},
        {"repair_noreboot_infected", noReboot, plain, {"replace", "verify"}, Disinfected + RestartByHand, 2},
        {"repair_noreboot_ads", noReboot, ads, AdsSteps, Disinfected + RestartByHand, 2},
        {"repair_infected_failed_replacement_warns", repair, With(plain, [](auto& a) { a.replaced = false; }),
         {"replace", "verify"}, ReplacementWarning + Disinfected + NoRestartAfterFailure, 4},
        {"repair_ads_failed_replacement", noReboot, With(ads, [](auto& a) { a.replaced = false; }), AdsSteps,
         ReplacementWarning + Disinfected + RestartByHand, 4},
        // The rootkit wrote the driver back, or the moves went elsewhere.
        {"repair_not_removed_on_the_disk", repair, With(plain, [](auto& a) { a.verified = ReplacedDriverCheck::Infected; }),
         {"replace", "verify"}, NotRemoved + NoRestartAfterFailure, 4},
        {"repair_ads_not_removed_on_the_disk", noReboot, With(ads, [](auto& a) { a.verified = ReplacedDriverCheck::Infected; }), AdsSteps,
         NotRemoved + RestartByHand, 4},
        {"repair_ads_hidden_executable_not_found", repair, With(ads, [](auto& a) { a.streamFound = false; }),
         AdsSteps,
         "Warning: The QuorVallin executable hidden in a data stream was not found.\n" + Disinfected
             + NoRestartAfterFailure,
         4},
        {"repair_ads_folder_not_found", repair, With(ads, [](auto& a) { a.folder = CleanupResult::NotFound; }),
         AdsSteps, "Warning: The QuorVallin folder was not found.\n" + Disinfected + NoRestartAfterFailure, 4},
        {"repair_ads_folder_not_emptied", repair, With(ads, [](auto& a) { a.folder = CleanupResult::Failed; }),
         AdsSteps, "Warning: Failed to remove QuorVallin malicious files.\n" + Disinfected + NoRestartAfterFailure, 4},
        {"repair_ads_no_service_matched", repair, With(ads, [](auto& a) { a.registry = CleanupResult::NotFound; }),
         AdsSteps,
         "Warning: No QuorVallin service was found in the registry.\n" + Disinfected + NoRestartAfterFailure, 4},
        {"repair_ads_registry_cleanup_failed", noReboot,
         With(ads, [](auto& a) { a.registry = CleanupResult::Failed; }), AdsSteps,
         "Warning: Failed to remove QuorVallin registry key.\n" + Disinfected + RestartByHand, 4},
        {"repair_ads_every_step_failed", repair,
         With(ads, [](auto& a) {
             a.streamFound = false;
             a.folder = CleanupResult::Failed;
             a.replaced = false;
             a.verified = ReplacedDriverCheck::Infected;
             a.registry = CleanupResult::Failed;
         }),
         AdsSteps,
         "Warning: The QuorVallin executable hidden in a data stream was not found.\n"
         "Warning: Failed to remove QuorVallin malicious files.\n"
             + ReplacementWarning + "Warning: Failed to remove QuorVallin registry key.\n" + NotRemoved
             + NoRestartAfterFailure,
         4},
        {"repair_failed_restart_request", repair, With(plain, [](auto& a) { a.restarted = false; }),
         {"replace", "verify", Restart, "sleep", "restart"}, Disinfected + Restarting + RestartByHand, 2},
        // After an automatic restart the same infection again: repaired, but no second restart.
        {"repair_after_a_recorded_restart_does_not_restart_again", repair,
         With(plain, [](auto& a) { a.previousRestart = u"2026-12-09T06:00:02Z (ndis.sys)"; }),
         {"replace", "verify"},
         Disinfected
             + "Warning: The repair before the automatic restart of 2026-12-09T06:00:02Z (ndis.sys) did not hold: "
               "QuorVallin was found again. Windows is not restarted.\n",
         4},
        {"repair_whose_restart_cannot_be_recorded_does_not_restart", repair,
         With(plain, [](auto& a) { a.restartRecorded = false; }), {"replace", "verify", Restart},
         Disinfected + "Warning: The restart cannot be recorded, so it is not requested.\n" + RestartByHand, 2},
        // With /noreboot nothing restarts, so an earlier restart does not matter.
        {"noreboot_ignores_a_recorded_restart", noReboot,
         With(plain, [](auto& a) { a.previousRestart = u"2026-12-09T06:00:02Z (ndis.sys)"; }),
         {"replace", "verify"}, Disinfected + RestartByHand, 2},
        {"clean_forgets_a_recorded_restart", repair,
         With(clean, [](auto& a) { a.previousRestart = u"2026-12-09T06:00:02Z (ndis.sys)"; }), {"forget restart"},
         CleanReport, 0},
        {"repair_names_its_quarantine", noReboot,
         With(plain, [](auto& a) { a.quarantine = u"C:\\WINDOWS\\KorvaleQuarantine\\20261210T114005Z"; }),
         {"replace", "verify"},
         Disinfected + "What the repair removed is kept in C:\\WINDOWS\\KorvaleQuarantine\\20261210T114005Z\n"
             + RestartByHand,
         2},
        {"repair_needs_both_findings_memory", repair, With(plain, [](auto& a) { a.outcome = Clean; }), {},
         CleanReport, 1},
        {"repair_needs_both_findings_driver", repair, With(ads, [](auto& a) { a.findings = Found(false); }), {}, "",
         1},
        {"repair_scan_error_with_driver", repair, With(plain, [](auto& a) { a.outcome = ScanError; }), {},
         "Warning: Failed to remove QuorVallin infection.\n", 3},
        {"repair_outcome_out_of_range", repair, With(plain, [](auto& a) { a.outcome = 9; }), {}, "", 3},
        {"ask_answered_n", ask, With(plain, [](auto& a) { a.consent = false; }), {"ask"}, "", 1},
        {"ask_answered_y", ask, ads, Then({"ask"}, Then(AdsSteps, {Restart, "sleep", "restart"})),
         Disinfected + Restarting, 2},
        {"ask_noreboot", Options(C::Ask, false), plain, {"ask", "replace", "verify"}, Disinfected + RestartByHand, 2},
    };
    return list;
}

class SwitchedRunTable : public testing::TestWithParam<SwitchedRun> {};

TEST_P(SwitchedRunTable, CallsTranscriptAndCode)
{
    const SwitchedRun& r = GetParam();
    RecordingPhases recorder(r.answers);
    RecordingConsole console;
    const RunReport report = RunRemovalWith(recorder.phases, console.sink, r.options);

    std::vector<std::string> expected = {"debug", "title", "version", "admin", "journal", "extract", "install",
                                         "inspect", "stop", "scan"};
    expected.insert(expected.end(), r.expectedMiddle.begin(), r.expectedMiddle.end());
    expected.push_back("delete"); // and no key wait
    EXPECT_EQ(recorder.calls, expected);
    EXPECT_EQ(console.transcript, Banner + "\n" + r.expectedAfterScan);
    EXPECT_EQ(ExitCodeFor(report), r.expectedCode);
}

INSTANTIATE_TEST_SUITE_P(Cases, SwitchedRunTable, testing::ValuesIn(SwitchedRuns()),
                         [](const testing::TestParamInfo<SwitchedRun>& info) { return info.param.name; });

// A work folder that cannot be made ends a run with switches at once, with
// "cannot run"; only the interactive run waits for a key.
TEST(SwitchedRefusals, WorkFolderFailureEndsWithCodeFiveAndNoKeyWait)
{
    PhaseAnswers answers;
    answers.workFolderMade = false;
    RecordingPhases recorder(answers);
    RecordingConsole console;
    RunOptions options;
    options.switches = true;
    EXPECT_EQ(ExitCodeFor(RunRemovalWith(recorder.phases, console.sink, options)), 5);
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"debug", "title", "version", "admin", "journal", "work folder"}));
    EXPECT_EQ(console.transcript, Banner);
}

// The refusals end a run with switches as they end the interactive one,
// with "cannot run" for its code; the interactive run still returns 0.
TEST(SwitchedRefusals, EndTheRunWithCodeFive)
{
    struct Refusal {
        OsVersion version;
        bool admin;
        bool extracted;
        std::vector<std::string> calls;
        std::string text;
    };
    const std::vector<Refusal> refusals = {
        {{2, 4}, true, true, {"debug", "title", "version"}, "Windows XP SP3 or later is required!\n"},
        {{0, 0}, true, true, {"debug", "title", "version"}, "Windows XP SP3 or later is required!\n"},
        {{2, 6, true}, true, true, {"debug", "title", "version"}, "This removal tool runs on 32-bit Windows only.\n"},
        {{2, 5, true}, false, true, {"debug", "title", "version"}, "This removal tool runs on 32-bit Windows only.\n"},
        {{2, 6}, false, true, {"debug", "title", "version", "admin"},
         "Administrator privileges is required for this removal to work!\n"},
        {{2, 6}, true, false, {"debug", "title", "version", "admin", "journal", "extract"}, ""},
    };
    for (const Refusal& refusal : refusals) {
        for (bool switches : {true, false}) {
            PhaseAnswers answers;
            answers.version = refusal.version;
            answers.admin = refusal.admin;
            answers.extracted = refusal.extracted;
            RecordingPhases recorder(answers);
            RecordingConsole console;
            RunOptions options;
            options.switches = switches;
            const RunReport report = RunRemovalWith(recorder.phases, console.sink, options);
            EXPECT_EQ(recorder.calls, refusal.calls);
            EXPECT_EQ(console.transcript, Banner + refusal.text);
            EXPECT_EQ(ExitCodeFor(report), 5);
            RecordingPhases again(answers);
            RecordingConsole console2;
            EXPECT_EQ(RunRemoval(again.phases, console2.sink), 0);
            EXPECT_EQ(console2.transcript, console.transcript);
        }
    }
}

// On a system volume that keeps no owners or access lists (FAT), a run
// with switches says so once, after the start-up checks; the interactive
// run's texts stay as they are.
TEST(VolumeWithoutAccessLists, OneLineWithSwitchesNoneWithout)
{
    const std::string line = "Warning: The system volume C:\\ (FAT32) keeps no owners or access lists: other "
                             "accounts can change the program's files there while it runs.\n";
    PhaseAnswers fat;
    fat.volumeWithoutAccessLists = u"C:\\ (FAT32)";
    for (const bool switches : {true, false}) {
        for (const PhaseAnswers& answers : {fat, PhaseAnswers{}}) {
            RecordingPhases recorder(answers);
            RecordingConsole console;
            RunOptions options;
            options.switches = switches;
            RunRemovalWith(recorder.phases, console.sink, options);
            const bool said = console.transcript.find(line) != std::string::npos;
            EXPECT_EQ(said, switches && answers.volumeWithoutAccessLists.has_value()) << switches;
            if (said) {
                EXPECT_EQ(console.transcript.find(line), console.transcript.rfind(line)) << "once";
                EXPECT_EQ(console.transcript.rfind(Banner + line, 0), 0u) << "right after the start-up checks";
            }
        }
    }
}

// --- the log -----------------------------------------------------------------------

LogFacts Facts()
{
    LogFacts facts;
    facts.year = 2026;
    facts.month = 1;
    facts.day = 9;
    facts.hour = 7;
    facts.minute = 5;
    facts.second = 3;
    facts.computerName = u"PC-17";
    facts.majorVersion = 5;
    facts.minorVersion = 1;
    facts.buildNumber = 2600;
    facts.servicePack = u"Service Pack 3";
    return facts;
}

TEST(RunLogText, HeaderNamesTimeComputerWindowsAndVersion)
{
    EXPECT_EQ(LogHeaderLine(Facts()),
              "=== KorvaleNoQuorVallin v1.0 run at 2026-01-09T07:05:03Z on computer PC-17, "
              "Windows 5.1 build 2600 Service Pack 3 ===");
    LogFacts other = Facts();
    other.servicePack.clear();
    other.computerName = u"\u00c5SA-\u6771\U0001F600"; // non-ASCII names come out as UTF-8
    other.majorVersion = 10;
    other.minorVersion = 0;
    other.buildNumber = 19045;
    other.year = 2031;
    other.month = 12;
    other.day = 31;
    other.hour = 23;
    other.minute = 59;
    other.second = 58;
    EXPECT_EQ(LogHeaderLine(other),
              "=== KorvaleNoQuorVallin v1.0 run at 2031-12-31T23:59:58Z on computer \xC3\x85SA-\xE6\x9D\xB1"
              "\xF0\x9F\x98\x80, Windows 10.0 build 19045 ===");
}

TEST(RunLogText, ClosingLineGivesCodeAndMeaning)
{
    EXPECT_EQ(LogClosingLine(1), "=== Exit code 1: infection found, nothing removed ===");
    EXPECT_EQ(LogClosingLine(4), "=== Exit code 4: a repair was attempted and a step of it failed ===");
}

TEST(RunLogText, Utf8OfUnpairedSurrogates)
{
    EXPECT_EQ(Utf8(u"a\xD800" u"b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(Utf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf8(u"\U0010FFFF"), "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(Utf8(u"\u07FF\u0800"), "\xDF\xBF\xE0\xA0\x80");
}

TEST(RunLogText, TeeGivesTheConsoleEverythingAndTheLogTextWithoutColour)
{
    RunLog log;
    RecordingConsole console;
    const ConsoleSink tee = TeeConsole(console.sink, log);

    AppendLogLine(log, "header");
    tee.writeWide(u"Banner \u00e9\n\n");
    tee.write("\nSystem Memory: ");
    tee.colour(ColourInfected);
    tee.write("Infected");
    tee.colour(ColourNormal);
    AppendLogLine(log, "closing"); // starts on a line of its own
    tee.write("\nRestarting Windows ...\r\n");
    AppendLogLine(log, "end");

    EXPECT_EQ(console.transcript, "Banner ?\n\n\nSystem Memory: <c12>Infected<c15>\nRestarting Windows ...\r\n");
    EXPECT_EQ(log.record, "header\r\nBanner \xC3\xA9\r\n\r\n\r\nSystem Memory: Infected\r\nclosing\r\n"
                          "\r\nRestarting Windows ...\r\nend\r\n");
}

// A "\n" gets a "\r" before it unless one is there already, also where
// the "\r" ended the piece before.
TEST(RunLogText, LineEndsBecomeCarriageReturnLineFeedOnce)
{
    struct Case {
        std::vector<std::string> pieces;
        std::string record;
    } cases[] = {
        {{"a\nb\n"}, "a\r\nb\r\n"},
        {{"\n\n"}, "\r\n\r\n"},
        {{"a\r\nb"}, "a\r\nb"},
        {{"a\r", "\nb"}, "a\r\nb"},
        {{"a\r", "", "\nb"}, "a\r\nb"},
        {{"a\n", "\r\n"}, "a\r\n\r\n"},
        {{"a\rb\n"}, "a\rb\r\n"}, // a lone "\r" is kept as it is
    };
    for (const Case& c : cases) {
        RunLog log;
        for (const std::string& piece : c.pieces)
            AppendLogText(log, piece);
        EXPECT_EQ(log.record, c.record) << testing::PrintToString(c.pieces);
    }

    // A line of its own after text that ended in "\r" only completes that line end.
    struct LineCase {
        std::string before;
        std::string record;
    } lines[] = {
        {"", "y\r\n"},
        {"x", "x\r\ny\r\n"},
        {"x\r", "x\r\ny\r\n"},
        {"x\r\n", "x\r\ny\r\n"},
    };
    for (const LineCase& c : lines) {
        RunLog log;
        AppendLogText(log, c.before);
        AppendLogLine(log, "y");
        EXPECT_EQ(log.record, c.record) << testing::PrintToString(c.before);
    }
}

} // namespace
