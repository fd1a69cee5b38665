#include "program/quarantine/core/RestoreRun.hpp"

#include "program/quarantine/core/RestoreDecision.hpp"

int RunRestore(const RunPhases& phases, const ConsoleSink& console, const std::function<int()>& restore)
{
    if (!PassStartUpChecks(phases, console))
        return RestoreCannotRun;
    WarnOfVolumeWithoutAccessLists(phases, console, true);
    return restore();
}

std::string RestoreClosingLine(int exitCode)
{
    return "=== Exit code " + std::to_string(exitCode) + ": " + RestoreExitMeaning(exitCode) + " ===";
}
