// The raw reader on Wine: path resolution through the platform's own shell
// path functions, the refusals, and a raw copy that meets a file system
// which cannot be read raw.

#include "program/rawread/RawRead.hpp"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

const wchar_t* const Folder = L"C:\\rawreadtest";

void WriteFileWith(const std::wstring& path, const std::string& content)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    if (!content.empty())
        ASSERT_TRUE(WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
    CloseHandle(h);
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

LONGLONG SizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

class RawReadOnWine : public ::testing::Test {
protected:
    void SetUp() override
    {
        CreateDirectoryW(Folder, nullptr);
        CreateDirectoryW((std::wstring(Folder) + L"\\Drivers").c_str(), nullptr);
        CreateDirectoryW((std::wstring(Folder) + L"\\Sub").c_str(), nullptr);
        WriteFileWith(std::wstring(Folder) + L"\\Drivers\\x.sys", std::string(70000, 'x'));
        WriteFileWith(std::wstring(Folder) + L"\\Drivers\\empty.sys", "");
    }
    void TearDown() override
    {
        for (const wchar_t* name : {L"\\Drivers\\x.sys", L"\\Drivers\\empty.sys", L"\\out.bin"})
            DeleteFileW((std::wstring(Folder) + name).c_str());
        RemoveDirectoryW((std::wstring(Folder) + L"\\Drivers").c_str());
        RemoveDirectoryW((std::wstring(Folder) + L"\\Sub").c_str());
        RemoveDirectoryW(Folder);
    }
};

struct Opened {
    BOOL result;
    DWORD error;
    std::wstring path;
    std::wstring devicePath;
};

Opened Open(const wchar_t* path, RawFileInfo* keep = nullptr)
{
    RawFileInfo file;
    const BOOL result = OpenRawFile(path, &file);
    Opened opened{result, GetLastError(), file.path ? file.path : L"", file.devicePath ? file.devicePath : L""};
    if (keep != nullptr)
        *keep = file;
    else
        CloseRawFile(&file);
    return opened;
}

} // namespace

TEST_F(RawReadOnWine, SpellingsOfOneFileResolveToItsCanonicalPath)
{
    const std::wstring canonical = L"C:\\rawreadtest\\Drivers\\x.sys";
    for (const wchar_t* spelling : {L"C:\\rawreadtest\\Drivers\\x.sys", L"C:/rawreadtest/Drivers/x.sys",
                                    L"\"C:\\rawreadtest\\Drivers\\x.sys\"",
                                    L"C:\\rawreadtest\\Sub\\..\\Drivers\\.\\x.sys"}) {
        const Opened o = Open(spelling);
        EXPECT_TRUE(o.result) << o.error;
        EXPECT_EQ(o.error, 0u);
        EXPECT_EQ(o.path, canonical);
        EXPECT_EQ(o.devicePath, canonical) << "C: is a hard-disk volume";
    }
}

TEST_F(RawReadOnWine, AllCapitalPathsAreMadeLowerCaseOthersKeepTheirCase)
{
    // The platform's PathMakePrettyW leaves the first character (the drive
    // letter) as it was.
    EXPECT_EQ(Open(L"C:\\RAWREADTEST\\DRIVERS\\X.SYS").path, L"C:\\rawreadtest\\drivers\\x.sys");
    EXPECT_EQ(Open(L"C:\\RawReadTest\\DRIVERS\\X.SYS").path, L"C:\\RawReadTest\\DRIVERS\\X.SYS");
}

