// The unattended run: the switches, what a run with them does differently
// from the interactive run, its exit code, and the text of its log.

#include "program/run/core/RunLog.hpp"
#include "program/run/core/RunSequence.hpp"
#include "program/run/core/Switches.hpp"
#include "tests/native/RecordingConsole.hpp"

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
}

INSTANTIATE_TEST_SUITE_P(
    Table, RestoreSwitches,
    testing::Values(
        RestoreSwitchCase{{u"/scan"}, A::Run},
        RestoreSwitchCase{{u"/restore:C:\WINDOWS\KorvaleQuarantine\20261210T114005Z"}, A::Run,
                          u"C:\WINDOWS\KorvaleQuarantine\20261210T114005Z"},
        RestoreSwitchCase{{u"-RESTORE:Q", u"/Overwrite"}, A::Run, u"Q", true},
        RestoreSwitchCase{{u"/overwrite", u"/restore:q", u"/log:r.log"}, A::Run, u"q", true},
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
    for (const char* word : {"/scan", "/repair", "/noreboot", "/log:PATH", "/restore:FOLDER", "/overwrite", "/?"})
        EXPECT_NE(usage.find(word), std::string::npos) << word;
    for (int code = 0; code <= 5; ++code)
        EXPECT_NE(usage.find("  " + std::to_string(code) + "  "), std::string::npos) << code;
}

// --- the exit code --------------------------------------------------------------

struct ExitCase {
    RunReport report;
    int code;
};

RunReport Report(bool refused, int32_t outcome, bool driverInfected, bool attempted = false, bool failed = false)
{
    return RunReport{refused, outcome, driverInfected, attempted, failed};
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
                    ExitCase{RunReport{}, 5}));

