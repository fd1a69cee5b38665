// System driver scan: every driver file of the system's drivers folder is
// copied raw from its volume into the temporary folder, and the digest of
// that copy is compared with the digest of the file read the ordinary way.
// Different digests mean the file system serves content that is not what
// lies on the disk: the driver is infected.

#include "program/cleanup/SavedFileAccess.hpp"
#include "program/drivercheck/DriverScan.hpp"
#include "program/drivercheck/core/DigestJudgement.hpp"
#include "program/drivercheck/core/ScanDecisions.hpp"
#include "program/run/Handles.hpp"
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

namespace {

// True when the two paths name one folder, however each is spelled (case,
// short names, junctions, substituted drives); also true when either
// cannot be opened and the two texts are equal but for case.
bool IsSameFolder(const std::wstring& first, const std::wstring& second)
{
    auto open = [](const std::wstring& path) {
        return UniqueFile(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    };
    const UniqueFile a = open(first);
    const UniqueFile b = open(second);
    BY_HANDLE_FILE_INFORMATION aInfo{};
    BY_HANDLE_FILE_INFORMATION bInfo{};
    if (a && b && GetFileInformationByHandle(a.get(), &aInfo) && GetFileInformationByHandle(b.get(), &bInfo))
        return aInfo.dwVolumeSerialNumber == bInfo.dwVolumeSerialNumber
            && aInfo.nFileIndexHigh == bInfo.nFileIndexHigh && aInfo.nFileIndexLow == bInfo.nFileIndexLow;
    auto trimmed = [](std::wstring path) {
        while (path.size() > 1 && path.back() == L'\\')
            path.pop_back();
        return path;
    };
    return lstrcmpiW(trimmed(first).c_str(), trimmed(second).c_str()) == 0;
}

} // namespace

bool RemovalContext::ScanSystemDrivers()
{
    bool result = false;
    const ConsoleSink& console = StandardConsole();

    wchar_t temporaryFolder[MAX_PATH] = {};
    wchar_t systemDirectory[MAX_PATH] = {};
    const DWORD temporaryLength = GetTempPathW(MAX_PATH, temporaryFolder);
    const UINT systemLength = GetSystemDirectoryW(systemDirectory, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH)
        return false;
    const std::wstring driversFolder = std::wstring(systemDirectory) + L"\\Drivers";
    const std::wstring searchPattern = driversFolder + L"\\*.sys";
    if (!FitsPathBuffer(ToU16(searchPattern)))
        return false;
    // Every copy is deleted by its name in the temporary folder. Without a
    // temporary folder that name would be relative to the current folder,
    // and with the drivers folder as the temporary folder (TMP pointed
    // there, or a junction to it) it would be the driver itself.
    if (temporaryLength == 0 || temporaryLength >= MAX_PATH || IsSameFolder(temporaryFolder, driversFolder))
        return false;

    WIN32_FIND_DATAW entry{};
    UniqueFind search(FindFirstFileW(searchPattern.c_str(), &entry));
    if (!search)
        return false;

    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            continue;

        const std::wstring sourcePath = driversFolder + L"\\" + entry.cFileName;
        const std::wstring copyPath = std::wstring(temporaryFolder) + entry.cFileName;
        // A path that does not fit its 260-character buffer names no file
        // the scan could act on.
        if (!FitsPathBuffer(ToU16(sourcePath)) || !FitsPathBuffer(ToU16(copyPath)))
            continue;

        // The driver's own DACL comes back when this file is done with.
        const SavedFileAccess driverAccess(sourcePath.c_str());
        ResetFileAccess(sourcePath.c_str());

        UniqueFile source(CreateFileW(sourcePath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!source)
            continue;
        if (!IsJudgedDriverSize(GetFileSize(source.get(), nullptr)))
            continue;

        if (lstrlenW(sourcePath.c_str()) == 0 || lstrlenW(copyPath.c_str()) == 0) {
            console.writeWide(u"Invalid source or destination file!\n");
            continue;
        }
        if (PathIsNetworkPathW(sourcePath.c_str())) {
            console.writeWide(u"Source network paths are not supported!\n");
            continue;
        }

        UniqueKernelHandle cancelEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!cancelEvent)
            continue;

        // A file already standing under the copy's name (left by an earlier
        // run) must not be digested in place of a copy that was never made.
        DeleteFileW(copyPath.c_str());

        RawCopyCallbackInfo callbackInfo{};
        callbackInfo.callback = OnRawCopyEvent;
        callbackInfo.cancelEvent = cancelEvent.get();
        callbackInfo.context = reinterpret_cast<ULONG_PTR>(sourcePath.c_str());
        // A copy that failed may have left an empty or partial file: what
        // it holds says nothing about the disk, so it is not digested.
        const bool copied = RawCopyFile(sourcePath.c_str(), copyPath.c_str(), &callbackInfo) != FALSE;

        char rawDigest[DigestTextBytes] = {};
        char plainDigest[DigestTextBytes] = {};
        const bool rawOk = copied && ComputeFileDigest(copyPath.c_str(), rawDigest);
        const bool plainOk = copied && ComputeFileDigest(sourcePath.c_str(), plainDigest);

        const DriverVerdict verdict = JudgeDriver(copied, rawOk, rawDigest, plainOk, plainDigest);
        if (verdict == DriverVerdict::Infected) {
            infectedDriverName = entry.cFileName;
            result = true;
        }
        WriteDriverVerdict(console, AsU16(entry.cFileName), verdict);

        DeleteFileW(copyPath.c_str());
    } while (FindNextFileW(search.get(), &entry));

    return result;
}
