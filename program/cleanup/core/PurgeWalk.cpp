#include "program/cleanup/core/PurgeWalk.hpp"

#include <map>

namespace {

enum class Descend { Yes, No };

// One walk of one folder. Returns true when a deletion failed directly in it.
bool WalkFolder(const std::u16string& folder, Descend descend, const PurgeOperations& ops)
{
    ops.clearAttributes(folder);
    const std::optional<std::u16string> pattern = FolderPattern(folder, PurgePathMaxChars);
    if (!pattern)
        return false;

    bool deletionFailed = false;
    ops.forEachEntry(*pattern, [&](const PurgeEntry& entry) {
        if (entry.name == u"." || entry.name == u"..")
            return;
        const bool isFolder = (entry.attributes & EntryAttributeDirectory) != 0;
        if (isFolder && (descend == Descend::No || (entry.attributes & EntryAttributeReparsePoint) != 0))
            return;
        if (!isFolder && entry.name != u"@")
            return;
        const std::optional<std::u16string> child = ChildPath(folder, entry.name, PurgePathMaxChars);
        if (!child)
            return;
        if (isFolder) {
            const bool failedInChild = WalkFolder(*child, Descend::Yes, ops);
            ops.clearAttributes(*child);
            if (failedInChild)
                WalkFolder(*child, Descend::No, ops);
        } else if (ops.deleteFile(*child)) {
            ops.reportDeleted();
        } else {
            deletionFailed = true;
        }
    });
    return deletionFailed;
}

} // namespace

std::optional<std::u16string> FolderPattern(std::u16string_view folder, std::size_t maxChars)
{
    if (folder.size() + 2 > maxChars)
        return std::nullopt;
    std::u16string pattern;
    pattern.append(folder).append(u"\\*");
    return pattern;
}

std::optional<std::u16string> ChildPath(std::u16string_view folder, std::u16string_view name,
                                        std::size_t maxChars)
{
    if (folder.size() + 1 + name.size() > maxChars)
        return std::nullopt;
    std::u16string path;
    path.append(folder).append(u"\\").append(name);
    return path;
}

std::optional<std::u16string> RootkitFolderPath(std::u16string_view windowsDirectory,
                                                std::u16string_view name, uint32_t attributes,
                                                std::u16string_view prefix)
{
    if ((attributes & EntryAttributeDirectory) == 0 || name == u"." || name == u"..")
        return std::nullopt;
    if (name.size() < prefix.size() || name.substr(0, prefix.size()) != prefix)
        return std::nullopt;
    return ChildPath(windowsDirectory, name, FoundFolderMaxChars);
}

bool PurgeFolderTree(const std::u16string& folder, const PurgeOperations& operations)
{
    // A file whose last deletion failed is still there.
    std::map<std::u16string, bool> lastDeletion;
    PurgeOperations recording = operations;
    recording.deleteFile = [&](const std::u16string& path) {
        const bool deleted = operations.deleteFile(path);
        lastDeletion[path] = deleted;
        return deleted;
    };
    WalkFolder(folder, Descend::Yes, recording);
    for (const auto& [path, deleted] : lastDeletion) {
        if (!deleted)
            return false;
    }
    return true;
}

ConsoleScript MaliciousFileReport()
{
    return DisinfectedReport("QuorVallin malicious file");
}