TEST(ExitCodes, EachHasItsOwnMeaning)
{
    std::vector<std::string> meanings;
    for (int code = 0; code <= 5; ++code) {
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
    int32_t outcome;
    bool driverInfected;
    std::vector<std::string> expectedMiddle; // calls between the scan and the deletion of the driver file
    std::string expectedAfterScan;           // the transcript after the banner and the service's empty line
    int expectedCode;
    bool answer = true;
    bool replaced = true;
    bool restarted = true;
};

void PrintTo(const SwitchedRun& run, std::ostream* out) { *out << run.name; }

struct SwitchedRecorder {
    std::vector<std::string> calls;
    RunPhases phases;

    SwitchedRecorder(const SwitchedRun& r, OsVersion version = {2, 6}, bool admin = true, bool extracted = true)
    {
        auto note = [this](const char* name) { calls.emplace_back(name); };
        phases.enableDebugPrivilege = [=] { note("debug"); };
        phases.setConsoleTitle = [=](std::u16string_view) { note("title"); };
        phases.getVersion = [=] { note("version"); return version; };
        phases.isUserAnAdmin = [=] { note("admin"); return admin; };
        phases.extractDriver = [=] { note("extract"); return extracted; };
        phases.installAndStartDriver = [=] {
            note("install");
            return ServiceHandles{reinterpret_cast<void*>(1), reinterpret_cast<void*>(2)};
        };
        phases.inspectSystemMemory = [=] { note("inspect"); return r.outcome; };
        phases.stopAndDeleteDriver = [=](ServiceHandles) { note("stop"); return true; };
        phases.scanSystemDrivers = [=] { note("scan"); return r.driverInfected; };
        phases.askRestartConsent = [=] { note("ask"); return r.answer; };
        phases.scanWindowsDirectoryStreams = [=] { note("streams"); };
        phases.removeRootkitFolder = [=] { note("folder"); };
        phases.replaceInfectedDriver = [=] { note("replace"); return r.replaced; };
        phases.cleanServiceRegistry = [=] { note("registry"); };
        phases.restartWindows = [=] { note("restart"); return r.restarted; };
        phases.sleep = [=](uint32_t) { note("sleep"); };
        phases.waitForKey = [=] { note("key"); };
        phases.deleteDriverFile = [=] { note("delete"); return true; };
    }
};

RunOptions Options(RepairConsent consent, bool restart = true)
{
    return RunOptions{true, consent, restart};
}

std::vector<SwitchedRun> SwitchedRuns()
{
    const RunOptions scan = Options(C::Never), repair = Options(C::Given), noReboot = Options(C::Given, false),
                     ask = Options(C::Ask);
    std::vector<SwitchedRun> list = {
        {"scan_infected", scan, Infected, true, {}, "", 1},
        {"scan_ads", scan, InfectedAds, true, {}, "", 1},
        {"scan_clean", scan, Clean, false, {}, CleanReport, 0},
        {"scan_error", scan, ScanError, false, {}, "Warning: Failed to remove QuorVallin infection.\n", 3},
        {"repair_infected", repair, Infected, true, {"replace", "sleep", "restart"}, Disinfected + Restarting, 2},
        {"repair_ads", repair, InfectedAds, true, {"streams", "folder", "replace", "registry", "sleep", "restart"},
         Disinfected + Restarting, 2},
        {"repair_noreboot_infected", noReboot, Infected, true, {"replace"}, Disinfected + RestartByHand, 2},
        {"repair_noreboot_ads", noReboot, InfectedAds, true, {"streams", "folder", "replace", "registry"},
         Disinfected + RestartByHand, 2},
        {"repair_infected_failed_replacement_warns", repair, Infected, true, {"replace", "sleep", "restart"},
         ReplacementWarning + Disinfected + Restarting, 4, true, false},
        {"repair_ads_failed_replacement", noReboot, InfectedAds, true, {"streams", "folder", "replace", "registry"},
         ReplacementWarning + Disinfected + RestartByHand, 4, true, false},
        {"repair_failed_restart_request", repair, Infected, true, {"replace", "sleep", "restart"},
         Disinfected + Restarting + RestartByHand, 2, true, true, false},
        {"repair_needs_both_findings_memory", repair, Clean, true, {}, CleanReport, 1},
        {"repair_needs_both_findings_driver", repair, InfectedAds, false, {}, "", 1},
        {"repair_scan_error_with_driver", repair, ScanError, true, {},
         "Warning: Failed to remove QuorVallin infection.\n", 3},
        {"repair_outcome_out_of_range", repair, 9, true, {}, "", 3},
        {"ask_answered_n", ask, Infected, true, {"ask"}, "", 1, false},
        {"ask_answered_y", ask, InfectedAds, true, {"ask", "streams", "folder", "replace", "registry", "sleep",
         "restart"}, Disinfected + Restarting, 2},
        {"ask_noreboot", Options(C::Ask, false), Infected, true, {"ask", "replace"}, Disinfected + RestartByHand, 2},
    };
    return list;
}

class SwitchedRunTable : public testing::TestWithParam<SwitchedRun> {};

TEST_P(SwitchedRunTable, CallsTranscriptAndCode)
{
    const SwitchedRun& r = GetParam();
    SwitchedRecorder recorder(r);
    RecordingConsole console;
    const RunReport report = RunRemovalWith(recorder.phases, console.sink, r.options);

    std::vector<std::string> expected = {"debug", "title", "version", "admin", "extract", "install", "inspect",
                                         "stop", "scan"};
    expected.insert(expected.end(), r.expectedMiddle.begin(), r.expectedMiddle.end());
    expected.push_back("delete"); // and no key wait
    EXPECT_EQ(recorder.calls, expected);
    EXPECT_EQ(console.transcript, Banner + "\n" + r.expectedAfterScan);
    EXPECT_EQ(ExitCodeFor(report), r.expectedCode);
}

INSTANTIATE_TEST_SUITE_P(Cases, SwitchedRunTable, testing::ValuesIn(SwitchedRuns()),
                         [](const testing::TestParamInfo<SwitchedRun>& info) { return info.param.name; });

// The refusals end a run with switches as they end the interactive one,
// with "cannot run" for its code; the interactive run still returns 0.
TEST(SwitchedRefusals, EndTheRunWithCodeFive)
{
    const SwitchedRun clean{"", Options(C::Never), Clean, false, {}, "", 0};
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
        {{2, 6}, true, false, {"debug", "title", "version", "admin", "extract"}, ""},
    };
    for (const Refusal& refusal : refusals) {
        for (bool switches : {true, false}) {
            SwitchedRecorder recorder(clean, refusal.version, refusal.admin, refusal.extracted);
            RecordingConsole console;
            RunOptions options;
            options.switches = switches;
            const RunReport report = RunRemovalWith(recorder.phases, console.sink, options);
            EXPECT_EQ(recorder.calls, refusal.calls);
            EXPECT_EQ(console.transcript, Banner + refusal.text);
            EXPECT_EQ(ExitCodeFor(report), 5);
            SwitchedRecorder again(clean, refusal.version, refusal.admin, refusal.extracted);
            RecordingConsole console2;
            EXPECT_EQ(RunRemoval(again.phases, console2.sink), 0);
            EXPECT_EQ(console2.transcript, console.transcript);
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
    std::string bytes;
    RunLog log{[&](std::string_view b) { bytes += b; }};
    RecordingConsole console;
    const ConsoleSink tee = TeeConsole(console.sink, log);

    AppendLogLine(log, "header");
    tee.writeWide(u"Banner \u00e9\n\n");
    tee.write("\nSystem Memory: ");
    tee.colour(ColourInfected);
    tee.write("Infected");
    tee.colour(ColourNormal);
    EXPECT_FALSE(log.atLineStart);
    AppendLogLine(log, "closing"); // starts on a line of its own
    tee.write("\nRestarting Windows ...\r\n");
    EXPECT_TRUE(log.atLineStart);
    AppendLogLine(log, "end");

    EXPECT_EQ(console.transcript, "Banner ?\n\n\nSystem Memory: <c12>Infected<c15>\nRestarting Windows ...\r\n");
    // The console's text mode writes "\n" as "\r\n"; the log does the same.
    EXPECT_EQ(bytes, "header\r\nBanner \xC3\xA9\r\n\r\n\r\nSystem Memory: Infected\r\nclosing\r\n"
                     "\r\nRestarting Windows ...\r\r\nend\r\n");
}

TEST(RunLogText, EmptyTextChangesNothing)
{
    std::string bytes;
    RunLog log{[&](std::string_view b) { bytes += b; }, false};
    AppendLogText(log, "");
    EXPECT_EQ(bytes, "");
    EXPECT_FALSE(log.atLineStart);
}

} // namespace
