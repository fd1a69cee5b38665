// ReplaceInfectedDriver in the prefix's real drivers folder: the clean path
// and the ways it can fail. Whatever fails, a file stands under the
// driver's name afterwards.
//
// A move or a deletion is refused by holding the file open without
// FILE_SHARE_DELETE: both need DELETE access, which such a handle denies
// (Wine checks sharing for it as Windows does). The handle is taken by a
// helper thread during the replacement's 2000 ms pause, as soon as
// "infected.bad" appears, so that the steps before the pause still succeed.

#include "program/run/RemovalContext.hpp"
#include "tests/wine/DriverCheckFiles.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace drivercheck_test;

namespace {

const wchar_t DriverName[] = L"kqvrepl.sys";

// Opens the given paths without delete sharing as soon as `trigger`
// exists, and keeps them open until it is destroyed.
class HoldWhenAppears {
public:
    HoldWhenAppears(std::wstring trigger, std::vector<std::wstring> paths)
        : worker_([this, trigger = std::move(trigger), paths = std::move(paths)] {
              const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
              while (!stop_ && !PathExists(trigger) && std::chrono::steady_clock::now() < deadline)
                  Sleep(5);
              for (const std::wstring& path : paths)
                  handles_.push_back(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, 0, nullptr));
              held_ = true;
          })
    {
    }
    ~HoldWhenAppears()
    {
        stop_ = true;
        worker_.join();
        for (HANDLE h : handles_)
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
    }
    // True when every path was open while the replacement ran.
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
    std::wstring quarantine = DriversFolder() + L"infected.bad";
    std::wstring cleanCopy = TemporaryFolder() + DriverName;
    const std::string content = Pattern(70000, 11);
    RemovalContext context;

    void SetUp() override
    {
        ASSERT_FALSE(PathExists(quarantine)) << "an infected.bad was left in the prefix";
        ASSERT_TRUE(WriteWholeFile(driver, content));
        context.infectedDriverName = DriverName;
    }
    void TearDown() override
    {
        DeleteFileW(driver.c_str());
        DeleteFileW(quarantine.c_str());
        DeleteFileW(cleanCopy.c_str());
    }
};

TEST_F(ReplaceDriver, CleanPathPutsACopyOfTheServedContentInPlace)
{
    // A file of the driver's name in the temporary folder is overwritten.
    ASSERT_TRUE(WriteWholeFile(cleanCopy, "stale"));
    const uint64_t before = FileIndex(driver);

    EXPECT_TRUE(context.ReplaceInfectedDriver());

    EXPECT_EQ(ReadWholeFile(driver), content);
    EXPECT_NE(FileIndex(driver), before) << "the driver's name must now stand for the copy";
    EXPECT_FALSE(PathExists(quarantine));
    EXPECT_FALSE(PathExists(cleanCopy));
}

TEST_F(ReplaceDriver, LeftoverInfectedBadStopsItWithTheDriverUntouched)
{
    ASSERT_TRUE(WriteWholeFile(quarantine, "earlier run"));
    const uint64_t before = FileIndex(driver);

    EXPECT_FALSE(context.ReplaceInfectedDriver());

    EXPECT_EQ(FileIndex(driver), before);
    EXPECT_EQ(ReadWholeFile(driver), content);
    EXPECT_EQ(ReadWholeFile(quarantine), "earlier run");
}

TEST_F(ReplaceDriver, MissingDriverChangesNothing)
{
    DeleteFileW(driver.c_str());
    EXPECT_FALSE(context.ReplaceInfectedDriver());
    EXPECT_FALSE(PathExists(driver));
    EXPECT_FALSE(PathExists(quarantine));
}

TEST_F(ReplaceDriver, WithoutANameNothingIsTouched)
{
    // The driver path would be the drivers folder itself.
    const std::vector<BYTE> folderDacl = DaclBytes(DriversFolder());
    ASSERT_FALSE(folderDacl.empty());
    context.infectedDriverName.clear();
    EXPECT_FALSE(context.ReplaceInfectedDriver());
    EXPECT_EQ(DaclBytes(DriversFolder()), folderDacl) << "the drivers folder's access was reset";
    EXPECT_FALSE(PathExists(quarantine));
    EXPECT_EQ(ReadWholeFile(driver), content);
}

