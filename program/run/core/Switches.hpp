// The command line of an unattended run: Windows-style switches, the usage
// text, and the exit code that tells a deployment tool what a run found and
// did. Without arguments the program is the interactive run, exit code 0.
#pragma once

#include "program/run/core/RunSequence.hpp"

#include <optional>
#include <string>
#include <vector>

enum class SwitchAction {
    Run,        // run the removal with the parsed options
    ShowUsage,  // "/?" or "/help": the usage text, exit code 0, nothing else
    UsageError, // unknown or conflicting switches: the usage text, exit code 5, nothing else
};

struct SwitchChoice {
    SwitchAction action = SwitchAction::Run;
    RunOptions options;
    std::optional<std::u16string> logPath; // "/log:PATH", the path as given
    // "/restore:FOLDER": put back what a run quarantined, and nothing else.
    std::optional<std::u16string> restoreFolder;
    bool overwrite = false; // "/overwrite", with /restore:
    bool foreign = false;   // "/foreign", with /restore:
};

// Switches begin with '/' or '-' and are matched without case:
// /? /help /scan /repair /noreboot /log:PATH /restore:FOLDER /overwrite
// /foreign. "/scan" and "/repair" exclude each other and "/restore:";
// "/log:" and "/restore:" need a path and may be given once; "/overwrite"
// and "/foreign" need "/restore:".
SwitchChoice ParseSwitches(const std::vector<std::u16string>& arguments);

extern const char* const UsageText;

// Exit codes of a run started with switches.
enum RunExitCode : int {
    ExitNoInfection = 0,          // memory clean and no driver infected
    ExitInfectionFound = 1,       // infection found, nothing removed
    ExitRemovedRestartPending = 2,// infection removed; restart pending or under way
    ExitInspectionFailed = 3,     // the memory inspection could not be made
    ExitRepairStepFailed = 4,     // a repair was attempted and a step of it failed
    ExitCannotRun = 5,            // usage error, refusal, or no helper driver
    ExitCheckIncomplete = 6,      // memory clean, no driver infected, some drivers not verified
};

int ExitCodeFor(const RunReport& report);

// The code's meaning in a few words, for the log's closing line.
const char* ExitCodeMeaning(int exitCode);
