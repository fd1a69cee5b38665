// The rootkit folder's purge: which folder is the rootkit's, and the walk
// of its tree that clears folder attributes and deletes the files named
// "@". The walk is written against a few narrow file-system operations, so
// its decisions can be exercised on a tree in memory.
#pragma once

#include "program/run/core/Console.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::u16string_view RootkitFolderPrefix = u"$NtUninstallKB";

// A found folder's path fits a MAX_PATH buffer; the walk's patterns and
// child paths fit 1000-byte buffers (499 UTF-16 characters and a terminator).
constexpr std::size_t FoundFolderMaxChars = 259;
constexpr std::size_t PurgePathMaxChars = 499;

constexpr uint32_t EntryAttributeDirectory = 0x10;      // FILE_ATTRIBUTE_DIRECTORY
constexpr uint32_t EntryAttributeReparsePoint = 0x400;  // FILE_ATTRIBUTE_REPARSE_POINT

// The search pattern that lists every entry of a folder ("%s\*"), or nothing
// when it would not fit `maxChars`.
std::optional<std::u16string> FolderPattern(std::u16string_view folder, std::size_t maxChars);

// The path of a folder's entry ("%s\%s"), or nothing when it would not fit `maxChars`.
std::optional<std::u16string> ChildPath(std::u16string_view folder, std::u16string_view name,
                                        std::size_t maxChars);

// The path of a Windows-directory entry when it is the rootkit's folder: a
// folder whose name begins with exactly the prefix (case-sensitive) and
// whose path fits a MAX_PATH buffer. Nothing otherwise.
std::optional<std::u16string> RootkitFolderPath(std::u16string_view windowsDirectory,
                                                std::u16string_view name, uint32_t attributes,
                                                std::u16string_view prefix = RootkitFolderPrefix);

// One entry of a folder listing, as the search delivers it.
struct PurgeEntry {
    std::u16string_view name;
    uint32_t attributes = 0;
};

// The operations the purge performs. Paths and patterns are whole strings.
struct PurgeOperations {
    // Sets FILE_ATTRIBUTE_NORMAL on a file or folder; the result is not used.
    std::function<void(const std::u16string& path)> clearAttributes;
    // Lists the entries matched by the pattern, "." and ".." included, in
    // search order; false when the search cannot start.
    std::function<bool(const std::u16string& pattern,
                       const std::function<void(const PurgeEntry&)>& visit)> forEachEntry;
    // Deletes a file; true when it was deleted.
    std::function<bool(const std::u16string& path)> deleteFile;
    // Reports one deleted file.
    std::function<void()> reportDeleted;
};

// Walks the folder's tree: clears the attributes of the folder and of every
// subfolder, and deletes every file named exactly "@", reporting each one
// deleted. Nothing else is deleted and no folder is removed.
//
// Each folder is walked at most twice: a subfolder gets a second walk only
// when a deletion failed directly in it during its first walk, and that
// walk retries the folder's own files without descending again. Subfolders
// that are reparse points are not entered (they may lead anywhere on the
// machine), and entries whose paths would not fit the walk's buffers are
// passed over. True when every file named "@" that the walk met was deleted.
bool PurgeFolderTree(const std::u16string& folder, const PurgeOperations& operations);

// The report for one deleted file.
ConsoleScript MaliciousFileReport();