TEST_F(ReplaceDriver, WithoutATemporaryFolderNothingIsTouched)
{
    // GetTempPathW fails on a TMP longer than MAX_PATH; the clean copy's
    // path would then name a file in the current folder.
    const std::wstring folder = L"C:\\kqvcurrent";
    const std::wstring usersFile = folder + L"\\" + DriverName;
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(WriteWholeFile(usersFile, "the user's own file"));
    const uint64_t before = FileIndex(driver);
    const std::wstring tooLong = L"C:\\" + std::wstring(300, L'k');
    bool replaced = false;
    {
        const TemporaryFolderSwitch noTemporaryFolder(tooLong, folder);
        replaced = context.ReplaceInfectedDriver();
    }
    const std::string usersContent = ReadWholeFile(usersFile);
    DeleteFileW(usersFile.c_str());
    RemoveDirectoryW(folder.c_str());
    EXPECT_FALSE(replaced);
    EXPECT_EQ(usersContent, "the user's own file");
    EXPECT_EQ(FileIndex(driver), before);
    EXPECT_EQ(ReadWholeFile(driver), content);
    EXPECT_FALSE(PathExists(quarantine));
}

TEST_F(ReplaceDriver, CleanCopyThatCannotBeMovedPutsTheDriverBack)
{
    const uint64_t before = FileIndex(driver);
    bool held = false;
    {
        HoldWhenAppears hold(quarantine, {cleanCopy});
        EXPECT_FALSE(context.ReplaceInfectedDriver());
        held = hold.AllHeld();
    }
    ASSERT_TRUE(held);
    EXPECT_EQ(FileIndex(driver), before) << "the driver's own file is moved back";
    EXPECT_EQ(ReadWholeFile(driver), content);
    EXPECT_FALSE(PathExists(quarantine));
    EXPECT_EQ(ReadWholeFile(cleanCopy), content) << "the clean copy stays in the temporary folder";
}

TEST_F(ReplaceDriver, WhenTheDriverCannotBeMovedBackItIsCopiedBack)
{
    // Both the clean copy and infected.bad are held: the clean copy cannot
    // take the driver's name and infected.bad cannot be moved back, but it
    // can still be read.
    bool held = false;
    {
        HoldWhenAppears hold(quarantine, {cleanCopy, quarantine});
        EXPECT_FALSE(context.ReplaceInfectedDriver());
        held = hold.AllHeld();
    }
    ASSERT_TRUE(held);
    EXPECT_EQ(ReadWholeFile(driver), content);
    EXPECT_EQ(ReadWholeFile(quarantine), content);
}

TEST_F(ReplaceDriver, InfectedBadThatCannotBeDeletedLeavesTheRepairDone)
{
    const uint64_t before = FileIndex(driver);
    bool held = false;
    {
        HoldWhenAppears hold(quarantine, {quarantine});
        EXPECT_FALSE(context.ReplaceInfectedDriver());
        held = hold.AllHeld();
    }
    ASSERT_TRUE(held);
    EXPECT_EQ(ReadWholeFile(driver), content);
    EXPECT_NE(FileIndex(driver), before);
    EXPECT_EQ(FileIndex(quarantine), before) << "the infected file stays as infected.bad";
    EXPECT_FALSE(PathExists(cleanCopy));
}

// The system folder and the driver are opened up only for the repair: the
// folder keeps its own list, and the driver's list goes to the clean copy.
TEST_F(ReplaceDriver, AccessListsComeBackAfterTheRepair)
{
    ASSERT_TRUE(GiveAdministratorsOnly(driver));
    const std::vector<BYTE> driverDacl = DaclBytes(driver);
    wchar_t systemDirectory[MAX_PATH] = {};
    GetSystemDirectoryW(systemDirectory, MAX_PATH);
    const std::vector<BYTE> systemDacl = DaclBytes(systemDirectory);
    ASSERT_FALSE(driverDacl.empty());
    ASSERT_FALSE(systemDacl.empty());

    EXPECT_TRUE(context.ReplaceInfectedDriver());

    EXPECT_EQ(ReadWholeFile(driver), content);
    EXPECT_EQ(DaclBytes(driver), driverDacl);
    EXPECT_EQ(DaclBytes(systemDirectory), systemDacl);
}

} // namespace
