#include "program/run/LogFile.hpp"

#include "program/run/Wide.hpp"
#include "program/trust/Trust.hpp"

#include <windows.h>
#include <aclapi.h>

#include <vector>

namespace {

// This computer's account in its domain ("NAME$"): a file server records it
// as the owner of the files that this machine's SYSTEM creates there.
bool IsThisComputersAccount(PSID owner)
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 2] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &length))
        return false;
    name[length] = L'$';
    DWORD sidSize = 0;
    DWORD domainSize = 0;
    SID_NAME_USE use;
    LookupAccountNameW(nullptr, name, nullptr, &sidSize, nullptr, &domainSize, &use);
    if (sidSize == 0 || domainSize == 0)
        return false;
    std::vector<BYTE> sid(sidSize);
    std::vector<wchar_t> domain(domainSize);
    if (!LookupAccountNameW(nullptr, name, sid.data(), &sidSize, domain.data(), &domainSize, &use))
        return false;
    return EqualSid(owner, sid.data()) != FALSE;
}

bool IsTrustedLogOwner(PSID owner)
{
    return IsTrustedSid(owner) || IsThisComputersAccount(owner);
}

// The owner recorded for the open file itself, read through the handle so
// that no other file can be put in its place in between.
bool ReadOwnerIsTrusted(HANDLE file, bool& trusted)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor)
        != ERROR_SUCCESS)
        return false;
    const UniqueLocal kept(descriptor);
    if (owner == nullptr || !IsValidSid(owner))
        return false;
    trusted = IsTrustedLogOwner(owner);
    return true;
}

LogFileFacts ExamineLogFile(HANDLE file)
{
    LogFileFacts facts;
    facts.diskFile = GetFileType(file) == FILE_TYPE_DISK;
    if (!facts.diskFile)
        return facts;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information))
        return facts;
    facts.reparsePoint = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    facts.links = information.nNumberOfLinks;
    if (!VolumeKeepsAccessLists(file)) {
        // Nobody owns a file there, and anyone may change it.
        facts.ownerTrusted = true;
        facts.examined = true;
        return facts;
    }
    facts.examined = ReadOwnerIsTrusted(file, facts.ownerTrusted);
    return facts;
}

} // namespace

OpenedLog OpenRunLog(const std::u16string& path)
{
    // Appending, beside other runs appending to the same log; reading too,
    // where the account may, for the lock that orders the runs' appends. The
    // link itself, should the name be one, so that it can be refused.
    const DWORD access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
    OpenedLog opened;
    for (const DWORD reading : {DWORD{FILE_READ_DATA}, DWORD{0}}) {
        opened.file.reset(CreateFileW(AsWide(path.c_str()), access | reading, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
        opened.error = opened.file ? 0 : GetLastError();
        if (opened.error != ERROR_ACCESS_DENIED)
            break;
    }
    if (!opened.file)
        return opened;
    opened.refusal = JudgeLogFile(ExamineLogFile(opened.file.get()));
    if (opened.refusal != LogRefusal::None)
        opened.file.reset();
    return opened;
}

namespace {

// The lock each run holds on one byte far past the end of any log while it
// appends, so that one run's look at the log's size and its write are not
// split by another run's. Not every implementation finds the end of the
// file and writes there in one step (Wine does not: two appends at once
// overwrote each other). A handle without read access cannot lock; a lock
// held for long by something else is waited out for 5 s only: the write
// then goes without it.
class AppendLock {
public:
    explicit AppendLock(HANDLE file) : file_(file)
    {
        range_.Offset = 0xFFFFFFFE;
        range_.OffsetHigh = 0x7FFFFFFF;
        for (int attempt = 0; attempt < 250; ++attempt) {
            locked_ = LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range_) != FALSE;
            if (locked_ || GetLastError() != ERROR_LOCK_VIOLATION)
                return;
            Sleep(20);
        }
    }
    ~AppendLock()
    {
        if (locked_)
            UnlockFileEx(file_, 0, 1, 0, &range_);
    }
    AppendLock(const AppendLock&) = delete;
    AppendLock& operator=(const AppendLock&) = delete;

private:
    HANDLE file_;
    OVERLAPPED range_{};
    bool locked_ = false;
};

} // namespace

bool WriteRunLogRecord(HANDLE file, const RunLog& log)
{
    const AppendLock lock(file);
    DWORD sizeHigh = 0;
    SetLastError(NO_ERROR);
    const DWORD sizeLow = GetFileSize(file, &sizeHigh);
    if (sizeLow == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return false;
    const std::string bytes = LogRecordBytes(log, sizeLow == 0 && sizeHigh == 0);
    // Both offsets 0xFFFFFFFF: at the end of the file as it is when the
    // write happens, whatever other runs appended in the meantime.
    OVERLAPPED atEnd{};
    atEnd.Offset = 0xFFFFFFFF;
    atEnd.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &atEnd))
        return false;
    if (written != bytes.size()) {
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return true;
}
