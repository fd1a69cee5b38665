// ReplaceInfectedDriver in the prefix's real drivers folder: the clean path
// and the ways it can fail. A file stands under the driver's name at every
// moment, and what a failure leaves behind is finished or undone by the
// next run from the replacement's journal.
//
// A move or a deletion is refused by holding the file open without
// FILE_SHARE_DELETE: both need DELETE access, which such a handle denies
// (Wine checks sharing for it as Windows does, per file, not per name).
// The handle is taken by a helper thread during the replacement's pause,
// as soon as the infected file has been set aside, so that the steps before
// the pause still succeed.

#include "program/drivercheck/core/ReplacementJournal.hpp"
#include "program/run/ProgramKey.hpp"
#include "program/run/RemovalContext.hpp"
#include "tests/wine/CleanupWine.hpp"
#include "tests/wine/DriverCheckFiles.hpp"
#include "tests/wine/ImportPatch.hpp"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace drivercheck_test;

namespace {

const wchar_t DriverName[] = L"kqvrepl.sys";

// The driver's file set aside ("kqvrepl.sys.<time>.bad") and its staged
// clean copy ("....new"), as they stand in the drivers folder now.
std::wstring AsideFile()
{
    const std::vector<std::wstring> names = EntriesOf(DriversFolder(), std::wstring(DriverName) + L".*.bad");
    return names.empty() ? std::wstring() : DriversFolder() + names.front();
}

std::wstring StagedFile()
{
    const std::vector<std::wstring> names = EntriesOf(DriversFolder(), std::wstring(DriverName) + L".*.new");
    return names.empty() ? std::wstring() : DriversFolder() + names.front();
}

// Once the infected driver has been set aside, opens what `which` names
// ("aside", "staged") without delete sharing, and keeps it open until it is
// destroyed.
class HoldWhenSetAside {
public:
    explicit HoldWhenSetAside(std::vector<std::string> which)
        : worker_([this, which = std::move(which)] {
              const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
              while (!stop_ && AsideFile().empty() && std::chrono::steady_clock::now() < deadline)
                  Sleep(5);
              for (const std::string& name : which) {
                  const std::wstring path = name == "aside" ? AsideFile() : StagedFile();
                  handles_.push_back(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, 0, nullptr));
              }
              held_ = true;
          })
    {
    }
    ~HoldWhenSetAside() { Release(); }
    void Release()
    {
        stop_ = true;
        if (worker_.joinable())
            worker_.join();
        for (HANDLE h : handles_)
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
        handles_.clear();
    }
    // True when every file was open while the replacement ran.
    bool AllHeld()
    {
        if (!held_)
            return false;
        for (HANDLE h : handles_)
            if (h == INVALID_HANDLE_VALUE)
                return false;
        return true;
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> held_{false};
    std::vector<HANDLE> handles_;
    std::thread worker_;
};

class ReplaceDriver : public ::testing::Test {
protected:
    std::wstring driver = DriversFolder() + DriverName;
    const std::string content = Pattern(70000, 11);
    RemovalContext context;

    void SetUp() override
    {
        ASSERT_EQ(ReplacementLeftovers(DriverName), std::vector<std::wstring>{}) << "left in the prefix";
        DeleteProgramValue(L"Replacement");
        ASSERT_TRUE(WriteWholeFile(driver, content));
        context.infectedDriverName = DriverName;
    }
    void TearDown() override
    {
        DeleteFileW(driver.c_str());
        for (const std::wstring& name : ReplacementLeftovers(DriverName))
            DeleteFileW((DriversFolder() + name).c_str());
        DeleteProgramValue(L"Replacement");
    }

    static bool JournalLeft() { return ReadProgramValue(L"Replacement").has_value(); }

