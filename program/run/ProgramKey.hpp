// The program's own registry key, HKLM\SOFTWARE\KorvaleNoQuorVallin: what a
// run leaves for the next one (the journal of a driver replacement, the
// record of an automatic restart). The key is made owned by the
// Administrators with access for SYSTEM and the administrators only. A key
// that fails the trust test (someone else owns it or may change it, or it
// is a link) is never read; the first write of a run takes it over (the
// Administrators become its owner, then it is deleted with its values and
// made new) and says so in one line; when that fails, the line says why and
// nothing is written.
#pragma once

#include <optional>
#include <string>

// The value's text, or nothing when it is absent, not text, or the key is
// not trusted.
std::optional<std::wstring> ReadProgramValue(const wchar_t* name);
// Writes the value and flushes the key to disk; false when it could not
// (the key cannot be made, or cannot be taken over).
bool WriteProgramValue(const wchar_t* name, const std::wstring& text);
// Deletes the value; true when it is gone (or was never there).
bool DeleteProgramValue(const wchar_t* name);
