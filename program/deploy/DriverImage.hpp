// The driver file in the temporary folder, and the handle that keeps it
// unchanged from the moment it is checked until the service control
// manager has loaded it.
#pragma once

#include "program/common/Handles.hpp"

#include <windows.h>

// Writes the `size` bytes of `image` to the file open for writing as
// `file`, from its first byte, and ends the file there. True when every
// byte was written and the end was set.
bool WriteDriverImage(HANDLE file, const void* image, DWORD size);

// Opens the file at `path` for reading, shared for reading only, so that
// no other handle can write, replace, rename or delete it while the result
// is held, and the kernel's loader (which reads it) still can. The result
// is held only when the file then holds exactly the `size` bytes of
// `image`; otherwise it is empty.
UniqueFile HoldDriverImage(const wchar_t* path, const void* image, DWORD size);
