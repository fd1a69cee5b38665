// The program's own registry key, HKLM\SOFTWARE\KorvaleNoQuorVallin: what a
// run leaves for the next one (the journal of a driver replacement, the
// record of an automatic restart). The key is made with access for SYSTEM
// and the administrators only; one that someone else owns is not trusted,
// neither read nor written.
#pragma once

#include <optional>
#include <string>

// The value's text, or nothing when it is absent, not text, or the key is
// not trusted.
std::optional<std::wstring> ReadProgramValue(const wchar_t* name);
// Writes the value and flushes the key to disk; false when it could not.
bool WriteProgramValue(const wchar_t* name, const std::wstring& text);
// Deletes the value; true when it is gone (or was never there).
bool DeleteProgramValue(const wchar_t* name);
