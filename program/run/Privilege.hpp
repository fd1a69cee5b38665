// Privileges the program turns on in its own token.
#pragma once

// Turns on one privilege ("SeBackupPrivilege", ...) in this process's
// token; true when it is now on (a failed adjustment and a privilege not
// held, ERROR_NOT_ALL_ASSIGNED, both leave a last error).
bool EnablePrivilege(const wchar_t* name);
