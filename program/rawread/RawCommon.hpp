// Helpers shared by the raw reader's operations: the one way out of each
// operation, which sets the thread's last error the way the reader promises.
#pragma once

#include "program/rawread/RawRead.hpp"
#include "program/rawread/core/BootSector.hpp"

#include <windows.h>

#include <initializer_list>

namespace rawread {

// An operation that fails without a code of its own leaves the last error
// as the platform (or a callback) left it.
constexpr DWORD KeepLastError = 0xFFFFFFFFu;

// The single exit: success sets ERROR_SUCCESS, a failure its code.
inline BOOL Finish(DWORD error)
{
    if (error == ERROR_SUCCESS) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (error != KeepLastError)
        SetLastError(error);
    return FALSE;
}

// Runs an operation's steps from a cleared last error to the single exit.
template <typename... Params, typename... Args>
BOOL RunSteps(DWORD (*steps)(Params...), Args... args)
{
    SetLastError(ERROR_SUCCESS);
    return Finish(steps(args...));
}

// The code a failed platform call left; never 0, so that a failure cannot
// be mistaken for success.
inline DWORD LastErrorOf()
{
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

inline bool IsOpenHandle(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// Frees the strings (LocalAlloc'd, null when absent) and closes the handle
// that an open record holds.
inline void ReleaseRecord(std::initializer_list<wchar_t*> texts, HANDLE handle)
{
    for (wchar_t* text : texts)
        if (text != nullptr)
            LocalFree(text);
    if (IsOpenHandle(handle))
        CloseHandle(handle);
}

inline VolumeFacts FactsOf(const RawVolumeInfo& volume)
{
    return VolumeFacts{IsOpenHandle(volume.volumeHandle), volume.dataAreaOffset, volume.fileSystem,
                       volume.sectorsPerCluster, volume.bytesPerSector, volume.bytesPerCluster,
                       volume.fileSystemFlags};
}

} // namespace rawread
