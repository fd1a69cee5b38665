// Access lists the repair must change to act on an object the rootkit
// locked. Nobody but the administrators (whose group SYSTEM's token holds)
// is ever granted anything: an entry for anyone else would let that
// account open the object, and a handle opened in that moment outlives
// every access list written back later.

#include "program/run/RemovalContext.hpp"

#include <aclapi.h>

#include <vector>

namespace {

// The entry granting the administrators every access right; false when the
// group's SID cannot be made.
bool AdministratorsEntry(BYTE (&sid)[SECURITY_MAX_SID_SIZE], EXPLICIT_ACCESS_W& entry)
{
    DWORD size = sizeof(sid);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size))
        return false;
    entry = EXPLICIT_ACCESS_W{};
    entry.grfAccessPermissions = 0xFFFFFFFF; // every bit of the mask, not GENERIC_ALL alone
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.pMultipleTrustee = nullptr;
    entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_ALIAS;
    entry.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sid);
    return true;
}

// Writes a DACL made of the entry and, when given, the entries of `existing`.
bool ApplyDacl(const wchar_t* path, EXPLICIT_ACCESS_W& entry, PACL existing)
{
    PACL acl = nullptr;
    if (SetEntriesInAclW(1, &entry, existing, &acl) != ERROR_SUCCESS || acl == nullptr)
        return false;
    SECURITY_DESCRIPTOR descriptor{};
    const bool applied = InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)
        && SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)
        && SetFileSecurityW(path, DACL_SECURITY_INFORMATION, &descriptor);
    LocalFree(acl);
    return applied;
}

} // namespace

void RemovalContext::ResetFileAccess(const wchar_t* path)
{
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    EXPLICIT_ACCESS_W entry{};
    // Without the entry nothing is written: never a null DACL, which
    // would grant everyone everything.
    if (AdministratorsEntry(administrators, entry))
        ApplyDacl(path, entry, nullptr);
}

bool RemovalContext::GrantAdministratorsAccess(const wchar_t* path)
{
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    EXPLICIT_ACCESS_W entry{};
    if (!AdministratorsEntry(administrators, entry))
        return false;
    DWORD needed = 0;
    GetFileSecurityW(path, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0)
        return false;
    std::vector<BYTE> descriptor(needed);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL existing = nullptr;
    if (!GetFileSecurityW(path, DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed)
        || !GetSecurityDescriptorDacl(descriptor.data(), &present, &existing, &defaulted))
        return false;
    // A missing or null DACL already grants everything; adding to it would
    // take access away from everyone else.
    if (!present || existing == nullptr)
        return true;
    return ApplyDacl(path, entry, existing);
}
