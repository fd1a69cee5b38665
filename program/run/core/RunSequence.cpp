#include "program/run/core/RunSequence.hpp"

#include <limits>
#include <string>

const char16_t* const BannerText =
    u"Korvale Antivirus QuorVallin Removal - v1.0\n"
    u"Korvale Antivirus Research Labs";

const char16_t* const ConsoleTitleText =
    u"K o r v a l e   A n t i v i r u s   Q u o r V a l l i n   R e m o v a l - v1.0";

const char* const ToolVersion = "v1.0";

namespace {

constexpr uint32_t RestartPauseMs = 2000;

const char* const RestartByHandText = "Restart Windows to complete the removal.\n";
const char* const ReplacementWarning = "Warning: Failed to remove QuorVallin driver infection.\n";

bool RepairConsented(const RunPhases& phases, const RunOptions& options)
{
    switch (options.consent) {
    case RepairConsent::Given:
        return true;
    case RepairConsent::Never:
        return false;
    case RepairConsent::Ask:
        break;
    }
    return phases.askRestartConsent();
}

// A repair step that did not do its work fails the repair; with switches a
// warning names it.
void NoteStep(bool done, const char* warning, const ConsoleSink& console, const RunOptions& options,
              RunReport& report)
{
    if (done)
        return;
    report.repairStepFailed = true;
    if (options.switches)
        console.write(warning);
}

void NoteCleanup(CleanupResult result, const char* notFound, const char* failed, const ConsoleSink& console,
                 const RunOptions& options, RunReport& report)
{
    if (result != CleanupResult::Done)
        NoteStep(false, result == CleanupResult::NotFound ? notFound : failed, console, options, report);
}

// Replaces the driver, then looks at the disk again: the report says
// "Disinfected" only when the raw content there is now the clean one.
ReplacedDriverCheck ReplaceAndVerify(const RunPhases& phases, const ConsoleSink& console, bool warn,
                                     RunReport& report)
{
    if (!phases.replaceInfectedDriver()) {
        report.repairStepFailed = true;
        if (warn)
            console.write(ReplacementWarning);
    }
    const ReplacedDriverCheck check = phases.verifyReplacedDriver();
    if (check != ReplacedDriverCheck::Clean)
        report.repairStepFailed = true;
    return check;
}

// What the re-read showed, said only as far as it is known.
const char* DriverReportDetail(ReplacedDriverCheck check)
{
    switch (check) {
    case ReplacedDriverCheck::Infected:
        return "\nThe infected content of the driver is still on the disk.\n\n";
    case ReplacedDriverCheck::Other:
        return "\nThe driver on the disk holds neither the clean copy nor the infected content.\n\n";
    default:
        return "\nThe driver could not be read straight from the disk, so the repair could not be verified.\n\n";
    }
}

void WriteDriverReport(ReplacedDriverCheck check, const ConsoleSink& console)
{
    if (check == ReplacedDriverCheck::Clean) {
        PlayScript(DisinfectedReport("Infected Driver"), console);
        return;
    }
    console.write("\nInfected Driver: ");
    console.colour(ColourInfected);
    console.write("Not removed");
    console.colour(ColourNormal);
    console.write(DriverReportDetail(check));
}

// With switches nobody is there to answer for a restart: it is requested
// only after a repair whose every step did its work, and never twice for an
// infection that a repair and restart did not remove.
bool MayRestartUnattended(const RunPhases& phases, const ConsoleSink& console, RunReport& report)
{
    if (report.repairStepFailed) {
        console.write("Windows is not restarted: a step of the repair failed.\n");
        return false;
    }
    if (const std::optional<std::u16string> previous = phases.previousAutomaticRestart()) {
        report.repairStepFailed = true;
        console.write("Warning: The repair before the automatic restart of ");
        console.writeWide(*previous);
        console.write(" did not hold: QuorVallin was found again. Windows is not restarted.\n");
        return false;
    }
    if (!phases.recordAutomaticRestart()) {
        console.write("Warning: The restart cannot be recorded, so it is not requested.\n");
        console.write(RestartByHandText);
        return false;
    }
    return true;
}

void WriteRepairReport(const RunPhases& phases, const ConsoleSink& console, const RunOptions& options,
                       ReplacedDriverCheck check, RunReport& report)
{
    WriteDriverReport(check, console);
    const std::u16string quarantine = phases.quarantineFolder();
    if (!quarantine.empty()) {
        console.write("What the repair removed is kept in ");
        console.writeWide(quarantine);
        console.write("\n");
    }
    if (!options.restart) {
        console.write(RestartByHandText);
        return;
    }
    if (options.switches && !MayRestartUnattended(phases, console, report))
        return;
    console.write("\nRestarting Windows ...\r\n");
    phases.sleep(RestartPauseMs);
    if (!phases.restartWindows() && options.switches)
        console.write(RestartByHandText);
}

void RepairPlainVariant(const RunPhases& phases, const ConsoleSink& console, const RunOptions& options,
                        RunReport& report)
{
    // Without switches a failed replacement is not warned of here; the
    // report that follows tells what the disk holds.
    const ReplacedDriverCheck check = ReplaceAndVerify(phases, console, options.switches, report);
    WriteRepairReport(phases, console, options, check, report);
}

void RepairStreamVariant(const RunPhases& phases, const ConsoleSink& console, const RunOptions& options,
                         RunReport& report)
{
    NoteStep(phases.scanWindowsDirectoryStreams(),
             "Warning: The QuorVallin executable hidden in a data stream was not found.\n", console, options,
             report);
    NoteCleanup(phases.removeRootkitFolder(), "Warning: The QuorVallin folder was not found.\n",
                "Warning: Failed to remove QuorVallin malicious files.\n", console, options, report);
    const ReplacedDriverCheck check = ReplaceAndVerify(phases, console, true, report);
    NoteCleanup(phases.cleanServiceRegistry(), "Warning: No QuorVallin service was found in the registry.\n",
                "Warning: Failed to remove QuorVallin registry key.\n", console, options, report);
    WriteRepairReport(phases, console, options, check, report);
}

void ReactToOutcome(const RunPhases& phases, const ConsoleSink& console, const RunOptions& options,
                    bool debugPrivilege, RunReport& report)
{
    switch (report.outcome) {
    case Infected:
    case InfectedAds:
        if (report.driverInfected && RepairConsented(phases, options)) {
            report.repairAttempted = true;
            if (report.outcome == Infected)
                RepairPlainVariant(phases, console, options, report);
            else
                RepairStreamVariant(phases, console, options, report);
        }
        break;
    case ScanError:
        console.write("Warning: Failed to remove QuorVallin infection.");
        console.write("\n");
        // The helper driver answers only callers that hold the privilege.
        if (!debugPrivilege)
            console.write("The debug privilege could not be enabled (the rights policy \"Debug programs\"): "
                          "without it the memory inspection cannot be made.\n");
        break;
    case Clean:
        console.colour(ColourGood);
        console.write("\nNo instances of QuorVallin was found.\n\n");
        console.colour(ColourNormal);
        break;
    default:
        break;
    }
}

void PromptForExit(const RunPhases& phases, const ConsoleSink& console)
{
    console.write("\nPress any key to exit ...\r\n");
    phases.waitForKey();
}

// A machine found clean in memory and on every driver the scan could read.
bool FoundClean(const RunReport& report)
{
    return report.outcome == Clean && !report.driverInfected && report.driversNotVerified == 0;
}

} // namespace

