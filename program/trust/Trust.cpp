#include "program/trust/Trust.hpp"

#include <aclapi.h>
#include <ntsecapi.h>
#include <sddl.h>

#include <vector>

namespace {

// The Windows Modules Installer service (NT SERVICE\TrustedInstaller),
// which owns the system's own files from Windows Vista on.
const wchar_t* const TrustedInstallerSid = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool IsTrustedInstaller(PSID sid)
{
    PSID known = nullptr;
    if (!ConvertStringSidToSidW(TrustedInstallerSid, &known))
        return false;
    const UniqueLocal kept(known);
    return EqualSid(sid, known) != FALSE;
}

// This process's user, when the process runs as an administrator.
bool IsThisAdministrator(PSID sid)
{
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken))
        return false;
    UniqueKernelHandle token(rawToken);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size) ||
        EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, sid) == FALSE)
        return false;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD administratorsSize = sizeof(administrators);
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &administratorsSize) &&
           CheckTokenMembership(nullptr, administrators, &member) && member;
}

// A buffer that the network management functions allocated, released
// with their NetApiBufferFree.
struct NetBuffer {
    using Free = DWORD(WINAPI*)(void*);
    LPBYTE bytes = nullptr;
    Free free = nullptr;
    NetBuffer() = default;
    NetBuffer(const NetBuffer&) = delete;
    NetBuffer& operator=(const NetBuffer&) = delete;
    ~NetBuffer()
    {
        if (bytes != nullptr && free != nullptr)
            free(bytes);
    }
};

// Whether the SID is a direct member of the local Administrators group, as
// the network management functions list it. netapi32 is loaded by its full
// path from the system folder, never found through the search path: a DLL
// of that name beside the program would otherwise be loaded instead.
bool IsLocalAdministratorsMember(PSID sid)
{
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    const UniqueLibrary netapi(LoadLibraryExW((std::wstring(system, length) + L"\\netapi32.dll").c_str(), nullptr, 0));
    if (!netapi)
        return false;
    using GetMembers = DWORD(WINAPI*)(LPCWSTR, LPCWSTR, DWORD, LPBYTE*, DWORD, LPDWORD, LPDWORD, PDWORD_PTR);
    const auto getMembers =
        reinterpret_cast<GetMembers>(reinterpret_cast<void*>(GetProcAddress(netapi.get(), "NetLocalGroupGetMembers")));
    const auto freeBuffer =
        reinterpret_cast<NetBuffer::Free>(reinterpret_cast<void*>(GetProcAddress(netapi.get(), "NetApiBufferFree")));
    if (getMembers == nullptr || freeBuffer == nullptr)
        return false;

    // The group's name differs with the language of Windows.
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD administratorsSize = sizeof(administrators);
    wchar_t name[256] = {}, domain[256] = {};
    DWORD nameLength = 256, domainLength = 256;
    SID_NAME_USE use{};
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &administratorsSize) ||
        !LookupAccountSidW(nullptr, administrators, name, &nameLength, domain, &domainLength, &use))
        return false;

    const DWORD MaxPreferredLength = 0xFFFFFFFF;
    DWORD_PTR resume = 0;
    for (;;) {
        NetBuffer members;
        members.free = freeBuffer;
        DWORD read = 0, total = 0;
        // Level 0: each member as LOCALGROUP_MEMBERS_INFO_0, a SID.
        const DWORD status = getMembers(nullptr, name, 0, &members.bytes, MaxPreferredLength, &read, &total, &resume);
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA)
            return false;
        const auto* sids = reinterpret_cast<PSID const*>(members.bytes);
        for (DWORD i = 0; members.bytes != nullptr && i < read; ++i) {
            if (IsValidSid(sids[i]) && EqualSid(sids[i], sid))
                return true;
        }
        if (status != ERROR_MORE_DATA || read == 0)
            return false;
    }
}

std::optional<std::vector<AccessEntry>> EntriesOf(PACL acl)
{
    std::vector<AccessEntry> entries;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(acl, i, &raw))
            return std::vector<AccessEntry>{AccessEntry{0xFF, 0, 0, Account::OtherAccount}}; // not understood
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        AccessEntry entry{header->AceType, header->AceFlags, 0, Account::OtherAccount};
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            // The allowed and denied entries share one layout.
            const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
            entry.mask = ace->Mask;
            entry.trustee = ClassifyAccount(const_cast<DWORD*>(&ace->SidStart));
        }
        entries.push_back(entry);
    }
    return entries;
}

} // namespace

