// The [y/n] restart question and the restart of Windows.

#include "program/common/Handles.hpp"
#include "program/run/Privilege.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/WinConsole.hpp"

#include <iostream>

bool RemovalContext::AskRestartConsent()
{
    return AskRestartConsentOn(std::cin, StandardConsole());
}

bool EnablePrivilege(const wchar_t* name)
{
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &rawToken))
        return false;
    UniqueKernelHandle token(rawToken);
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid))
        return false;
    AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
    return GetLastError() == ERROR_SUCCESS;
}

bool RemovalContext::RestartWindows()
{
    if (!EnablePrivilege(L"SeShutdownPrivilege"))
        return false;

    const DWORD reason = SHTDN_REASON_FLAG_PLANNED | SHTDN_REASON_MAJOR_OPERATINGSYSTEM |
                         SHTDN_REASON_MINOR_UPGRADE;
    if (!ExitWindowsEx(EWX_REBOOT | EWX_FORCE, reason))
        return false;
    // The shutdown may end the process before the run deletes the driver file.
    DeleteDriverFile();
    return true;
}

bool EnableDebugPrivilege()
{
    // Reads of system drivers and of the files a repair keeps go through
    // backup semantics, so no access list has to be opened up to read them.
    EnablePrivilege(L"SeBackupPrivilege");
    return EnablePrivilege(L"SeDebugPrivilege");
}
