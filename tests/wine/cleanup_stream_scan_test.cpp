// The Windows-directory stream scan against what Wine really does: its
// stream query is not implemented, so the scan finds nothing; the
// executable test and the process test run on real files and processes.

#include "program/run/RemovalContext.hpp"
#include "tests/wine/CleanupWine.hpp"

#include <gtest/gtest.h>

#include <cwctype>
#include <string>

using namespace cleanupwine;

namespace {

std::wstring OwnExecutableName()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring full = path;
    return full.substr(full.find_last_of(L"\\/") + 1);
}

TEST(StreamScanUnderWine, TheStreamQueryIsNotImplementedSoNothingIsFound)
{
    using Query = LONG(NTAPI*)(HANDLE, void*, PVOID, ULONG, ULONG);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll"), "NtQueryInformationFile")));
    ASSERT_NE(query, nullptr);
    const std::wstring file = WindowsDirectory() + L"\\korvale-stream-probe.dll";
    ASSERT_TRUE(MakeFile(file, "MZ"));
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    struct { LONG status; ULONG_PTR information; } ioStatus{};
    unsigned char buffer[1000] = {};
    EXPECT_EQ(static_cast<ULONG>(query(handle, &ioStatus, buffer, sizeof(buffer), 22)), 0xC0000002u)
        << "STATUS_NOT_IMPLEMENTED";
    CloseHandle(handle);

    RemovalContext context;
    const std::wstring pattern = WindowsDirectory() + L"\\*";
    EXPECT_FALSE(context.ScanWindowsDirectoryStreams(pattern.c_str()));
    EXPECT_TRUE(context.hiddenImageName.empty());
    DeleteFileW(file.c_str());
}

TEST(StreamScanUnderWine, APatternThatMatchesNothingFindsNothing)
{
    RemovalContext context;
    context.hiddenImageName = L"unchanged";
    const std::wstring pattern = WindowsDirectory() + L"\\no-such-entry-*.korvale";
    EXPECT_FALSE(context.ScanWindowsDirectoryStreams(pattern.c_str()));
    EXPECT_EQ(context.hiddenImageName, L"unchanged");
}

TEST(ProcessRunning, TheTestsOwnImageNameExactlyAndNotInCapitals)
{
    RemovalContext context;
    const std::wstring name = OwnExecutableName();
    ASSERT_FALSE(name.empty());
    std::wstring capitals = name;
    for (wchar_t& c : capitals)
        c = static_cast<wchar_t>(std::towupper(c));
    ASSERT_NE(capitals, name);

    EXPECT_TRUE(context.IsProcessRunning(name.c_str()));
    EXPECT_FALSE(context.IsProcessRunning(capitals.c_str()));
    EXPECT_FALSE(context.IsProcessRunning((name + L":x.exe").c_str()));
    EXPECT_FALSE(context.IsProcessRunning(L""));
}

TEST(ExecutableStream, BeginsWithMzReadFromTheStartWhateverThePointer)
{
    const std::wstring folder = WindowsDirectory() + L"\\korvale-exe-test";
    RemoveTree(folder);
    ASSERT_TRUE(MakeFolder(folder));
    struct Case {
        const wchar_t* name;
        std::string content;
        bool executable;
    } cases[] = {
        {L"image.exe", std::string("MZ\x90\0\x03\0\0\0", 8) + std::string(200, 'p'), true},
        {L"two.bin", "MZ", true},
        {L"text.txt", "This program cannot be run in DOS mode.", false},
        {L"zm.bin", "ZM\x90", false},
        {L"m.bin", "M", false},
        {L"empty.bin", "", false},
    };
    RemovalContext context;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.content.size() << " bytes");
        const std::wstring path = folder + L"\\" + c.name;
        ASSERT_TRUE(MakeFile(path, c.content));
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        SetFilePointer(file, 0, nullptr, FILE_END);
        EXPECT_EQ(context.IsExecutableStream(file), c.executable);
        EXPECT_EQ(context.IsExecutableStream(file), c.executable) << "the handle stays usable";
        CloseHandle(file);
    }
    EXPECT_FALSE(context.IsExecutableStream(INVALID_HANDLE_VALUE));
    RemoveTree(folder);
}

} // namespace
