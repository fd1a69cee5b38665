#include "program/run/core/RunSequence.hpp"

#include <limits>

const char16_t* const BannerText =
    u"Korvale Antivirus QuorVallin Removal - v1.0\n"
    u"Korvale Antivirus Research Labs";

const char16_t* const ConsoleTitleText =
    u"K o r v a l e   A n t i v i r u s   Q u o r V a l l i n   R e m o v a l - v1.0";

const char* const ToolVersion = "v1.0";

namespace {

constexpr uint32_t RestartPauseMs = 2000;

const char* const RestartByHandText = "Restart Windows to complete the removal.\n";

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

void ReplaceDriver(const RunPhases& phases, const ConsoleSink& console, bool warn, RunReport& report)
{
    if (phases.replaceInfectedDriver())
        return;
    report.repairStepFailed = true;
    if (warn)
        console.write("Warning: Failed to remove QuorVallin driver infection.\n");
}

void WriteRepairReport(const RunPhases& phases, const ConsoleSink& console, const RunOptions& options)
{
    PlayScript(DisinfectedReport("Infected Driver"), console);
    if (!options.restart) {
        console.write(RestartByHandText);
        return;
    }
    console.write("\nRestarting Windows ...\r\n");
    phases.sleep(RestartPauseMs);
    if (!phases.restartWindows() && options.switches)
        console.write(RestartByHandText);
}

void ReactToOutcome(const RunPhases& phases, const ConsoleSink& console, const RunOptions& options,
                    RunReport& report)
{
    switch (report.outcome) {
    case Infected:
        if (report.driverInfected && RepairConsented(phases, options)) {
            report.repairAttempted = true;
            // Without switches a failed replacement is not warned of here:
            // "Disinfected" follows regardless.
            ReplaceDriver(phases, console, options.switches, report);
            WriteRepairReport(phases, console, options);
        }
        break;
    case InfectedAds:
        if (report.driverInfected && RepairConsented(phases, options)) {
            report.repairAttempted = true;
            phases.scanWindowsDirectoryStreams();
            phases.removeRootkitFolder();
            ReplaceDriver(phases, console, true, report);
            phases.cleanServiceRegistry();
            WriteRepairReport(phases, console, options);
        }
        break;
    case ScanError:
        console.write("Warning: Failed to remove QuorVallin infection.");
        console.write("\n");
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

} // namespace

RunReport RunRemovalWith(const RunPhases& phases, const ConsoleSink& console, const RunOptions& options)
{
    RunReport report;
    phases.enableDebugPrivilege();
    phases.setConsoleTitle(ConsoleTitleText);
    console.writeWide(BannerText);
    console.writeWide(u"\n\n");

    const OsVersion version = phases.getVersion();
    if (version.platformId != PlatformWin32Nt || version.majorVersion < 5) {
        console.writeWide(u"Windows XP SP3 or later is required!\n");
        return report;
    }
    // Under WOW64 the helper driver cannot load and the system folder is
    // redirected to the 32-bit one: the findings would be wrong.
    if (version.wow64) {
        console.writeWide(u"This removal tool runs on 32-bit Windows only.\n");
        return report;
    }
    if (!phases.isUserAnAdmin()) {
        console.writeWide(u"Administrator privileges is required for this removal to work!\n");
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

    report.driverInfected = phases.scanSystemDrivers();
    ReactToOutcome(phases, console, options, report);

    if (!options.switches) {
        console.write("\nPress any key to exit ...\r\n");
        phases.waitForKey();
    }
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
