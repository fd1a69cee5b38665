// The rootkit folder's purge over a tree in memory: what is deleted and
// reported, which folders are cleared, and how often each folder is walked.

#include "program/cleanup/core/PurgeWalk.hpp"
#include "tests/native/RecordingConsole.hpp"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr uint32_t Directory = EntryAttributeDirectory;
constexpr uint32_t ReadOnly = 0x1;
constexpr uint32_t Hidden = 0x2;
constexpr uint32_t System = 0x4;

// A tree of files and folders keyed by full path. Files whose attributes
// hold ReadOnly refuse deletion, as DeleteFileW does.
struct MemoryTree {
    std::map<std::u16string, uint32_t> entries;  // path -> attributes
    std::map<std::u16string, int> walks;         // folder -> listings
    std::map<std::u16string, int> deleteAttempts;
    std::vector<std::u16string> cleared;
    int reports = 0;
    int listings = 0;
    bool runaway = false;  // far more listings than folders: the walk would not end in time

    void add(const std::u16string& path, uint32_t attributes) { entries[path] = attributes; }

    static std::u16string Parent(const std::u16string& path) { return path.substr(0, path.rfind(u'\\')); }

    PurgeOperations operations()
    {
        PurgeOperations ops;
        ops.clearAttributes = [this](const std::u16string& path) {
            cleared.push_back(path);
            auto it = entries.find(path);
            if (it != entries.end())
                it->second = (it->second & Directory);
        };
        ops.forEachEntry = [this](const std::u16string& pattern,
                                  const std::function<void(const PurgeEntry&)>& visit) {
            EXPECT_EQ(pattern.substr(pattern.size() - 2), u"\\*");
            const std::u16string folder = pattern.substr(0, pattern.size() - 2);
            if (!entries.contains(folder))
                return false;
            if (++listings > 4 * static_cast<int>(entries.size()) + 8) {
                runaway = true;
                return false;
            }
            ++walks[folder];
            visit(PurgeEntry{u".", Directory});
            visit(PurgeEntry{u"..", Directory});
            // Copy first: the visit deletes entries.
            std::vector<std::pair<std::u16string, uint32_t>> listing;
            for (const auto& [path, attributes] : entries)
                if (path.size() > folder.size() && Parent(path) == folder)
                    listing.emplace_back(path.substr(folder.size() + 1), attributes);
            for (const auto& [name, attributes] : listing)
                visit(PurgeEntry{name, attributes});
            return true;
        };
        ops.deleteFile = [this](const std::u16string& path) {
            ++deleteAttempts[path];
            auto it = entries.find(path);
            if (it == entries.end() || (it->second & (ReadOnly | Directory)) != 0)
                return false;
            entries.erase(it);
            return true;
        };
        ops.reportDeleted = [this] { ++reports; };
        return ops;
    }

    // True when the walk says every "@" it met is gone.
    bool purge(const std::u16string& root, PurgeOperations ops)
    {
        const bool emptied = PurgeFolderTree(root, ops);
        EXPECT_FALSE(runaway);
        return emptied;
    }
    bool purge(const std::u16string& root) { return purge(root, operations()); }
};

const std::u16string Root = u"C:\\windows\\$NtUninstallKB1$";

TEST(PurgeWalk, DeletesOnlyFilesNamedExactlyAtAndReportsEach)
{
    MemoryTree tree;
    tree.add(Root, Directory);
    tree.add(Root + u"\\@", 0);
    tree.add(Root + u"\\@x", 0);
    tree.add(Root + u"\\x@", 0);
    tree.add(Root + u"\\@@", 0);
    tree.add(Root + u"\\cfg.ini", 0);
    tree.add(Root + u"\\sub", Directory);
    tree.add(Root + u"\\sub\\@", Hidden);
    tree.add(Root + u"\\sub\\@.exe", 0);
    EXPECT_TRUE(tree.purge(Root));

    EXPECT_EQ(tree.reports, 2);
    EXPECT_FALSE(tree.entries.contains(Root + u"\\@"));
    EXPECT_FALSE(tree.entries.contains(Root + u"\\sub\\@")) << "a hidden @ is deleted too";
    for (const char16_t* kept : {u"\\@x", u"\\x@", u"\\@@", u"\\cfg.ini", u"\\sub", u"\\sub\\@.exe"})
        EXPECT_TRUE(tree.entries.contains(Root + kept)) << std::string(kept, kept + 1);
    EXPECT_TRUE(tree.entries.contains(Root)) << "no folder is removed";
}

TEST(PurgeWalk, ASubfolderWithoutFailuresIsWalkedOnce)
{
    MemoryTree tree;
    tree.add(Root, Directory);
    tree.add(Root + u"\\a", Directory);
    tree.add(Root + u"\\a\\@", 0);
    tree.add(Root + u"\\a\\b", Directory);
    tree.purge(Root);
    EXPECT_EQ(tree.reports, 1);
    EXPECT_EQ(tree.walks[Root], 1);
    EXPECT_EQ(tree.walks[Root + u"\\a"], 1);
    EXPECT_EQ(tree.walks[Root + u"\\a\\b"], 1);
}

