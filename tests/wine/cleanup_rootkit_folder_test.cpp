// The rootkit folder's removal in the prefix's real Windows directory: which
// folder is taken, what is deleted and reported, and which attributes the
// tree ends with.

#include "program/run/RemovalContext.hpp"
#include "tests/wine/CleanupWine.hpp"

#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <vector>

using namespace cleanupwine;

namespace {

const std::string FileReport = "\nQuorVallin malicious file: Disinfected\n\n";
const DWORD Hsr = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY;

class RootkitFolderRemoval : public ::testing::Test {
protected:
    void SetUp() override { RemoveTestEntries(); }
    void TearDown() override { RemoveTestEntries(); }

    // Every entry of the Windows directory whose name begins with the prefix
    // in any letter case: only the tests make such entries here.
    static std::vector<std::wstring> PrefixedEntries()
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW entry{};
        HANDLE search = FindFirstFileW((WindowsDirectory() + L"\\*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE)
            return names;
        do {
            std::wstring lower = entry.cFileName;
            for (wchar_t& c : lower)
                c = static_cast<wchar_t>(std::towlower(c));
            if (lower.rfind(L"$ntuninstallkb", 0) == 0)
                names.push_back(entry.cFileName);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
        return names;
    }

    static void RemoveTestEntries()
    {
        for (const std::wstring& name : PrefixedEntries())
            RemoveTree(WindowsDirectory() + L"\\" + name);
    }

    static std::wstring InWindows(const std::wstring& name) { return WindowsDirectory() + L"\\" + name; }

    std::string Remove()
    {
        CapturedOutput output;
        context.RemoveRootkitFolder();
        return output.text();
    }

    RemovalContext context;
};

TEST_F(RootkitFolderRemoval, NoMatchingFolderMeansNothingIsDoneOrPrinted)
{
    // Only look-alikes: the prefix in capitals, and a file that carries it.
    const std::wstring capitals = InWindows(L"$NTUNINSTALLKB77$");
    ASSERT_TRUE(MakeFolder(capitals, FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(MakeFile(capitals + L"\\@"));
    ASSERT_TRUE(MakeFile(InWindows(L"$NtUninstallKB78$.log")));

    EXPECT_EQ(Remove(), "");
    EXPECT_TRUE(Exists(capitals + L"\\@"));
    EXPECT_NE(Attributes(capitals) & FILE_ATTRIBUTE_HIDDEN, 0u) << "not even its attributes are touched";
    EXPECT_FALSE(context.FindRootkitFolder(WindowsDirectory().c_str(), L"$NtUninstallKB").has_value());
}

TEST_F(RootkitFolderRemoval, AFileCarryingThePrefixIsPassedOverForTheFolderAfterIt)
{
    ASSERT_TRUE(MakeFile(InWindows(L"$NtUninstallKB00$")));
    ASSERT_TRUE(MakeFolder(InWindows(L"$NtUninstallKB01$")));
    const auto found = context.FindRootkitFolder(WindowsDirectory().c_str(), L"$NtUninstallKB");
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(*found, InWindows(L"$NtUninstallKB01$"));
}

TEST_F(RootkitFolderRemoval, OfTwoMatchingFoldersOnlyTheFirstInSearchOrderIsPurged)
{
    ASSERT_TRUE(MakeFolder(InWindows(L"$NtUninstallKB11$")));
    ASSERT_TRUE(MakeFolder(InWindows(L"$NtUninstallKB12$")));
    ASSERT_TRUE(MakeFile(InWindows(L"$NtUninstallKB11$\\@")));
    ASSERT_TRUE(MakeFile(InWindows(L"$NtUninstallKB12$\\@")));
    const std::vector<std::wstring> order = PrefixedEntries();
    ASSERT_EQ(order.size(), 2u);

    EXPECT_EQ(Remove(), FileReport);
    EXPECT_FALSE(Exists(InWindows(order[0] + L"\\@")));
    EXPECT_TRUE(Exists(InWindows(order[1] + L"\\@")));
}

TEST_F(RootkitFolderRemoval, PurgesTheTreeDeletingOnlyAtFilesAndClearingFolderAttributes)
{
    const std::wstring root = InWindows(L"$NtUninstallKB2214$");
    ASSERT_TRUE(MakeFolder(root));
    ASSERT_TRUE(MakeFile(root + L"\\@", "MZ rootkit"));
    ASSERT_TRUE(MakeFile(root + L"\\@x"));
    ASSERT_TRUE(MakeFile(root + L"\\x@"));
    ASSERT_TRUE(MakeFile(root + L"\\notes.txt", "keep", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(MakeFolder(root + L"\\sub"));
    ASSERT_TRUE(MakeFile(root + L"\\sub\\@", "MZ", FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(MakeFolder(root + L"\\sub\\deeper"));
    ASSERT_TRUE(MakeFile(root + L"\\sub\\deeper\\@", "MZ", FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(MakeFolder(root + L"\\sys"));
    // Folder attributes last: a read-only folder may refuse new entries.
    ASSERT_TRUE(SetFileAttributesW((root + L"\\sub\\deeper").c_str(), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW((root + L"\\sub").c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesW((root + L"\\sys").c_str(), Hsr));
    ASSERT_TRUE(SetFileAttributesW(root.c_str(), Hsr));
    // Wine keeps hidden and system on folders but not read-only.
    const DWORD hs = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    ASSERT_EQ(Attributes(root) & hs, hs) << "the prefix keeps folder attributes";
    ASSERT_EQ(Attributes(root + L"\\sub") & FILE_ATTRIBUTE_HIDDEN, static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));

    const std::string output = Remove();

    EXPECT_EQ(Count(output, FileReport), 2) << output;
    EXPECT_EQ(output, FileReport + FileReport) << "nothing else is printed";
    EXPECT_FALSE(Exists(root + L"\\@"));
    EXPECT_FALSE(Exists(root + L"\\sub\\@")) << "a hidden @ is deleted";
    EXPECT_TRUE(Exists(root + L"\\sub\\deeper\\@")) << "a read-only @ cannot be deleted";
    EXPECT_TRUE(Exists(root + L"\\@x"));
    EXPECT_TRUE(Exists(root + L"\\x@"));
    EXPECT_TRUE(Exists(root + L"\\notes.txt"));
    for (const wchar_t* folder : {L"", L"\\sub", L"\\sub\\deeper", L"\\sys"}) {
        SCOPED_TRACE(testing::Message() << "folder" << static_cast<int>(std::wstring(folder).size()));
        EXPECT_TRUE(Exists(root + folder)) << "no folder is removed";
        EXPECT_EQ(Attributes(root + folder) & Hsr, 0u);
    }
    EXPECT_EQ(Attributes(root + L"\\notes.txt") & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY),
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY))
        << "files keep their attributes";
    EXPECT_NE(Attributes(root + L"\\sub\\deeper\\@") & FILE_ATTRIBUTE_READONLY, 0u);

    // A second removal finds the folder again and has nothing left to delete.
    EXPECT_EQ(Remove(), "");
}

TEST_F(RootkitFolderRemoval, AReadOnlyAtInTheFolderIsKeptWithoutAMessage)
{
    const std::wstring root = InWindows(L"$NtUninstallKB31$");
    ASSERT_TRUE(MakeFolder(root));
    ASSERT_TRUE(MakeFile(root + L"\\@", "MZ", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(Remove(), "");
    EXPECT_TRUE(Exists(root + L"\\@"));
}

TEST_F(RootkitFolderRemoval, AnEmptyFolderNamedExactlyThePrefixIsClearedAndNothingPrinted)
{
    const std::wstring root = InWindows(L"$NtUninstallKB");
    ASSERT_TRUE(MakeFolder(root, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(Remove(), "");
    EXPECT_TRUE(Exists(root));
    EXPECT_EQ(Attributes(root) & Hsr, 0u);
}

TEST_F(RootkitFolderRemoval, ADeepChainIsPurgedAsFarAs499CharacterPathsReach)
{
    // Wine takes paths beyond MAX_PATH without a \\?\ prefix, so the walk's
    // 1000-byte buffers are what limits it here.
    const std::wstring root = InWindows(L"$NtUninstallKBdeep$");
    ASSERT_TRUE(MakeFolder(root));
    ASSERT_TRUE(MakeFile(root + L"\\@"));
    std::vector<std::wstring> levels{root};
    while (levels.back().size() < 504) {
        levels.push_back(levels.back() + L"\\d");
        ASSERT_TRUE(MakeFolder(levels.back(), FILE_ATTRIBUTE_HIDDEN)) << levels.back().size();
        ASSERT_TRUE(MakeFile(levels.back() + L"\\@")) << levels.back().size();
    }

    const std::string output = Remove();

    int reachable = 0;
    for (const std::wstring& level : levels) {
        const bool fits = level.size() + 2 <= 499;  // its pattern and its "@" path
        reachable += fits ? 1 : 0;
        EXPECT_NE(Exists(level + L"\\@"), fits) << level.size();
        if (level.size() <= 499)
            EXPECT_EQ(Attributes(level) & FILE_ATTRIBUTE_HIDDEN, 0u) << level.size();
        else
            EXPECT_NE(Attributes(level) & FILE_ATTRIBUTE_HIDDEN, 0u) << level.size();
    }
    EXPECT_GT(reachable, 200);
    EXPECT_EQ(Count(output, FileReport), reachable);
}

TEST(ReparsePointsUnderWine, PlainAndMissingPathsAreRefusedWithoutHarm)
{
    RemovalContext context;
    const std::wstring folder = WindowsDirectory() + L"\\korvale-reparse-test";
    RemoveTree(folder);
    ASSERT_TRUE(MakeFolder(folder));
    const std::wstring missing = folder + L"\\missing";

    EXPECT_FALSE(context.IsReparsePoint(folder.c_str()));
    EXPECT_TRUE(context.IsReparsePoint(missing.c_str())) << "INVALID_FILE_ATTRIBUTES carries the bit";
    EXPECT_FALSE(context.DeleteReparsePoint(folder.c_str()));
    EXPECT_FALSE(context.DeleteReparsePoint(missing.c_str()));
    GUID guid{};
    DWORD tag = 0;
    EXPECT_FALSE(context.GetReparseGuid(missing.c_str(), &guid));
    EXPECT_FALSE(context.GetReparseTag(folder.c_str(), &tag));
    EXPECT_FALSE(context.GetReparseTag(folder.c_str(), nullptr));
    EXPECT_FALSE(context.GetReparseData(folder.c_str(), nullptr));

    // The opens take the folder itself (backup semantics); the read request
    // is what Wine does not implement.
    HANDLE opened = context.OpenReparsePointForRead(folder.c_str());
    ASSERT_NE(opened, INVALID_HANDLE_VALUE);
    CloseHandle(opened);
    EXPECT_TRUE(Exists(folder));
    RemoveTree(folder);
}

} // namespace
