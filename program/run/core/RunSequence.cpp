#include "program/run/core/RunSequence.hpp"

#include <limits>

const char16_t* const BannerText =
    u"Korvale Antivirus QuorVallin Removal - v1.0\n"
    u"Korvale Antivirus Research Labs";

const char16_t* const ConsoleTitleText =
    u"K o r v a l e   A n t i v i r u s   Q u o r V a l l i n   R e m o v a l - v1.0";

namespace {

constexpr uint32_t RestartPauseMs = 2000;

void WriteRepairReport(const RunPhases& phases, const ConsoleSink& console)
{
    PlayScript(DisinfectedReport("Infected Driver"), console);
    console.write("\nRestarting Windows ...\r\n");
    phases.sleep(RestartPauseMs);
    phases.restartWindows();
}

void ReactToOutcome(int32_t outcome, bool driverInfected, const RunPhases& phases,
                    const ConsoleSink& console)
{
    switch (outcome) {
    case Infected:
        if (driverInfected && phases.askRestartConsent()) {
            phases.replaceInfectedDriver();
            WriteRepairReport(phases, console);
        }
        break;
    case InfectedAds:
        if (driverInfected && phases.askRestartConsent()) {
            phases.scanWindowsDirectoryStreams();
            phases.removeRootkitFolder();
            if (!phases.replaceInfectedDriver())
                console.write("Warning: Failed to remove QuorVallin driver infection.\n");
            phases.cleanServiceRegistry();
            WriteRepairReport(phases, console);
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

int RunRemoval(const RunPhases& phases, const ConsoleSink& console)
{
    phases.enableDebugPrivilege();
    phases.setConsoleTitle(ConsoleTitleText);
    console.writeWide(BannerText);
    console.writeWide(u"\n\n");

    const OsVersion version = phases.getVersion();
    if (version.platformId != PlatformWin32Nt || version.majorVersion < 5) {
        console.writeWide(u"Windows XP SP3 or later is required!\n");
        return 0;
    }
    if (!phases.isUserAnAdmin()) {
        console.writeWide(u"Administrator privileges is required for this removal to work!\n");
        return 0;
    }
    if (!phases.extractDriver())
        return 0;

    const ServiceHandles handles = phases.installAndStartDriver();
    if (handles.manager == nullptr || handles.service == nullptr)
        console.write("hello \n");

    const int32_t outcome = phases.inspectSystemMemory();
    if (phases.stopAndDeleteDriver(handles))
        console.write("\n");

    const bool driverInfected = phases.scanSystemDrivers();
    ReactToOutcome(outcome, driverInfected, phases, console);

    console.write("\nPress any key to exit ...\r\n");
    phases.waitForKey();
    phases.deleteDriverFile();
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