TEST(PurgeWalk, AReadOnlyAtInASubfolderIsTriedAgainInASecondWalkThatDoesNotDescend)
{
    MemoryTree tree;
    tree.add(Root, Directory);
    tree.add(Root + u"\\@", ReadOnly);
    tree.add(Root + u"\\a", Directory);
    tree.add(Root + u"\\a\\@", ReadOnly);
    tree.add(Root + u"\\a\\b", Directory);
    tree.add(Root + u"\\a\\b\\c", Directory);
    EXPECT_FALSE(tree.purge(Root)) << "files named @ are left";

    EXPECT_EQ(tree.reports, 0) << "a file that cannot be deleted is not reported";
    EXPECT_TRUE(tree.entries.contains(Root + u"\\@"));
    EXPECT_TRUE(tree.entries.contains(Root + u"\\a\\@"));
    EXPECT_EQ(tree.deleteAttempts[Root + u"\\@"], 1) << "the rootkit folder itself is walked once";
    EXPECT_EQ(tree.deleteAttempts[Root + u"\\a\\@"], 2);
    EXPECT_EQ(tree.walks[Root + u"\\a"], 2);
    EXPECT_EQ(tree.walks[Root + u"\\a\\b"], 1) << "the second walk retries files only";
    EXPECT_EQ(tree.walks[Root + u"\\a\\b\\c"], 1);
}

// What counts is whether an "@" is left at the end: one that a second walk
// deletes is gone, one left in the rootkit folder itself (walked once) is not.
TEST(PurgeWalk, TellsWhetherAnyFileNamedAtIsLeft)
{
    for (const bool atTheTop : {false, true}) {
        MemoryTree tree;
        tree.add(Root, Directory);
        tree.add(Root + u"\\a", Directory);
        const std::u16string stubborn = atTheTop ? Root + u"\\@" : Root + u"\\a\\@";
        tree.add(stubborn, 0);
        PurgeOperations ops = tree.operations();
        const auto remove = ops.deleteFile;
        // Every deletion fails the first time and succeeds the second.
        std::map<std::u16string, int> tries;
        ops.deleteFile = [&](const std::u16string& path) { return ++tries[path] > 1 && remove(path); };
        EXPECT_EQ(tree.purge(Root, ops), !atTheTop) << atTheTop;
        EXPECT_EQ(tree.entries.contains(stubborn), atTheTop);
    }
    MemoryTree empty;
    empty.add(Root, Directory);
    EXPECT_TRUE(empty.purge(Root)) << "nothing to delete, nothing left";
}

TEST(PurgeWalk, FoldersEndWithAttributesClearedFilesKeepTheirs)
{
    MemoryTree tree;
    tree.add(Root, Directory | Hidden | System | ReadOnly);
    tree.add(Root + u"\\h", Directory | Hidden);
    tree.add(Root + u"\\h\\s", Directory | System | ReadOnly);
    tree.add(Root + u"\\h\\s\\keep.txt", Hidden | ReadOnly);
    tree.add(Root + u"\\r", Directory | ReadOnly);
    tree.purge(Root);

    for (const char16_t* folder : {u"", u"\\h", u"\\h\\s", u"\\r"})
        EXPECT_EQ(tree.entries[Root + folder], Directory);
    EXPECT_EQ(tree.entries[Root + u"\\h\\s\\keep.txt"], Hidden | ReadOnly);
    const std::set<std::u16string> cleared(tree.cleared.begin(), tree.cleared.end());
    EXPECT_FALSE(cleared.contains(Root + u"\\h\\s\\keep.txt"));
}

TEST(PurgeWalk, AChainOfFailingFoldersIsWalkedAtMostTwiceEach)
{
    // As deep as 499-character paths allow, a read-only "@" in every folder:
    // the walk as first described would walk the deepest folder 2^depth times.
    MemoryTree tree;
    std::u16string path = Root;
    tree.add(path, Directory);
    int depth = 0;
    while (path.size() + 2 + 2 <= PurgePathMaxChars) {
        path += u"\\d";
        tree.add(path, Directory);
        tree.add(path + u"\\@", ReadOnly);
        ++depth;
    }
    ASSERT_GT(depth, 100);
    tree.purge(Root);

    int totalWalks = 0;
    for (const auto& [folder, count] : tree.walks) {
        EXPECT_LE(count, 2) << std::string(folder.begin(), folder.end()).size();
        totalWalks += count;
    }
    EXPECT_EQ(tree.walks.size(), static_cast<std::size_t>(depth) + 1);
    EXPECT_LE(totalWalks, 2 * (depth + 1));
    EXPECT_EQ(tree.reports, 0);
}

