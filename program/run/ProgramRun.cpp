#include "program/run/ProgramRun.hpp"

#include "program/quarantine/Quarantine.hpp"
#include "program/quarantine/core/RestoreRun.hpp"
#include "program/run/Handles.hpp"
#include "program/run/Wide.hpp"
#include "program/run/WinConsole.hpp"
#include "program/run/core/Switches.hpp"

#include <windows.h>

#include <optional>

namespace {

// Opens the log for appending, creating it when absent; a relative path is
// taken from the current folder.
UniqueFile OpenLog(const std::u16string& path)
{
    return UniqueFile(CreateFileW(AsWide(path.c_str()), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

void WriteToFile(HANDLE file, std::string_view bytes)
{
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
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

    UniqueFile logFile;
    RunLog log;
    if (choice.logPath) {
        logFile = OpenLog(*choice.logPath);
        if (logFile) {
            const HANDLE file = logFile.get();
            log.append = [file](std::string_view bytes) { WriteToFile(file, bytes); };
            // Records of earlier runs are kept apart by an empty line (by a
            // line end from one that was cut off).
            if (GetFileSize(file, nullptr) != 0)
                log.atLineStart = false;
            AppendLogLine(log, LogHeaderLine(CurrentLogFacts()));
            SetConsoleLog(&log);
        } else {
            const DWORD error = GetLastError();
            const std::string number = std::to_string(error);
            const std::u16string warning = u"Warning: The log file " + *choice.logPath + u" cannot be opened (error "
                + std::u16string(number.begin(), number.end()) + u").\n";
            StandardConsole().writeWide(warning);
        }
    }

    const int exitCode = choice.restoreFolder
        ? RunRestoreSwitch(phases, *choice.restoreFolder, choice.overwrite)
        : ExitCodeFor(RunRemovalWith(phases, StandardConsole(), choice.options));
    if (logFile) {
        SetConsoleLog(nullptr);
        AppendLogLine(log, choice.restoreFolder ? RestoreClosingLine(exitCode) : LogClosingLine(exitCode));
    }
    return exitCode;
}
