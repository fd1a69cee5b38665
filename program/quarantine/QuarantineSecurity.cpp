// The quarantine folders' access list and the judgement of a folder or
// file that the quarantine did not just make.

#include "program/quarantine/QuarantineWin32.hpp"
#include "program/run/PrivateFolder.hpp"

#include <aclapi.h>
#include <sddl.h>

#include <optional>
#include <vector>

namespace quarantine {

namespace {

std::optional<std::vector<AccessEntry>> EntriesOf(PACL acl)
{
    std::vector<AccessEntry> entries;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(acl, i, &raw))
            return std::vector<AccessEntry>{AccessEntry{0xFF, 0, 0, false}}; // unreadable: not understood
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        AccessEntry entry{header->AceType, header->AceFlags, 0, false};
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            // The allowed and denied entries share one layout.
            const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
            entry.mask = ace->Mask;
            entry.trustedSid = IsTrustedAccount(const_cast<DWORD*>(&ace->SidStart));
        }
        entries.push_back(entry);
    }
    return entries;
}

} // namespace

Trust JudgeDescriptor(PSECURITY_DESCRIPTOR descriptor, bool wantFolder, DWORD attributes)
{
    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE;
    BOOL present = FALSE, daclDefaulted = FALSE;
    PACL acl = nullptr;
    if (descriptor == nullptr || !GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &acl, &daclDefaulted))
        return Trust::Unreadable;
    // No DACL, or a null one, lets everyone in.
    const std::optional<std::vector<AccessEntry>> entries = present && acl != nullptr ? EntriesOf(acl) : std::nullopt;
    return JudgeExisting(wantFolder, attributes, IsTrustedAccount(owner), entries);
}

Trust OpenTrusted(const std::wstring& path, bool wantFolder, DWORD access, UniqueFile& held)
{
    held.reset();
    const DWORD share = wantFolder ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    UniqueFile object(CreateFileW(path.c_str(), access | READ_CONTROL | FILE_READ_ATTRIBUTES, share, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!object)
        return NothingAt(GetLastError()) ? Trust::Missing : Trust::Unreadable;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(object.get(), &information))
        return Trust::Unreadable;
    PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
    if (GetSecurityInfo(object.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        nullptr, nullptr, nullptr, nullptr, &rawDescriptor) != ERROR_SUCCESS)
        return Trust::Unreadable;
    const UniqueLocal descriptor(rawDescriptor);
    const Trust trust = JudgeDescriptor(rawDescriptor, wantFolder, information.dwFileAttributes);
    if (trust == Trust::Trusted)
        held = std::move(object);
    return trust;
}

UniqueFile OpenForReading(const std::wstring& path)
{
    for (const DWORD share : {DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE},
                              DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}}) {
        UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (file || GetLastError() != ERROR_SHARING_VIOLATION)
            return file;
    }
    return UniqueFile{};
}

} // namespace quarantine
