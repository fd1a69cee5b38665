// The names the quarantine gives: the run's folder, the stored files, the
// file the restore writes before it replaces a target.
#pragma once

#include "program/quarantine/core/Manifest.hpp"
#include "program/run/core/RunLog.hpp"

#include <string>
#include <string_view>

extern const char16_t* const QuarantineFolderName; // "KorvaleQuarantine", under the Windows directory

// The run's folder, named by its UTC time, "20261210T114005Z"; for the
// second and later try (`attempt` from 1), "20261210T114005Z-2" and so on.
std::u16string RunFolderName(const LogFacts& time, unsigned attempt);

// The time as ISO 8601 UTC, "2026-12-10T11:40:05Z".
std::u16string IsoUtcTime(const LogFacts& time);

// The stored file of the object numbered `number`: "007-atapi.sys.quarantine"
// from the last part of its path (of a key's, "007-xyz.key.quarantine"),
// every character outside A-Z a-z 0-9 . _ - made '_', at most 48 of them.
std::u16string StoredFileName(unsigned number, QuarantineKind kind, std::u16string_view originalPath);

// Whether a file path names a data stream: a ':' in its last part
// ("C:\WINDOWS\x.dll:y.exe").
bool IsDataStreamPath(std::u16string_view path);

// The file, beside the target, that the restore writes and then moves over
// it: "<target>.<attempt>.restoring".
std::u16string RestoreWorkPath(std::u16string_view target, unsigned attempt);
