#include "program/run/core/Switches.hpp"

const char* const UsageText =
    "Usage: KorvaleNoQuorVallin [/scan | /repair [/noreboot]] [/log:PATH]\n"
    "       KorvaleNoQuorVallin /restore:FOLDER [/overwrite] [/foreign] [/log:PATH]\n"
    "\n"
    "Without a switch the run is interactive: it asks before a repair and\n"
    "waits for a key at the end. Any switch removes the wait for a key.\n"
    "\n"
    "  /scan       detection only: no question, no repair, no restart\n"
    "  /repair     repair without asking when both findings agree, then restart\n"
    "  /noreboot   after a repair, do not restart Windows\n"
    "  /log:PATH   append a record of the run to the file PATH\n"
    "  /restore:FOLDER  put back what a run quarantined in FOLDER (a folder\n"
    "              under %SystemRoot%\\KorvaleQuarantine); nothing else runs\n"
    "  /overwrite  with /restore: also replace a file or key that differs now\n"
    "  /foreign    with /restore: also restore a quarantine made on another\n"
    "              computer or kept outside this computer's quarantine folder\n"
    "  /?          this text\n"
    "\n"
    "Exit codes (with a switch):\n"
    "  0  no infection found\n"
    "  1  infection found, nothing removed\n"
    "  2  infection removed; restart pending\n"
    "  3  the memory inspection could not be made\n"
    "  4  a repair was attempted and a step of it failed (no restart)\n"
    "  5  cannot run: usage error, not an administrator, unsupported Windows,\n"
    "     or the helper driver could not be extracted\n"
    "  6  no infection found, but the driver check was incomplete\n"
    "With /restore: 0 everything restored or already in place, 4 something\n"
    "was not, 5 cannot run (not an administrator, no such folder, unreadable\n"
    "manifest).\n";

namespace {

char16_t LowerAscii(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool EqualsIgnoringCase(std::u16string_view text, std::u16string_view lower)
{
    if (text.size() != lower.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (LowerAscii(text[i]) != lower[i])
            return false;
    }
    return true;
}

// "/name:VALUE" with a value, given for the first time: the value is kept.
bool TakePathSwitch(std::u16string_view name, std::u16string_view prefix, std::optional<std::u16string>& value)
{
    if (name.size() <= prefix.size() || !EqualsIgnoringCase(name.substr(0, prefix.size()), prefix) || value)
        return false;
    value = std::u16string(name.substr(prefix.size()));
    return true;
}

} // namespace

SwitchChoice ParseSwitches(const std::vector<std::u16string>& arguments)
{
    SwitchChoice choice;
    if (arguments.empty())
        return choice;
    choice.options.switches = true;

    bool usage = false, scan = false, repair = false, error = false;
    for (const std::u16string& argument : arguments) {
        if (argument.size() < 2 || (argument[0] != u'/' && argument[0] != u'-')) {
            error = true;
            continue;
        }
        const std::u16string_view name = std::u16string_view(argument).substr(1);
        if (EqualsIgnoringCase(name, u"?") || EqualsIgnoringCase(name, u"help"))
            usage = true;
        else if (EqualsIgnoringCase(name, u"scan"))
            scan = true;
        else if (EqualsIgnoringCase(name, u"repair"))
            repair = true;
        else if (EqualsIgnoringCase(name, u"noreboot"))
            choice.options.restart = false;
        else if (EqualsIgnoringCase(name, u"overwrite"))
            choice.overwrite = true;
        else if (EqualsIgnoringCase(name, u"foreign"))
            choice.foreign = true;
        else if (!TakePathSwitch(name, u"log:", choice.logPath) &&
                 !TakePathSwitch(name, u"restore:", choice.restoreFolder))
            error = true;
    }

    const bool restore = choice.restoreFolder.has_value();
    if (error || (scan && repair) || (restore && (scan || repair)) || ((choice.overwrite || choice.foreign) && !restore))
        choice.action = SwitchAction::UsageError;
    else if (usage)
        choice.action = SwitchAction::ShowUsage;
    if (scan)
        choice.options.consent = RepairConsent::Never;
    if (repair)
        choice.options.consent = RepairConsent::Given;
    return choice;
}

int ExitCodeFor(const RunReport& report)
{
    if (report.refused)
        return ExitCannotRun;
    if (report.repairAttempted)
        return report.repairStepFailed ? ExitRepairStepFailed : ExitRemovedRestartPending;
    // Without a verdict from memory the run acts on nothing, whatever the
    // driver scan found; the console says so with its warning.
    if (report.outcome != Infected && report.outcome != InfectedAds && report.outcome != Clean)
        return ExitInspectionFailed;
    if (report.outcome != Clean || report.driverInfected)
        return ExitInfectionFound;
    // Nothing found, but not everything could be looked at.
    if (report.driversNotVerified != 0)
        return ExitCheckIncomplete;
    return ExitNoInfection;
}

const char* ExitCodeMeaning(int exitCode)
{
    switch (exitCode) {
    case ExitNoInfection:
        return "no infection found";
    case ExitInfectionFound:
        return "infection found, nothing removed";
    case ExitRemovedRestartPending:
        return "infection removed; restart pending";
    case ExitInspectionFailed:
        return "the memory inspection could not be made";
    case ExitRepairStepFailed:
        return "a repair was attempted and a step of it failed";
    case ExitCannotRun:
        return "cannot run";
    case ExitCheckIncomplete:
        return "the driver check was incomplete";
    default:
        return "unknown";
    }
}
