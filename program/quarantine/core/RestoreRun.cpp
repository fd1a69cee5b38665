#include "program/quarantine/core/RestoreRun.hpp"

#include "program/quarantine/core/RestoreDecision.hpp"

int RunRestore(const RunPhases& phases, const ConsoleSink& console, const std::function<int()>& restore)
{
    phases.setConsoleTitle(ConsoleTitleText);
    console.writeWide(BannerText);
    console.writeWide(u"\n\n");

    const OsVersion version = phases.getVersion();
    if (version.platformId != PlatformWin32Nt || version.majorVersion < 5) {
        console.writeWide(u"Windows XP SP3 or later is required!\n");
        return RestoreCannotRun;
    }
    // Under WOW64 the system folder and the registry are redirected: what
    // was taken from one place would go back to another.
    if (version.wow64) {
        console.writeWide(u"This removal tool runs on 32-bit Windows only.\n");
        return RestoreCannotRun;
    }
    if (!phases.isUserAnAdmin()) {
        console.writeWide(u"Administrator privileges is required for this removal to work!\n");
        return RestoreCannotRun;
    }
    return restore();
}

std::string RestoreClosingLine(int exitCode)
{
    return "=== Exit code " + std::to_string(exitCode) + ": " + RestoreExitMeaning(exitCode) + " ===";
}
