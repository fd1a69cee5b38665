#include "program/run/PrivateFolder.hpp"

#include <aclapi.h>
#include <sddl.h>

UniqueLocal PrivateDescriptor(PrivateObject kind)
{
    // D: the DACL; P: protected; each entry allows SYSTEM (SY) or the
    // administrators (BA) full control (FA for files, KA for keys), inherited
    // by the folders and files (OICI) or subkeys (CI) made inside.
    const wchar_t* const sddl = kind == PrivateObject::Files ? L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
                                                             : L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return UniqueLocal{};
    return UniqueLocal(descriptor);
}

PrivateSecurity::PrivateSecurity(PrivateObject kind) : descriptor_(PrivateDescriptor(kind))
{
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = descriptor_.get();
    attributes_.bInheritHandle = FALSE;
}

bool MakePrivateFolder(const wchar_t* path)
{
    PrivateSecurity security(PrivateObject::Files);
    if (!security.valid())
        return false;
    // CreateDirectoryW fails on anything that stands under the name, a
    // folder, a file or a link: the folder is always a new one.
    return CreateDirectoryW(path, security.attributes()) != FALSE;
}

bool IsTrustedAccount(PSID sid)
{
    if (sid == nullptr || !IsValidSid(sid))
        return false;
    if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
        return true;
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken))
        return false;
    UniqueKernelHandle token(rawToken);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size))
        return false;
    return EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid) != FALSE;
}
