// A run started with /restore:FOLDER: the banner, the refusals of a removal
// run (a Windows it does not support, a user who is not an administrator),
// then the restore and nothing else: no helper driver, no scan.
#pragma once

#include "program/run/core/Console.hpp"
#include "program/run/core/RunSequence.hpp"

#include <functional>
#include <string>

// Returns the restore's exit code, or RestoreCannotRun after a refusal.
// Of the phases it calls only setConsoleTitle, getVersion, isUserAnAdmin and
// systemVolumeWithoutAccessLists (its line: a restore always has switches).
int RunRestore(const RunPhases& phases, const ConsoleSink& console, const std::function<int()>& restore);

// The log's closing line of a restore run, "=== Exit code 4: some objects
// were not restored ===".
std::string RestoreClosingLine(int exitCode);