TEST(PurgeWalk, PathsBeyond499CharactersArePassedOverNotCut)
{
    // A folder path of n characters: its pattern has n + 2, its "@" too.
    auto folderOfLength = [](std::size_t n) { return Root + u"\\" + std::u16string(n - Root.size() - 1, u'f'); };

    // 497: pattern and "@" path of exactly 499 characters are handled.
    MemoryTree fits;
    fits.add(Root, Directory);
    const std::u16string exact = folderOfLength(PurgePathMaxChars - 2);
    fits.add(exact, Directory | Hidden);
    fits.add(exact + u"\\@", 0);
    fits.purge(Root);
    EXPECT_EQ(fits.walks[exact], 1);
    EXPECT_EQ(fits.reports, 1);
    EXPECT_FALSE(fits.entries.contains(exact + u"\\@"));

    // 498: the folder's own path fits, so its attributes are cleared, but its
    // pattern would be 500 characters: it is not listed, its "@" stays.
    MemoryTree patternTooLong;
    patternTooLong.add(Root, Directory);
    const std::u16string over = folderOfLength(PurgePathMaxChars - 1);
    patternTooLong.add(over, Directory | Hidden);
    patternTooLong.add(over + u"\\@", 0);
    patternTooLong.purge(Root);
    EXPECT_EQ(patternTooLong.walks.count(over), 0u);
    EXPECT_EQ(patternTooLong.entries[over], Directory);
    EXPECT_TRUE(patternTooLong.entries.contains(over + u"\\@"));
    EXPECT_TRUE(patternTooLong.deleteAttempts.empty()) << "no cut path reaches a deletion";

    // 500: the child path itself does not fit: passed over entirely.
    MemoryTree childTooLong;
    childTooLong.add(Root, Directory);
    const std::u16string far = folderOfLength(PurgePathMaxChars + 1);
    childTooLong.add(far, Directory | Hidden);
    childTooLong.purge(Root);
    EXPECT_EQ(childTooLong.entries[far], Directory | Hidden);
    EXPECT_EQ(childTooLong.cleared, std::vector<std::u16string>{Root});
}

TEST(PurgeWalk, SubfoldersThatAreReparsePointsAreNotEntered)
{
    MemoryTree tree;
    tree.add(Root, Directory);
    tree.add(Root + u"\\link", Directory | EntryAttributeReparsePoint | Hidden);
    tree.add(Root + u"\\link\\@", 0);
    tree.purge(Root);
    EXPECT_EQ(tree.walks.count(Root + u"\\link"), 0u);
    EXPECT_TRUE(tree.entries.contains(Root + u"\\link\\@"));
    EXPECT_EQ(tree.reports, 0);
}

TEST(PurgeWalk, AFolderNamedAtIsWalkedNotDeleted)
{
    MemoryTree tree;
    tree.add(Root, Directory);
    tree.add(Root + u"\\@", Directory);
    tree.add(Root + u"\\@\\@", 0);
    tree.purge(Root);
    EXPECT_TRUE(tree.entries.contains(Root + u"\\@"));
    EXPECT_FALSE(tree.entries.contains(Root + u"\\@\\@"));
    EXPECT_EQ(tree.reports, 1);
    EXPECT_EQ(tree.deleteAttempts.count(Root + u"\\@"), 0u);
}

TEST(PurgeWalk, AFolderThatCannotBeListedStillHasItsAttributesCleared)
{
    MemoryTree tree;  // the root is not in the tree: its search cannot start
    tree.purge(Root);
    EXPECT_EQ(tree.cleared, std::vector<std::u16string>{Root});
    EXPECT_TRUE(tree.walks.empty());
}

TEST(PurgeWalk, ReportIsLabelThenGreenVerdictThenWhite)
{
    RecordingConsole console;
    PlayScript(MaliciousFileReport(), console.sink);
    EXPECT_EQ(console.transcript, "\nQuorVallin malicious file: <c10>Disinfected\n\n<c15>");
}

struct FolderCase {
    const char* name;
    std::u16string entry;
    uint32_t attributes;
    bool qualifies;
};

TEST(RootkitFolder, AFolderWhoseNameBeginsWithThePrefixCaseSensitively)
{
    const std::u16string windows = u"C:\\windows";
    const std::vector<FolderCase> cases = {
        {"prefix and more", u"$NtUninstallKB12345$", Directory, true},
        {"exactly the prefix", u"$NtUninstallKB", Directory, true},
        {"hidden system folder", u"$NtUninstallKB9$", Directory | Hidden | System, true},
        {"lower case", u"$ntuninstallkb12345$", Directory, false},
        {"capitals", u"$NTUNINSTALLKB12345$", Directory, false},
        {"a file", u"$NtUninstallKB12345$", 0x20, false},
        {"one character short", u"$NtUninstallK", Directory, false},
        {"prefix not at the start", u"x$NtUninstallKB1", Directory, false},
        {"dot", u".", Directory, false},
        {"path of 259 characters", u"$NtUninstallKB" + std::u16string(259 - 11 - 14, u'x'), Directory, true},
        {"path of 260 characters", u"$NtUninstallKB" + std::u16string(260 - 11 - 14, u'x'), Directory, false},
    };
    for (const FolderCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = RootkitFolderPath(windows, c.entry, c.attributes);
        ASSERT_EQ(path.has_value(), c.qualifies);
        if (path)
            EXPECT_EQ(*path, windows + u"\\" + c.entry);
    }
}

} // namespace
