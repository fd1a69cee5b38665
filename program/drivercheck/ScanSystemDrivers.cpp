// System driver scan: every driver file of the system's drivers folder is
// copied raw from its volume into the run's work folder, and the digest of
// that copy is compared with the digest of the file read the ordinary way.
// Different digests mean the file system serves content that is not what
// lies on the disk: the driver is infected.

#include "program/drivercheck/DriverScan.hpp"
#include "program/drivercheck/core/DigestJudgement.hpp"
#include "program/drivercheck/core/ScanDecisions.hpp"
#include "program/common/Handles.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/WinConsole.hpp"
#include "program/run/Wide.hpp"

#include <shlwapi.h>

#include <string>

BOOL WINAPI OnRawCopyEvent(ULONG_PTR, RawCopyStep step, BOOL status, ULONG_PTR argument, LONG)
{
    DWORD attributes = 0;
    DWORD fileSystemFlags = 0;
    if (status != FALSE && argument != 0) {
        if (step == StepSourceFile)
            attributes = reinterpret_cast<const RawFileInfo*>(argument)->attributes;
        else if (step == StepVolume)
            fileSystemFlags = reinterpret_cast<const RawVolumeInfo*>(argument)->fileSystemFlags;
    }
    const RawCopyEventDecision decision = DecideRawCopyEvent(step, status, attributes, fileSystemFlags);
    if (decision.warning != nullptr)
        StandardConsole().writeWide(decision.warning);
    return decision.answer;
}

std::optional<std::wstring> RemovalContext::RawCopyIntoWorkFolder(const std::wstring& path, const std::wstring& name)
{
    if (!MakeWorkFolder())
        return std::nullopt;
    const std::wstring copyPath = workFolder + name;
    // A path that does not fit its 260-character buffer names no file the
    // copy could be made as.
    if (!FitsPathBuffer(ToU16(copyPath)))
        return std::nullopt;
    UniqueKernelHandle cancelEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!cancelEvent)
        return std::nullopt;

    RawCopyCallbackInfo callbackInfo{};
    callbackInfo.callback = OnRawCopyEvent;
    callbackInfo.cancelEvent = cancelEvent.get();
    callbackInfo.context = reinterpret_cast<ULONG_PTR>(path.c_str());
    if (RawCopyFile(path.c_str(), copyPath.c_str(), &callbackInfo))
        return copyPath;
    // A copy that failed may have left an empty or partial file: what it
    // holds says nothing about the disk.
    DeleteFileW(copyPath.c_str());
    return std::nullopt;
}

bool RemovalContext::RawDigest(const std::wstring& path, char* output)
{
    const std::optional<std::wstring> copy = RawCopyIntoWorkFolder(path, PathFindFileNameW(path.c_str()));
    if (!copy)
        return false;
    const bool digested = ComputeFileDigest(copy->c_str(), output);
    DeleteFileW(copy->c_str());
    return digested;
}

DriverScanFindings RemovalContext::ScanSystemDrivers()
{
    DriverScanFindings findings;
    const ConsoleSink& console = StandardConsole();
    // The raw copies go into the run's work folder, and nowhere else.
    if (!MakeWorkFolder())
        return findings;

    wchar_t systemDirectory[MAX_PATH] = {};
    const UINT systemLength = GetSystemDirectoryW(systemDirectory, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH)
        return findings;
    const std::wstring driversFolder = std::wstring(systemDirectory) + L"\\Drivers";
    const std::wstring searchPattern = driversFolder + L"\\*.sys";
    if (!FitsPathBuffer(ToU16(searchPattern)))
        return findings;

    WIN32_FIND_DATAW entry{};
    UniqueFind search(FindFirstFileW(searchPattern.c_str(), &entry));
    if (!search)
        return findings;

    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            continue;

        const std::wstring sourcePath = driversFolder + L"\\" + entry.cFileName;
        if (!FitsPathBuffer(ToU16(sourcePath)))
            continue;

        // No access list is changed to read a driver: the reads go through
        // backup semantics, which the run's backup privilege lets past any
        // DACL.
        UniqueFile source(CreateFileW(sourcePath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!source)
            continue;
        if (!IsJudgedDriverSize(GetFileSize(source.get(), nullptr)))
            continue;

        if (PathIsNetworkPathW(sourcePath.c_str())) {
            console.writeWide(u"Source network paths are not supported!\n");
            continue;
        }
        ++findings.judged;

        char rawDigest[DigestTextBytes] = {};
        char plainDigest[DigestTextBytes] = {};
        const bool rawOk = RawDigest(sourcePath, rawDigest);
        const bool plainOk = rawOk && ComputeFileDigest(sourcePath.c_str(), plainDigest);

        const DriverVerdict verdict = JudgeDriver(rawOk, rawOk, rawDigest, plainOk, plainDigest);
        if (verdict == DriverVerdict::Infected) {
            infectedDriverName = entry.cFileName;
            infectedRawDigest = rawDigest;
            infectedPlainDigest = plainDigest;
            findings.infected = true;
        } else if (verdict == DriverVerdict::NotVerified) {
            ++findings.notVerified;
        }
        WriteDriverVerdict(console, AsU16(entry.cFileName), verdict);
    } while (FindNextFileW(search.get(), &entry));

    return findings;
}
