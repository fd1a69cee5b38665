// Turning a file's canonical path into the path by which it is opened, from
// the device that its drive letter stands for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Work buffers of the path resolution hold 260 characters and a terminator.
constexpr std::size_t RawPathBufferChars = 261;

// Case-insensitive (ASCII letters) test that text begins with prefix.
bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix);

struct DevicePathResult {
    uint32_t error = 0;        // 0, or a Win32 error code
    std::u16string devicePath; // set when error is 0
};

// canonicalPath is a full path beginning with a drive ("X:\..."); deviceText
// is the first string that the drive name "X:" stands for.
// - A hard-disk device (volume or partition form): the path itself.
// - A substituted drive (\??\ or \DosDevices\ followed by a folder): that
//   folder joined with everything below the drive's root, so the folders
//   between the root and the file are kept.
// - Anything else: ERROR_BAD_PATHNAME.
// A result that does not fit RawPathBufferChars fails with
// ERROR_FILENAME_EXCED_RANGE instead of naming a cut-off path.
DevicePathResult DevicePathFor(std::u16string_view canonicalPath, std::u16string_view deviceText);