UniqueLocal PrivateDescriptor(PrivateObject kind)
{
    // O:BA: owned by the administrators. D: the DACL; P: protected; each
    // entry allows SYSTEM (SY) or the administrators (BA) full control (FA
    // for files, KA for keys), inherited by the folders and files (OICI) or
    // subkeys (CI) made inside.
    const wchar_t* const sddl = kind == PrivateObject::Files ? L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
                                                             : L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";
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

Account ClassifyAccount(PSID sid)
{
    if (sid == nullptr || !IsValidSid(sid))
        return Account::None;
    if (IsWellKnownSid(sid, WinLocalSystemSid))
        return Account::System;
    if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
        return Account::Administrators;
    if (IsWellKnownSid(sid, WinWorldSid))
        return Account::Everyone;
    if (IsTrustedInstaller(sid))
        return Account::TrustedInstaller;
    if (IsThisAdministrator(sid) || IsLocalAdministratorsMember(sid))
        return Account::AdministratorAccount;
    return Account::OtherAccount;
}

bool IsTrustedSid(PSID sid)
{
    return IsTrustedAccount(ClassifyAccount(sid));
}

bool VolumeKeepsAccessLists(HANDLE object)
{
    struct IoStatus {
        LONG status;
        ULONG_PTR information;
    };
    struct AttributeInformation {
        ULONG attributes;
        LONG maximumComponentNameLength;
        ULONG nameLength;
        WCHAR name[32];
    };
    using QueryVolume = LONG(WINAPI*)(HANDLE, IoStatus*, void*, ULONG, ULONG);
    const ULONG FileFsAttributeInformation = 5;
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = ntdll == nullptr ? nullptr
        : reinterpret_cast<QueryVolume>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryVolumeInformationFile")));
    if (query == nullptr)
        return true;
    IoStatus io{};
    AttributeInformation information{};
    // STATUS_BUFFER_OVERFLOW (a long file system name) still fills the attributes.
    const LONG BufferOverflow = static_cast<LONG>(0x80000005);
    const LONG status = query(object, &io, &information, sizeof(information), FileFsAttributeInformation);
    if (status < 0 && status != BufferOverflow)
        return true;
    return (information.attributes & FILE_PERSISTENT_ACLS) != 0;
}

Trust JudgeDescriptor(PSECURITY_DESCRIPTOR descriptor, ObjectKind kind, DWORD attributes, bool keepsAccessLists)
{
    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE;
    BOOL present = FALSE, daclDefaulted = FALSE;
    PACL acl = nullptr;
    if (descriptor == nullptr || !GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &acl, &daclDefaulted))
        return Trust::Unreadable;
    ObjectFacts facts;
    facts.kind = kind;
    facts.keepsAccessLists = keepsAccessLists;
    facts.attributes = attributes;
    facts.owner = ClassifyAccount(owner);
    // No DACL, or a null one, lets everyone in.
    if (present && acl != nullptr)
        facts.dacl = EntriesOf(acl);
    return JudgeObject(facts);
}

Trust OpenTrusted(const std::wstring& path, bool wantFolder, DWORD access, UniqueFile& held)
{
    held.reset();
    const DWORD share = wantFolder ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    UniqueFile object(CreateFileW(path.c_str(), access | READ_CONTROL | FILE_READ_ATTRIBUTES, share, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!object) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Trust::Missing : Trust::Unreadable;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(object.get(), &information))
        return Trust::Unreadable;
    PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
    if (GetSecurityInfo(object.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        nullptr, nullptr, nullptr, nullptr, &rawDescriptor) != ERROR_SUCCESS)
        return Trust::Unreadable;
    const UniqueLocal descriptor(rawDescriptor);
    const Trust trust = JudgeDescriptor(rawDescriptor, wantFolder ? ObjectKind::Folder : ObjectKind::File,
                                        information.dwFileAttributes, VolumeKeepsAccessLists(object.get()));
    if (trust == Trust::Trusted)
        held = std::move(object);
    return trust;
}

Trust JudgeKey(HKEY key)
{
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD size = 0;
    RegGetKeySecurity(key, wanted, nullptr, &size);
    if (size == 0)
        return Trust::Unreadable;
    std::vector<BYTE> descriptor(size);
    if (RegGetKeySecurity(key, wanted, descriptor.data(), &size) != ERROR_SUCCESS)
        return Trust::Unreadable;
    return JudgeDescriptor(descriptor.data(), ObjectKind::Key, 0, true);
}

std::optional<std::wstring> ComputerSid()
{
    LSA_OBJECT_ATTRIBUTES attributes{};
    LSA_HANDLE policy = nullptr;
    if (LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy) != 0)
        return std::nullopt;
    void* raw = nullptr;
    const NTSTATUS status = LsaQueryInformationPolicy(policy, PolicyAccountDomainInformation, &raw);
    LsaClose(policy);
    if (status != 0 || raw == nullptr)
        return std::nullopt;
    const auto* domain = static_cast<const POLICY_ACCOUNT_DOMAIN_INFO*>(raw);
    std::optional<std::wstring> text;
    LPWSTR sid = nullptr;
    if (domain->DomainSid != nullptr && ConvertSidToStringSidW(domain->DomainSid, &sid)) {
        text = sid;
        LocalFree(sid);
    }
    LsaFreeMemory(raw);
    return text;
}