    // The next run's start: the journal is read and acted on.
    std::string CompleteInterrupted()
    {
        RemovalContext next;
        cleanupwine::CapturedOutput output;
        next.CompleteInterruptedReplacement();
        return output.text();
    }
};

TEST_F(ReplaceDriver, CleanPathPutsACopyOfTheServedContentInPlace)
{
    const uint64_t before = FileIndex(driver);

    EXPECT_TRUE(context.ReplaceInfectedDriver());

    EXPECT_EQ(ReadWholeFile(driver), content);
    EXPECT_NE(FileIndex(driver), before) << "the driver's name must now stand for the copy";
    EXPECT_EQ(ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
    EXPECT_FALSE(JournalLeft());
    EXPECT_EQ(context.cleanDriverDigest.size(), 32u);
}

// The clean copy is made in the drivers folder, where only administrators
// can write: files planted in the temporary folder or the current folder
// under the driver's name are never read, written or moved.
TEST_F(ReplaceDriver, NoTemporaryOrCurrentFolderTakesPart)
{
    const std::wstring folder = L"C:\\kqvcurrent";
    const std::wstring usersFile = folder + L"\\" + DriverName;
    const std::wstring planted = TemporaryFolder() + DriverName;
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(WriteWholeFile(usersFile, "the user's own file"));
    ASSERT_TRUE(WriteWholeFile(planted, "planted by another account"));
    const uint64_t before = FileIndex(driver);
    const std::wstring tooLong = L"C:\\" + std::wstring(300, L'k');
    bool replaced = false;
    {
        const TemporaryFolderSwitch noTemporaryFolder(tooLong, folder);
        replaced = context.ReplaceInfectedDriver();
    }
    const std::string usersContent = ReadWholeFile(usersFile);
    const std::string plantedContent = ReadWholeFile(planted);
    DeleteFileW(usersFile.c_str());
    DeleteFileW(planted.c_str());
    RemoveDirectoryW(folder.c_str());
    EXPECT_TRUE(replaced);
    EXPECT_EQ(usersContent, "the user's own file");
    EXPECT_EQ(plantedContent, "planted by another account");
    EXPECT_NE(FileIndex(driver), before);
    EXPECT_EQ(ReadWholeFile(driver), content);
}

// An "infected.bad" left by an earlier version's run no longer stops every
// later replacement; it is left as it is.
TEST_F(ReplaceDriver, AnInfectedBadLeftByAnEarlierRunNeitherStopsItNorIsTouched)
{
    const std::wstring old = DriversFolder() + L"infected.bad";
    ASSERT_TRUE(WriteWholeFile(old, "earlier run"));
    const uint64_t before = FileIndex(driver);

    EXPECT_TRUE(context.ReplaceInfectedDriver());

    EXPECT_NE(FileIndex(driver), before);
    EXPECT_EQ(ReadWholeFile(old), "earlier run");
    DeleteFileW(old.c_str());
}

// A quarantine that cannot be written does not stop the repair; the
// console says what could not be kept.
TEST_F(ReplaceDriver, AQuarantineThatCannotBeWrittenDoesNotStopTheRepair)
{
    wchar_t windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring parent = std::wstring(windows) + L"\\KorvaleQuarantine";
    const std::wstring away = parent + L".away";
    const bool hadOne = MoveFileW(parent.c_str(), away.c_str());
    ASSERT_TRUE(WriteWholeFile(parent, "a file where the quarantine's folder should be"));
    const uint64_t before = FileIndex(driver);
    std::string said;
    bool replaced = false;
    {
        cleanupwine::CapturedOutput output;
        replaced = context.ReplaceInfectedDriver();
        said = output.text();
    }
    DeleteFileW(parent.c_str());
    if (hadOne)
        MoveFileW(away.c_str(), parent.c_str());

    EXPECT_TRUE(replaced);
    EXPECT_NE(FileIndex(driver), before);
    EXPECT_EQ(said.rfind("Warning: " + std::string(driver.begin(), driver.end()) + " could not be quarantined: ", 0), 0u)
        << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_TRUE(context.QuarantineFolder().empty());
    EXPECT_EQ(ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
    EXPECT_FALSE(JournalLeft());
}

TEST_F(ReplaceDriver, MissingDriverChangesNothing)
{
    DeleteFileW(driver.c_str());
    EXPECT_FALSE(context.ReplaceInfectedDriver());
    EXPECT_FALSE(PathExists(driver));
    EXPECT_EQ(ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
    EXPECT_FALSE(JournalLeft());
    EXPECT_TRUE(context.cleanDriverDigest.empty());
}

TEST_F(ReplaceDriver, WithoutAPlainNameNothingIsTouched)
{
    // The driver path would be the drivers folder itself, or somewhere else.
    const std::vector<BYTE> folderDacl = DaclBytes(DriversFolder());
    for (const wchar_t* name : {L"", L"..\\kqvrepl.sys", L"sub\\kqvrepl.sys", L"kqvrepl.sys:stream"}) {
        context.infectedDriverName = name;
        EXPECT_FALSE(context.ReplaceInfectedDriver());
        EXPECT_EQ(DaclBytes(DriversFolder()), folderDacl) << "the drivers folder's access was changed";
        EXPECT_EQ(ReadWholeFile(driver), content);
        EXPECT_FALSE(JournalLeft());
    }
}

// The replacing move refused: the driver never left its name, and only the
// copy made for it is left for the next run to remove.
TEST_F(ReplaceDriver, CleanCopyThatCannotBeMovedInLeavesTheDriverInPlace)
{
    const uint64_t before = FileIndex(driver);
    HoldWhenSetAside hold({"staged"});
    EXPECT_FALSE(context.ReplaceInfectedDriver());
    ASSERT_TRUE(hold.AllHeld());
    EXPECT_EQ(FileIndex(driver), before) << "the driver's own file stays under its name";
    EXPECT_EQ(ReadWholeFile(driver), content);
    EXPECT_TRUE(AsideFile().empty()) << "its second name is removed";
    EXPECT_TRUE(context.cleanDriverDigest.empty()) << "nothing clean was put in place";

    hold.Release();
    ASSERT_TRUE(JournalLeft());
    const std::string said = CompleteInterrupted();
    EXPECT_NE(said.find("the driver had not been replaced; the copy made for it was removed.\n"), std::string::npos)
        << said;
    EXPECT_EQ(FileIndex(driver), before);
    EXPECT_EQ(ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
    EXPECT_FALSE(JournalLeft());
}

// The driver's file itself held (through its set-aside name, which is the
// same file): the name cannot be given to the copy, and neither the copy
// nor the second name can be removed at once. The next run takes the
// second name for what it is, the driver in place, and removes it.
TEST_F(ReplaceDriver, AHeldDriverStaysInPlaceAndTheNextRunRemovesWhatWasMadeForIt)
{
    const uint64_t before = FileIndex(driver);
    const std::vector<std::wstring> quarantined = QuarantineRuns();
    HoldWhenSetAside hold({"staged", "aside"});
    EXPECT_FALSE(context.ReplaceInfectedDriver());
    ASSERT_TRUE(hold.AllHeld());
    EXPECT_EQ(FileIndex(driver), before);
    EXPECT_EQ(ReadWholeFile(driver), content);
    EXPECT_EQ(FileIndex(AsideFile()), before) << "set aside as a second name of the driver";
    EXPECT_TRUE(context.cleanDriverDigest.empty());

    hold.Release();
    const std::string said = CompleteInterrupted();
    EXPECT_NE(said.find("the driver had not been replaced; the copies made for it were removed.\n"),
              std::string::npos)
        << said;
    EXPECT_EQ(FileIndex(driver), before);
    EXPECT_EQ(ReadWholeFile(driver), content);
    EXPECT_EQ(QuarantineRuns(), quarantined) << "the driver in place was kept as if removed";
    EXPECT_EQ(ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
    EXPECT_FALSE(JournalLeft());
}

// The infected file, alone under its set-aside name once the copy has
// taken the driver's, cannot be removed: the repair is done, and the next
// run keeps and removes the infected file.
TEST_F(ReplaceDriver, AsideFileThatCannotBeRemovedLeavesTheRepairDoneAndItsJournal)
{
    const uint64_t before = FileIndex(driver);
    HANDLE held = INVALID_HANDLE_VALUE;
    context.replacementCheckpoint = [&](ReplacementPoint point) {
        if (point == ReplacementPoint::MovedIn)
            held = CreateFileW(AsideFile().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    };
    EXPECT_FALSE(context.ReplaceInfectedDriver());
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadWholeFile(driver), content);
    EXPECT_NE(FileIndex(driver), before);
    EXPECT_EQ(FileIndex(AsideFile()), before) << "the infected file stays aside";
    EXPECT_TRUE(StagedFile().empty());
    EXPECT_EQ(context.cleanDriverDigest.size(), 32u);
    const std::optional<std::wstring> journal = ReadProgramValue(L"Replacement");
    ASSERT_TRUE(journal);
    EXPECT_EQ(journal->substr(journal->size() - 9), L"|replaced");

    CloseHandle(held);
    const std::string said = CompleteInterrupted();
    EXPECT_NE(said.find("the clean copy was in place; the replacement was completed.\n"), std::string::npos)
        << said;
    EXPECT_EQ(ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
    EXPECT_FALSE(JournalLeft());
}

// A thread polls the driver's name as fast as it can while the whole
// replacement runs: at no poll does the name stand empty. (It asks for the
// attributes only, opening no handle that could stand in the replacing
// move's way.)
TEST_F(ReplaceDriver, TheDriversNameHoldsAFileAtEveryPoll)
{
    const uint64_t before = FileIndex(driver);
    std::atomic<bool> stop{false};
    std::atomic<unsigned> polls{0}, empty{0};
    std::thread watcher([&] {
        while (!stop) {
            if (GetFileAttributesW(driver.c_str()) == INVALID_FILE_ATTRIBUTES)
                ++empty;
            ++polls;
        }
    });
    const bool replaced = context.ReplaceInfectedDriver();
    stop = true;
    watcher.join();

    EXPECT_TRUE(replaced);
    EXPECT_EQ(empty.load(), 0u) << "of " << polls.load() << " polls";
    EXPECT_GT(polls.load(), 200u) << "the watcher must have polled through the pause";
    EXPECT_NE(FileIndex(driver), before);
    EXPECT_EQ(ReadWholeFile(driver), content);
}

// A loaded driver's file is mapped as an image: a replacing move, which
// would delete it, is refused with ERROR_ACCESS_DENIED where it has no
// second name (a volume without hard links). Wine maps no driver here, so
// the refusal is given by a patched MoveFileExW; plain renames pass. The
// driver then takes the set-aside name and the clean copy its name at once,
// and the repair ends as any other: the clean copy under the name, the
// infected file kept in the quarantine, nothing left behind.
BOOL WINAPI RefuseReplacingMoves(LPCWSTR from, LPCWSTR to, DWORD flags);
winetest::ImportPatch* moveFilePatch = nullptr;
unsigned refusedReplacingMoves = 0;

BOOL WINAPI RefuseReplacingMoves(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    if ((flags & MOVEFILE_REPLACE_EXISTING) != 0) {
        ++refusedReplacingMoves;
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    using Move = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, DWORD);
    return reinterpret_cast<Move>(moveFilePatch->original())(from, to, flags);
}

TEST_F(ReplaceDriver, ADriverWhoseNameCannotBeReplacedIsRenamedAsideAndTheCopyMovedIn)
{
    const uint64_t before = FileIndex(driver);
    const std::vector<std::wstring> quarantined = QuarantineRuns();
    refusedReplacingMoves = 0;
    winetest::ImportPatch patch("kernel32.dll", "MoveFileExW", reinterpret_cast<void*>(&RefuseReplacingMoves));
    ASSERT_TRUE(patch.active());
    moveFilePatch = &patch;
    const bool replaced = context.ReplaceInfectedDriver();
    moveFilePatch = nullptr;

    EXPECT_TRUE(replaced);
    EXPECT_EQ(refusedReplacingMoves, 1u);
    EXPECT_NE(FileIndex(driver), before) << "the clean copy stands under the name";
    EXPECT_EQ(ReadWholeFile(driver), content);
    EXPECT_EQ(context.cleanDriverDigest.size(), 32u);
    EXPECT_EQ(QuarantineRuns().size(), quarantined.size() + 1) << "the infected file was kept";
    EXPECT_EQ(ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
    EXPECT_FALSE(JournalLeft());
}

// Another file put under the driver's name in the pause (as Windows File
// Protection puts its own copy of a system file back): it is not replaced.
// What the disk holds of it decides; here it cannot be read straight from
// the disk (Wine reads no volume raw), so nothing says it is clean, and the
// replacement has failed. The infected file set aside is kept and removed,
// and nothing is left for the next run.
TEST_F(ReplaceDriver, AnotherFileUnderTheNameAfterThePauseIsLeftAndDecidesByItsRawContent)
{
    const std::wstring protectedCopy = DriversFolder() + L"kqvrepl.protected";
    ASSERT_TRUE(WriteWholeFile(protectedCopy, content));
    const uint64_t putBack = FileIndex(protectedCopy);
    context.replacementCheckpoint = [&](ReplacementPoint point) {
        if (point == ReplacementPoint::Pausing)
            MoveFileExW(protectedCopy.c_str(), driver.c_str(), MOVEFILE_REPLACE_EXISTING);
    };
    const bool replaced = context.ReplaceInfectedDriver();
    DeleteFileW(protectedCopy.c_str());

    EXPECT_FALSE(replaced);
    EXPECT_EQ(FileIndex(driver), putBack) << "the file put there is not replaced";
    EXPECT_TRUE(context.cleanDriverDigest.empty());
    EXPECT_EQ(ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
    EXPECT_FALSE(JournalLeft());
    EXPECT_EQ(CompleteInterrupted(), "");
}

// The ACEs of a DACL, as (SID string, type, mask).
struct Ace {
    std::wstring sid;
    BYTE type;
    ACCESS_MASK mask;
    bool operator==(const Ace&) const = default;
};

std::vector<Ace> AcesOf(const std::wstring& path)
{
    std::vector<Ace> aces;
    const std::vector<BYTE> bytes = DaclBytes(path);
    if (bytes.empty())
        return aces;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    if (!GetSecurityDescriptorDacl(const_cast<BYTE*>(bytes.data()), &present, &acl, &defaulted) || acl == nullptr)
        return aces;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(acl, i, reinterpret_cast<void**>(&ace)))
            continue;
        wchar_t* text = nullptr;
        ConvertSidToStringSidW(&ace->SidStart, &text);
        aces.push_back({text != nullptr ? text : L"?", ace->Header.AceType, ace->Mask});
        LocalFree(text);
    }
    return aces;
}

// The drivers folder and the driver are opened up only for the repair, and
// only for the administrators: while the moves run, the one entry added to
// either list is theirs; afterwards the folder has its own list again and
// the driver's list is on the file that now bears its name. (Wine keeps a
// file's list as Unix mode bits: an entry for the administrators does not
// show there, but one for Everyone would, as the bits for others.)
TEST_F(ReplaceDriver, OnlyTheAdministratorsAreGrantedAnythingAndOnlyForTheRepair)
{
    ASSERT_TRUE(GiveAdministratorsOnly(driver));
    const std::wstring folder = DriversFolder().substr(0, DriversFolder().size() - 1);
    const std::vector<BYTE> driverDacl = DaclBytes(driver);
    const std::vector<BYTE> folderDacl = DaclBytes(folder);
    const std::vector<Ace> driverAces = AcesOf(driver);
    const std::vector<Ace> folderAces = AcesOf(folder);
    ASSERT_FALSE(driverDacl.empty());

    std::vector<std::vector<Ace>> duringDriver, duringFolder;
    context.replacementCheckpoint = [&](ReplacementPoint point) {
        if (point == ReplacementPoint::Staged)
            duringDriver.push_back(AcesOf(driver));
        duringFolder.push_back(AcesOf(folder));
    };
    EXPECT_TRUE(context.ReplaceInfectedDriver());

    auto onlyAdministratorsAdded = [](const std::vector<Ace>& before, const std::vector<Ace>& during) {
        std::vector<Ace> added;
        for (const Ace& ace : during)
            if (std::find(before.begin(), before.end(), ace) == before.end())
                added.push_back(ace);
        for (const Ace& ace : added) {
            EXPECT_EQ(ace.sid, L"S-1-5-32-544") << "an entry for someone else";
            EXPECT_EQ(ace.type, ACCESS_ALLOWED_ACE_TYPE);
        }
        EXPECT_LE(added.size(), 1u);
    };
    ASSERT_EQ(duringDriver.size(), 1u);
    ASSERT_EQ(duringFolder.size(), 5u);
    onlyAdministratorsAdded(driverAces, duringDriver.front());
    for (const std::vector<Ace>& aces : duringFolder)
        onlyAdministratorsAdded(folderAces, aces);

    EXPECT_EQ(ReadWholeFile(driver), content);
    EXPECT_EQ(DaclBytes(driver), driverDacl);
    EXPECT_EQ(DaclBytes(folder), folderDacl);
}

} // namespace
