// The phases of a real run: each bound to the Win32 call or the member
// operation of the run's context that performs it.

#include "program/run/RemovalContext.hpp"
#include "program/run/RestartRecord.hpp"
#include "program/run/Wide.hpp"

#include <shlobj.h>
#include <windows.h>

#include <iostream>
#include <string>

std::optional<bool> QueryWow64()
{
    // Bound by name: the function is missing before Windows XP SP2.
    using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto isWow64Process = kernel == nullptr ? nullptr
        : reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
    BOOL wow64 = FALSE;
    if (isWow64Process == nullptr || !isWow64Process(GetCurrentProcess(), &wow64))
        return std::nullopt;
    return wow64 != FALSE;
}

namespace {

OsVersion QueryVersion()
{
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info); // 276
    GetVersionExW(&info);                   // a failing call leaves it zero
    return OsVersion{info.dwPlatformId, info.dwMajorVersion, QueryWow64().value_or(false)};
}

// The volume that holds the Windows directory, when it keeps no owners or
// access lists (FAT, FAT32, exFAT).
std::optional<std::u16string> SystemVolumeWithoutAccessLists()
{
    wchar_t windows[MAX_PATH] = {}, volume[MAX_PATH] = {}, fileSystem[MAX_PATH] = {};
    DWORD flags = 0;
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !GetVolumePathNameW(windows, volume, MAX_PATH) ||
        !GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags, fileSystem, MAX_PATH) ||
        (flags & FILE_PERSISTENT_ACLS) != 0)
        return std::nullopt;
    return ToU16(volume) + u" (" + ToU16(fileSystem) + u")";
}

std::wstring WindowsSearchPattern()
{
    wchar_t directory[MAX_PATH] = {};
    GetWindowsDirectoryW(directory, MAX_PATH);
    return std::wstring(directory) + L"\\*";
}

} // namespace

RunPhases ProgramPhases(RemovalContext& context)
{
    const std::wstring windowsSearchPattern = WindowsSearchPattern();

    RunPhases phases;
    phases.enableDebugPrivilege = EnableDebugPrivilege;
    phases.completeInterruptedReplacement = [&] { context.CompleteInterruptedReplacement(); };
    phases.setConsoleTitle = [](std::u16string_view title) { SetConsoleTitleW(ToWide(title).c_str()); };
    phases.getVersion = QueryVersion;
    phases.isUserAnAdmin = [] { return IsUserAnAdmin() != FALSE; };
    phases.systemVolumeWithoutAccessLists = SystemVolumeWithoutAccessLists;
    phases.makeWorkFolder = [&] { return context.MakeWorkFolder(); };
    phases.extractDriver = [&] { return context.ExtractDriver(); };
    phases.installAndStartDriver = [&] { return context.InstallAndStartDriver(); };
    phases.inspectSystemMemory = [&] { return context.memoryOutcome = context.InspectSystemMemory(); };
    phases.stopAndDeleteDriver = [&](ServiceHandles handles) {
        return context.StopAndDeleteDriver(static_cast<SC_HANDLE>(handles.manager),
                                           static_cast<SC_HANDLE>(handles.service));
    };
    phases.scanSystemDrivers = [&] { return context.ScanSystemDrivers(); };
    phases.askRestartConsent = [&] { return context.AskRestartConsent(); };
    phases.scanWindowsDirectoryStreams = [&context, windowsSearchPattern] {
        return context.ScanWindowsDirectoryStreams(windowsSearchPattern.c_str());
    };
    phases.removeRootkitFolder = [&] { return context.RemoveRootkitFolder(); };
    phases.replaceInfectedDriver = [&] { return context.ReplaceInfectedDriver(); };
    phases.verifyReplacedDriver = [&] { return context.VerifyReplacedDriver(); };
    phases.cleanServiceRegistry = [&] { return context.CleanServiceRegistry(context.hiddenImageName); };
    phases.quarantineFolder = [&] { return context.QuarantineFolder(); };
    phases.previousAutomaticRestart = PreviousAutomaticRestart;
    phases.recordAutomaticRestart = [&] { return RecordAutomaticRestart(context.infectedDriverName); };
    phases.forgetAutomaticRestart = ForgetAutomaticRestart;
    phases.restartWindows = [&] { return context.RestartWindows(); };
    phases.sleep = [](uint32_t ms) { Sleep(ms); };
    phases.waitForKey = [] { std::cin.get(); };
    phases.deleteDriverFile = [&] { return context.DeleteDriverFile() != FALSE; };
    return phases;
}
