// The program's run for its command line: without arguments the interactive
// run, exit code 0; with switches the unattended run, its log and its exit
// code.
#pragma once

#include "program/run/core/RunLog.hpp"
#include "program/run/core/RunSequence.hpp"

#include <string>
#include <vector>

int RunProgram(const std::vector<std::u16string>& arguments, const RunPhases& phases);

// The log header's facts for this machine, now.
LogFacts CurrentLogFacts();
