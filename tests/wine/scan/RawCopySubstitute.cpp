#include "tests/wine/scan/RawCopySubstitute.hpp"

#include "program/drivercheck/DriverScan.hpp"
#include "program/rawread/RawRead.hpp"
#include "tests/wine/DriverCheckFiles.hpp"

#include <shlwapi.h>

#include <cstdint>
#include <map>

namespace {

std::wstring Lower(std::wstring text)
{
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::map<std::wstring, SubstitutePlan>& Plans()
{
    static std::map<std::wstring, SubstitutePlan> plans;
    return plans;
}

std::function<void(const std::wstring&)>& Observer()
{
    static std::function<void(const std::wstring&)> observer;
    return observer;
}

// The file each planned name stood for when it was first copied.
std::map<std::wstring, uint64_t>& FirstFiles()
{
    static std::map<std::wstring, uint64_t> files;
    return files;
}

std::vector<SubstituteCall>& Calls()
{
    static std::vector<SubstituteCall> calls;
    return calls;
}

BOOL Ask(const RawCopyCallbackInfo* info, RawCopyStep step, BOOL status, ULONG_PTR argument, LONG extra)
{
    if (info == nullptr || info->callback == nullptr)
        return TRUE;
    return info->callback(info->context, step, status, argument, extra);
}

bool ReadOrdinary(const wchar_t* path, std::string& bytes)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char buffer[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof(buffer), &got, nullptr) != FALSE) && got != 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return ok;
}

} // namespace

void PlanRawCopy(const std::wstring& fileName, SubstitutePlan plan)
{
    Plans()[Lower(fileName)] = std::move(plan);
}

void ResetRawCopySubstitute()
{
    Plans().clear();
    Calls().clear();
    FirstFiles().clear();
    Observer() = nullptr;
}

const std::vector<SubstituteCall>& RawCopyCalls()
{
    return Calls();
}

void ObserveRawCopies(std::function<void(const std::wstring& source)> observer)
{
    Observer() = std::move(observer);
}

BOOL RawCopyFile(const wchar_t* source, const wchar_t* destination, const RawCopyCallbackInfo* callbackInfo)
{
    if (source == nullptr || destination == nullptr) {
        SetLastError(ERROR_BAD_PATHNAME);
        return FALSE;
    }
    if (Observer())
        Observer()(source);
    SubstituteCall call{source, destination};
    if (callbackInfo != nullptr) {
        call.callbackIsScans = callbackInfo->callback == OnRawCopyEvent;
        call.cancelEventUnsignalled = callbackInfo->cancelEvent != nullptr
            && callbackInfo->cancelEvent != INVALID_HANDLE_VALUE
            && WaitForSingleObject(callbackInfo->cancelEvent, 0) == WAIT_TIMEOUT;
        call.contextIsSource = callbackInfo->context != 0
            && lstrcmpW(reinterpret_cast<const wchar_t*>(callbackInfo->context), source) == 0;
    }
    Calls().push_back(call);

    SubstitutePlan plan;
    const std::wstring name = Lower(PathFindFileNameW(source));
    const uint64_t fileIndex = drivercheck_test::FileIndex(source);
    const auto found = Plans().find(name);
    if (found != Plans().end())
        plan = found->second;
    if (plan.copy == SubstituteCopy::Bytes || plan.copy == SubstituteCopy::BytesAlways) {
        // The planned bytes are the clusters of the file that stood under
        // the name when it was first copied: another file under the name
        // has its own content on the disk, unless the rootkit writes its
        // bytes back over it.
        const auto first = FirstFiles().emplace(name, fileIndex).first;
        if (first->second != fileIndex && plan.copy == SubstituteCopy::Bytes) {
            plan = SubstitutePlan{};
            plan.copy = SubstituteCopy::Ordinary;
        }
    } else if (found == Plans().end()) {
        // That file, renamed, still has the planned bytes on the disk.
        for (const auto& [plannedName, firstFile] : FirstFiles()) {
            if (firstFile == fileIndex && fileIndex != 0)
                plan = Plans()[plannedName];
        }
    }
    RawFileInfo file{};
    file.attributes = plan.attributes;
    if (!Ask(callbackInfo, StepSourceFile, TRUE, reinterpret_cast<ULONG_PTR>(&file), -1))
        return FALSE;
    RawVolumeInfo volume{};
    volume.fileSystemFlags = plan.fileSystemFlags;
    if (!Ask(callbackInfo, StepVolume, TRUE, reinterpret_cast<ULONG_PTR>(&volume), -1))
        return FALSE;
    if (plan.copy == SubstituteCopy::FailBeforeCreate) {
        SetLastError(ERROR_BAD_DEV_TYPE);
        return FALSE;
    }

    HANDLE target = CreateFileW(destination, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    const bool created = target != INVALID_HANDLE_VALUE;
    const BOOL answer = Ask(callbackInfo, StepDestination, created, reinterpret_cast<ULONG_PTR>(destination), -1);
    if (!created)
        return FALSE;
    BOOL result = FALSE;
    std::string bytes = plan.bytes;
    if (answer && plan.copy != SubstituteCopy::FailAfterCreate
        && (plan.copy == SubstituteCopy::Bytes || plan.copy == SubstituteCopy::BytesAlways
            || ReadOrdinary(source, bytes))
        && Ask(callbackInfo, StepProgress, TRUE, 0, 0)) {
        DWORD written = 0;
        result = bytes.empty()
            || (WriteFile(target, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)
                && written == bytes.size());
        if (result)
            Ask(callbackInfo, StepProgress, TRUE, 0, 100);
    }
    if (!result)
        SetLastError(ERROR_BAD_DEV_TYPE);
    CloseHandle(target);
    return result;
}
