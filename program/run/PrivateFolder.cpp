#include "program/run/PrivateFolder.hpp"

#include <aclapi.h>

PrivateSecurity::PrivateSecurity(DWORD fullAccess)
{
    BYTE system[SECURITY_MAX_SID_SIZE];
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof(system);
    DWORD administratorsSize = sizeof(administrators);
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize)
        || !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &administratorsSize))
        return;

    EXPLICIT_ACCESS_W entries[2] = {};
    PSID sids[2] = {system, administrators};
    for (int i = 0; i < 2; ++i) {
        entries[i].grfAccessPermissions = fullAccess;
        entries[i].grfAccessMode = SET_ACCESS;
        entries[i].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
        entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[i].Trustee.TrusteeType = i == 0 ? TRUSTEE_IS_USER : TRUSTEE_IS_ALIAS;
        entries[i].Trustee.ptstrName = static_cast<LPWSTR>(sids[i]);
    }
    PACL acl = nullptr;
    if (SetEntriesInAclW(2, entries, nullptr, &acl) != ERROR_SUCCESS)
        return;
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION)
        || !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE)
        || !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        LocalFree(acl);
        return;
    }
    acl_ = acl;
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
}

PrivateSecurity::~PrivateSecurity()
{
    if (acl_ != nullptr)
        LocalFree(acl_);
}

bool MakePrivateFolder(const wchar_t* path)
{
    PrivateSecurity security(FILE_ALL_ACCESS);
    if (!security.valid())
        return false;
    // CreateDirectoryW fails on anything that stands under the name, a
    // folder, a file or a link: the folder is always a new one.
    return CreateDirectoryW(path, security.attributes()) != FALSE;
}

bool IsTrustedOwner(PSID owner)
{
    if (owner == nullptr || !IsValidSid(owner))
        return false;
    if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid))
        return true;
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken))
        return false;
    UniqueKernelHandle token(rawToken);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size))
        return false;
    return EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, owner) != FALSE;
}