bool PassStartUpChecks(const RunPhases& phases, const ConsoleSink& console)
{
    phases.setConsoleTitle(ConsoleTitleText);
    console.writeWide(BannerText);
    console.writeWide(u"\n\n");

    const OsVersion version = phases.getVersion();
    if (version.platformId != PlatformWin32Nt || version.majorVersion < 5) {
        console.writeWide(u"Windows XP SP3 or later is required!\n");
        return false;
    }
    // Under WOW64 the helper driver cannot load, and the system folder and
    // the registry are redirected to the 32-bit ones: the findings would be
    // wrong, and what a restore takes from one place would go to another.
    if (version.wow64) {
        console.writeWide(u"This removal tool runs on 32-bit Windows only.\n");
        return false;
    }
    if (!phases.isUserAnAdmin()) {
        console.writeWide(u"Administrator privileges is required for this removal to work!\n");
        return false;
    }
    return true;
}

void WarnOfVolumeWithoutAccessLists(const RunPhases& phases, const ConsoleSink& console, bool switches)
{
    if (!switches)
        return;
    if (const std::optional<std::u16string> volume = phases.systemVolumeWithoutAccessLists())
        console.writeWide(u"Warning: The system volume " + *volume +
                          u" keeps no owners or access lists: other accounts can change the program's files "
                          u"there while it runs.\n");
}

RunReport RunRemovalWith(const RunPhases& phases, const ConsoleSink& console, const RunOptions& options)
{
    RunReport report;
    const bool debugPrivilege = phases.enableDebugPrivilege();
    if (!PassStartUpChecks(phases, console))
        return report;
    WarnOfVolumeWithoutAccessLists(phases, console, options.switches);
    phases.completeInterruptedReplacement();
    if (!phases.makeWorkFolder()) {
        // Its line is said; a console opened by a double click stays until
        // it has been read.
        if (!options.switches)
            PromptForExit(phases, console);
        return report;
    }
    if (!phases.extractDriver())
        return report;
    report.refused = false;

    const ServiceHandles handles = phases.installAndStartDriver();
    if (handles.manager == nullptr || handles.service == nullptr)
        console.write("hello \n");

    report.outcome = phases.inspectSystemMemory();
    if (phases.stopAndDeleteDriver(handles))
        console.write("\n");

    const DriverScanFindings findings = phases.scanSystemDrivers();
    report.driverInfected = findings.infected;
    report.driversJudged = findings.judged;
    report.driversNotVerified = findings.notVerified;
    if (options.switches && findings.notVerified != 0) {
        const std::string line = "Warning: " + std::to_string(findings.notVerified) + " of "
            + std::to_string(findings.judged) + " drivers could not be verified.\n";
        console.write(line);
    }
    ReactToOutcome(phases, console, options, debugPrivilege, report);
    if (FoundClean(report))
        phases.forgetAutomaticRestart();

    if (!options.switches)
        PromptForExit(phases, console);
    phases.deleteDriverFile();
    return report;
}

int RunRemoval(const RunPhases& phases, const ConsoleSink& console)
{
    RunRemovalWith(phases, console, RunOptions{});
    return 0;
}

bool AskRestartConsentOn(std::istream& in, const ConsoleSink& console)
{
    const char* const repeated =
        "Please be sure to save all files and close all open programs before continuing.\n"
        "Are you sure you want to continue disinfection? [y/n] ";
    console.write("\n\nWindows will be automatically ");
    console.colour(ColourGood);
    console.write("restarted ");
    console.colour(ColourNormal);
    console.write("after disinfection.\n");
    console.write(repeated);
    for (;;) {
        std::string answer;
        if (!(in >> answer))
            return false;
        if (answer == "y" || answer == "n") {
            // The rest of the answer's line is not a key press for the exit
            // prompt that follows: without this the line end typed after
            // the answer would end the run before the user has read it.
            in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
            return answer == "y";
        }
        console.write(repeated);
    }
}
