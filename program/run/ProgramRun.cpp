#include "program/run/ProgramRun.hpp"

#include "program/quarantine/Quarantine.hpp"
#include "program/quarantine/core/RestoreRun.hpp"
#include "program/common/Handles.hpp"
#include "program/run/LogFile.hpp"
#include "program/run/Wide.hpp"
#include "program/run/WinConsole.hpp"
#include "program/run/core/Switches.hpp"

#include <windows.h>

#include <optional>

namespace {

// "Warning: The log file PATH cannot be opened (error 5).\n" and the like.
std::u16string LogErrorWarning(const std::u16string& path, const char16_t* what, DWORD error)
{
    const std::string number = std::to_string(error);
    return u"Warning: The log file " + path + u" " + what + u" (error " + std::u16string(number.begin(), number.end())
        + u").\n";
}

} // namespace

LogFacts CurrentLogFacts()
{
    LogFacts facts;
    SYSTEMTIME now{};
    GetSystemTime(&now);
    facts.year = now.wYear;
    facts.month = now.wMonth;
    facts.day = now.wDay;
    facts.hour = now.wHour;
    facts.minute = now.wMinute;
    facts.second = now.wSecond;

    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (GetComputerNameW(name, &length))
        facts.computerName = ToU16(std::wstring_view(name, length));

    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (GetVersionExW(&version)) {
        facts.majorVersion = version.dwMajorVersion;
        facts.minorVersion = version.dwMinorVersion;
        facts.buildNumber = version.dwBuildNumber;
        facts.servicePack = ToU16(version.szCSDVersion);
    }
    return facts;
}

int RunProgram(const std::vector<std::u16string>& arguments, const RunPhases& phases)
{
    if (arguments.empty())
        return RunRemoval(phases, StandardConsole());

    const SwitchChoice choice = ParseSwitches(arguments);
    if (choice.action != SwitchAction::Run) {
        StandardConsole().write(UsageText);
        return choice.action == SwitchAction::ShowUsage ? ExitNoInfection : ExitCannotRun;
    }

    OpenedLog logFile;
    RunLog log;
    if (choice.logPath) {
        logFile = OpenRunLog(*choice.logPath);
        if (logFile.file) {
            AppendLogLine(log, LogHeaderLine(CurrentLogFacts()));
            SetConsoleLog(&log);
        } else if (logFile.refusal != LogRefusal::None) {
            StandardConsole().writeWide(LogRefusalWarning(*choice.logPath, logFile.refusal));
        } else {
            StandardConsole().writeWide(LogErrorWarning(*choice.logPath, u"cannot be opened", logFile.error));
        }
    }

    const int exitCode = choice.restoreFolder
        ? RunRestoreSwitch(phases, *choice.restoreFolder, RestoreChoice{choice.overwrite, choice.foreign})
        : ExitCodeFor(RunRemovalWith(phases, StandardConsole(), choice.options));
    if (logFile.file) {
        SetConsoleLog(nullptr);
        AppendLogLine(log, choice.restoreFolder ? RestoreClosingLine(exitCode) : LogClosingLine(exitCode));
        if (!WriteRunLogRecord(logFile.file.get(), log)) {
            const DWORD error = GetLastError();
            StandardConsole().writeWide(LogErrorWarning(*choice.logPath, u"could not be written", error));
        }
    }
    return exitCode;
}