TEST_F(RawReadOnWine, OpenFileRecordDescribesTheFile)
{
    RawFileInfo file;
    const Opened o = Open(L"C:\\rawreadtest\\Drivers\\x.sys", &file);
    ASSERT_TRUE(o.result);
    EXPECT_EQ(file.size, 70000u);
    EXPECT_NE(file.fileHandle, nullptr);
    EXPECT_NE(file.fileHandle, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(file.attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(IsBadRawFileInfo(&file));
    // The handle may read attributes but not data.
    char byte;
    DWORD read = 0;
    EXPECT_FALSE(ReadFile(file.fileHandle, &byte, 1, &read, nullptr));
    CloseRawFile(&file);
    EXPECT_EQ(file.path, nullptr);
    EXPECT_EQ(file.fileHandle, nullptr);
    CloseRawFile(&file); // a cleared record closes again safely
}

TEST_F(RawReadOnWine, RootsRelativePathsFoldersAndSharesAreRefused)
{
    for (const wchar_t* path : {L"C:\\", L"rawreadtest\\Drivers\\x.sys", L"C:\\rawreadtest\\Drivers",
                                L"C:\\rawreadtest\\Drivers\\", L"\\\\server\\share\\x.sys"}) {
        const Opened o = Open(path);
        EXPECT_FALSE(o.result) << std::string(path, path + wcslen(path));
        EXPECT_EQ(o.error, static_cast<DWORD>(ERROR_BAD_PATHNAME));
        EXPECT_FALSE(o.path.empty()) << "the canonical path stays for the close to release";
    }
}

TEST_F(RawReadOnWine, BadArgumentsMissingFilesAndOverlongPaths)
{
    RawFileInfo file;
    EXPECT_FALSE(OpenRawFile(nullptr, &file));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(OpenRawFile(L"", &file));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(OpenRawFile(L"C:\\x.sys", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    EXPECT_EQ(Open(L"C:\\rawreadtest\\Drivers\\missing.sys").error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    const std::wstring overlong = L"C:\\rawreadtest\\" + std::wstring(250, L'a') + L"\\x.sys";
    EXPECT_EQ(Open(overlong.c_str()).error, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(RawReadOnWine, AnEmptyFileOpensButIsUnusable)
{
    RawFileInfo file;
    ASSERT_TRUE(OpenRawFile(L"C:\\rawreadtest\\Drivers\\empty.sys", &file));
    EXPECT_EQ(file.size, 0u);
    EXPECT_TRUE(IsBadRawFileInfo(&file));
    CloseRawFile(&file);
}

TEST_F(RawReadOnWine, ASubstitutedDriveKeepsTheFoldersBelowItsRoot)
{
    if (!DefineDosDeviceW(0, L"R:", Folder))
        GTEST_SKIP() << "no substituted drives here: " << GetLastError();
    wchar_t device[260] = {};
    QueryDosDeviceW(L"R:", device, 260);
    const Opened o = Open(L"R:\\Drivers\\x.sys");
    DefineDosDeviceW(DDD_REMOVE_DEFINITION, L"R:", nullptr);
    if (wcsncmp(device, L"\\??\\", 4) != 0)
        GTEST_SKIP() << "R: does not read as a substituted drive";
    EXPECT_TRUE(o.result) << o.error;
    EXPECT_EQ(o.path, L"R:\\Drivers\\x.sys");
    EXPECT_EQ(o.devicePath, L"C:\\rawreadtest\\Drivers\\x.sys");
}

TEST_F(RawReadOnWine, TheVolumeOfCOpensAsNtfs)
{
    RawVolumeInfo volume;
    ASSERT_TRUE(OpenRawVolume(L"C:\\rawreadtest\\Drivers\\x.sys", &volume)) << GetLastError();
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_STREQ(volume.volumePath, L"C:\\");
    ASSERT_NE(volume.volumeName, nullptr);
    const std::wstring name = volume.volumeName;
    EXPECT_EQ(name.rfind(L"\\\\?\\Volume{", 0), 0u) << "the GUID path";
    EXPECT_NE(name.back(), L'\\');
    EXPECT_EQ(volume.driveNumber, 2);
    EXPECT_EQ(volume.driveType, static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(volume.fileSystem, FsNtfs);
    EXPECT_EQ(volume.dataAreaOffset, 0u);
    EXPECT_EQ(volume.bytesPerCluster, volume.bytesPerSector * volume.sectorsPerCluster);
    EXPECT_EQ(volume.usedClusters, volume.totalClusters - volume.freeClusters);
    EXPECT_FALSE(IsBadRawVolumeInfo(&volume));

    // The FAT offset is read only from a volume not yet classified.
    EXPECT_FALSE(ReadFatDataAreaOffset(&volume));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseRawVolume(&volume);
    EXPECT_EQ(volume.volumeHandle, nullptr);
    EXPECT_FALSE(ReadFatDataAreaOffset(&volume));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ReadFatDataAreaOffset(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
}

TEST_F(RawReadOnWine, WinesExtentAnswerIsRefusedAsInvalidData)
{
    RawFileInfo file;
    RawVolumeInfo volume;
    ASSERT_TRUE(OpenRawFile(L"C:\\rawreadtest\\Drivers\\x.sys", &file));
    ASSERT_TRUE(OpenRawVolume(file.devicePath, &volume));
    ClusterRunList* runs = reinterpret_cast<ClusterRunList*>(1);
    EXPECT_FALSE(GetFileClusterRuns(&volume, &file, &runs));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(runs, nullptr);

    // Wine answers no NTFS volume data query.
    ResidentFileData* data = nullptr;
    EXPECT_FALSE(GetResidentFileData(&volume, &file, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(data, nullptr);

    RawFileInfo cleared = {};
    EXPECT_FALSE(GetFileClusterRuns(&volume, &cleared, &runs));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseRawFile(&file);
    CloseRawVolume(&volume);
}

namespace {

struct Call {
    RawCopyStep step;
    BOOL status;
    bool argumentSet;
    LONG extra;
    bool operator==(const Call&) const = default;
};

struct Recorder {
    std::vector<Call> calls;
    std::wstring destinationSeen;
    RawCopyStep refuseAt = static_cast<RawCopyStep>(0);
};

BOOL WINAPI Record(ULONG_PTR context, RawCopyStep step, BOOL status, ULONG_PTR argument, LONG extra)
{
    Recorder* recorder = reinterpret_cast<Recorder*>(context);
    recorder->calls.push_back({step, status, argument != 0, extra});
    if (step == StepDestination && argument != 0)
        recorder->destinationSeen = reinterpret_cast<const wchar_t*>(argument);
    return step != recorder->refuseAt;
}

} // namespace

TEST_F(RawReadOnWine, TheSameFileUnderTwoSpellingsIsRefusedBeforeAnythingOpens)
{
    // Neither file exists: an attempt to open the source would report
    // StepSourceFile, and an attempt to create the destination would leave it.
    SetCurrentDirectoryW(L"C:\\");
    Recorder recorder;
    RawCopyCallbackInfo info{Record, nullptr, reinterpret_cast<ULONG_PTR>(&recorder)};
    EXPECT_FALSE(RawCopyFile(L"C:\\rawreadtest\\a.sys", L"c:/RAWREADTEST/A.SYS", &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
    EXPECT_FALSE(RawCopyFile(L"rawreadtest\\a.sys", L"C:\\rawreadtest\\Sub\\..\\A.sys", &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
    EXPECT_EQ(recorder.calls, (std::vector<Call>{{StepDestination, FALSE, false, -1}, {StepDestination, FALSE, false, -1}}));
    EXPECT_FALSE(Exists(L"C:\\rawreadtest\\a.sys"));
}

TEST_F(RawReadOnWine, TheSourceUnderANameThatCompareCannotSeeIsNotTruncated)
{
    // A hard link: another name of the same file, which no comparison of
    // the two paths can tell.
    const std::wstring source = std::wstring(Folder) + L"\\Drivers\\x.sys";
    const std::wstring link = std::wstring(Folder) + L"\\link.sys";
    if (!CreateHardLinkW(link.c_str(), source.c_str(), nullptr))
        GTEST_SKIP() << "no hard links here: " << GetLastError();
    Recorder recorder;
    RawCopyCallbackInfo info{Record, nullptr, reinterpret_cast<ULONG_PTR>(&recorder)};
    const BOOL copied = RawCopyFile(source.c_str(), link.c_str(), &info);
    const DWORD error = GetLastError();
    DeleteFileW(link.c_str());
    EXPECT_FALSE(copied);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
    EXPECT_EQ(recorder.calls, (std::vector<Call>{{StepSourceFile, TRUE, true, -1},
                                                 {StepVolume, TRUE, true, -1},
                                                 {StepDestination, FALSE, false, -1}}));
    EXPECT_EQ(SizeOf(source), 70000);
}

TEST_F(RawReadOnWine, ACopyOnAWineDriveFailsCleanlyAndLeavesItsDestination)
{
    const std::wstring destination = std::wstring(Folder) + L"\\out.bin";
    DeleteFileW(destination.c_str());
    Recorder recorder;
    RawCopyCallbackInfo info{Record, nullptr, reinterpret_cast<ULONG_PTR>(&recorder)};
    EXPECT_FALSE(RawCopyFile(L"C:\\rawreadtest\\Drivers\\x.sys", destination.c_str(), &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(recorder.calls, (std::vector<Call>{{StepSourceFile, TRUE, true, -1},
                                                 {StepVolume, TRUE, true, -1},
                                                 {StepDestination, TRUE, true, -1},
                                                 {StepClusterRuns, FALSE, false, -1}}));
    EXPECT_EQ(recorder.destinationSeen, destination);
    EXPECT_EQ(SizeOf(destination), 0) << "created anew and left behind, empty";

    // Without a callback: the same failure.
    DeleteFileW(destination.c_str());
    EXPECT_FALSE(RawCopyFile(L"C:\\rawreadtest\\Drivers\\x.sys", destination.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(SizeOf(destination), 0);
}

// The destination is always a new file: one that stands there already
// (whoever made it) is neither truncated nor written.
TEST_F(RawReadOnWine, AnExistingDestinationIsNotWrittenOver)
{
    const std::wstring destination = std::wstring(Folder) + L"\\out.bin";
    WriteFileWith(destination, "stale contents");
    Recorder recorder;
    RawCopyCallbackInfo info{Record, nullptr, reinterpret_cast<ULONG_PTR>(&recorder)};
    EXPECT_FALSE(RawCopyFile(L"C:\\rawreadtest\\Drivers\\x.sys", destination.c_str(), &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(recorder.calls, (std::vector<Call>{{StepSourceFile, TRUE, true, -1},
                                                 {StepVolume, TRUE, true, -1},
                                                 {StepDestination, FALSE, true, -1}}));
    EXPECT_EQ(SizeOf(destination), 14);
    DeleteFileW(destination.c_str());
}

TEST_F(RawReadOnWine, AZeroAnswerStopsTheCopyAtThatStep)
{
    const std::wstring destination = std::wstring(Folder) + L"\\out.bin";
    const struct {
        RawCopyStep step;
        std::size_t calls;
        bool destinationCreated;
    } cases[] = {
        {StepSourceFile, 1, false},
        {StepVolume, 2, false},
        {StepDestination, 3, true},
    };
    for (const auto& c : cases) {
        DeleteFileW(destination.c_str());
        Recorder recorder;
        recorder.refuseAt = c.step;
        RawCopyCallbackInfo info{Record, nullptr, reinterpret_cast<ULONG_PTR>(&recorder)};
        EXPECT_FALSE(RawCopyFile(L"C:\\rawreadtest\\Drivers\\x.sys", destination.c_str(), &info)) << c.step;
        ASSERT_EQ(recorder.calls.size(), c.calls) << c.step;
        EXPECT_EQ(recorder.calls.back().step, c.step);
        EXPECT_EQ(Exists(destination), c.destinationCreated) << c.step;
        if (c.destinationCreated)
            EXPECT_EQ(SizeOf(destination), 0) << "an empty destination stays behind";
    }
}

TEST_F(RawReadOnWine, CopyRefusals)
{
    const std::wstring destination = std::wstring(Folder) + L"\\out.bin";
    Recorder recorder;
    RawCopyCallbackInfo info{Record, nullptr, reinterpret_cast<ULONG_PTR>(&recorder)};
    EXPECT_FALSE(RawCopyFile(nullptr, destination.c_str(), &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_PATHNAME));
    EXPECT_FALSE(RawCopyFile(L"C:\\rawreadtest\\Drivers\\x.sys", nullptr, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_PATHNAME));
    EXPECT_TRUE(recorder.calls.empty());

    const std::wstring overlong = L"C:\\rawreadtest\\" + std::wstring(250, L'a') + L".sys";
    EXPECT_FALSE(RawCopyFile(overlong.c_str(), destination.c_str(), &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_TRUE(recorder.calls.empty());

    // An empty source opens, but its record is unusable for the extent query.
    EXPECT_FALSE(RawCopyFile(L"C:\\rawreadtest\\Drivers\\empty.sys", destination.c_str(), &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(recorder.calls.size(), 4u);
    EXPECT_EQ(recorder.calls[3], (Call{StepClusterRuns, FALSE, false, -1}));
    EXPECT_EQ(SizeOf(destination), 0);

    // A missing source: the open's code, and no destination.
    DeleteFileW(destination.c_str());
    recorder.calls.clear();
    EXPECT_FALSE(RawCopyFile(L"C:\\rawreadtest\\Drivers\\missing.sys", destination.c_str(), &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(recorder.calls, (std::vector<Call>{{StepSourceFile, FALSE, true, -1}}));
    EXPECT_FALSE(Exists(destination));
}
