#include "program/quarantine/core/RestoreRun.hpp"

#include "program/quarantine/core/RestoreDecision.hpp"

int RunRestore(const RunPhases& phases, const ConsoleSink& console, const std::function<int()>& restore)
{
    return PassStartUpChecks(phases, console) ? restore() : RestoreCannotRun;
}

std::string RestoreClosingLine(int exitCode)
{
    return "=== Exit code " + std::to_string(exitCode) + ": " + RestoreExitMeaning(exitCode) + " ===";
}
