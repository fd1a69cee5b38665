// Where the helper driver's file lives during a run.
#pragma once

#include <optional>
#include <string>
#include <string_view>

constexpr std::size_t MaxPathChars = 260; // MAX_PATH, terminator included

extern const char16_t* const DriverFileName; // "KorvaleNoQuorVallin.sys"

// The temporary folder (as GetTempPathW gives it, ending in a backslash)
// followed by the driver's file name. Empty folder or a path that would not
// fit MAX_PATH with its terminator: no path.
std::optional<std::u16string> DriverFilePath(std::u16string_view tempFolder);
