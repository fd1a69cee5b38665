// The rootkit's user-mode executable can run from an alternate data stream
// of a file in the Windows directory, where no ordinary listing shows it.
// The scan asks the file system for each file's streams and looks for one
// that holds an executable and whose name, joined to the file's, is the
// image name of a running process. It prints nothing.

#include "program/cleanup/core/StreamRecords.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/Wide.hpp"
#include "program/common/Handles.hpp"

#include <tlhelp32.h>

#include <algorithm>
#include <array>
#include <cwchar>

namespace {

// IO_STATUS_BLOCK as the stream query fills it.
struct StreamIoStatus {
    union {
        LONG Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};

using NtQueryInformationFileRoutine = LONG(NTAPI*)(HANDLE, StreamIoStatus*, PVOID, ULONG, ULONG);
constexpr ULONG FileStreamInformationClass = 22;

// Bound afresh by name at the start of each scan.
NtQueryInformationFileRoutine queryInformationFile = nullptr;

HANDLE OpenForSequentialRead(const std::u16string& path)
{
    return CreateFileW(AsWide(path.c_str()), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

} // namespace

bool RemovalContext::ScanWindowsDirectoryStreams(const wchar_t* windowsSearchPattern)
{
    std::array<uint8_t, StreamBufferSize> streamBuffer{};
    HMODULE ntdll = GetModuleHandleA("ntdll");
    queryInformationFile = ntdll == nullptr ? nullptr
        : reinterpret_cast<NtQueryInformationFileRoutine>(
              reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationFile")));
    if (queryInformationFile == nullptr)
        return false;

    // Each stream is opened, tested and closed before the next.
    StreamTests tests;
    tests.isExecutable = [this](const std::u16string& streamPath) {
        UniqueFile stream(OpenForSequentialRead(streamPath));
        return stream && IsExecutableStream(stream.get());
    };
    tests.isProcessRunning = [this](const std::u16string& candidateName) {
        return IsProcessRunning(ToWide(candidateName).c_str());
    };

    WIN32_FIND_DATAW entry{};
    UniqueFind search(FindFirstFileW(windowsSearchPattern, &entry));
    if (!search)
        return false;
    do {
        const std::u16string_view entryName = AsU16(entry.cFileName);
        if (IsDotEntry(entryName))
            continue;
        wchar_t windowsDirectory[MAX_PATH] = {};
        const UINT length = GetWindowsDirectoryW(windowsDirectory, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            continue;
        const std::optional<std::u16string> entryPath = ScanEntryPath(AsU16(windowsDirectory), entryName);
        if (!entryPath)
            continue;
        // Folders fall out here: without backup semantics they do not open.
        UniqueFile file(OpenForSequentialRead(*entryPath));
        if (!file)
            continue;
        StreamIoStatus streamIoStatus{};
        const LONG status = queryInformationFile(file.get(), &streamIoStatus, streamBuffer.data(),
                                                 static_cast<ULONG>(streamBuffer.size()),
                                                 FileStreamInformationClass);
        if (status < 0)
            continue;
        // Only the bytes the query says it wrote are walked.
        const std::size_t returned = std::min<std::size_t>(streamIoStatus.Information, streamBuffer.size());
        if (auto hit = FindHiddenImage(streamBuffer.data(), returned, *entryPath, entryName, tests)) {
            hiddenImageName = ToWide(*hit);
            // The executable is not removed (its service is), but a copy is
            // kept with what the repair removes.
            KeepCopy(std::wstring(windowsDirectory) + L"\\" + hiddenImageName, "kept; the stream is not removed",
                     "the executable that QuorVallin hides in a data stream of a file in the Windows directory and "
                     "runs as a process");
            return true;
        }
    } while (FindNextFileW(search.get(), &entry));
    return false;
}

bool RemovalContext::IsExecutableStream(HANDLE stream)
{
    std::array<uint8_t, 16> header{};
    const DWORD size = GetFileSize(stream, nullptr);
    SetFilePointer(stream, 0, nullptr, FILE_BEGIN);
    DWORD read = 0;
    const bool readSucceeded = ReadFile(stream, header.data(), 4, &read, nullptr) != FALSE;
    return LooksExecutable(readSucceeded, size, header.data(), read);
}

bool RemovalContext::IsProcessRunning(const wchar_t* name)
{
    UniqueKernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return false;
    PROCESSENTRY32W process{};
    process.dwSize = sizeof(process);  // 556
    if (!Process32FirstW(snapshot.get(), &process))
        return false;
    do {
        if (std::wcscmp(process.szExeFile, name) == 0)
            return true;
    } while (Process32NextW(snapshot.get(), &process));
    return false;
}
