// Replaces the DACL of a file or folder with a single entry that grants
// Everyone every access right. Owner, group and audit list stay as they are.

#include "program/run/RemovalContext.hpp"

#include <aclapi.h>

void RemovalContext::ResetFileAccess(const wchar_t* path)
{
    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);

    EXPLICIT_ACCESS_W entry{};
    entry.grfAccessPermissions = 0xFFFFFFFF; // every bit of the mask, not GENERIC_ALL alone
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.pMultipleTrustee = nullptr;
    entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(everyone);

    // When the SID or the list cannot be made, the descriptor still carries a
    // present null DACL, which grants the same: every access to everyone.
    PACL acl = nullptr;
    if (everyone != nullptr)
        SetEntriesInAclW(1, &entry, nullptr, &acl);

    PSECURITY_DESCRIPTOR descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (descriptor != nullptr) {
        InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE);
        SetFileSecurityW(path, DACL_SECURITY_INFORMATION, descriptor);
    }

    if (everyone != nullptr)
        FreeSid(everyone);
    if (acl != nullptr)
        LocalFree(acl);
    if (descriptor != nullptr)
        LocalFree(descriptor);
}
