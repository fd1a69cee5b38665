// The trust rules of every object the program keeps its own things in (the
// work folder, the program's registry key, the quarantine, the log, a
// folder to restore from), against Windows: the private descriptors such
// objects are made with, who counts as a trusted owner, what the object's
// volume can guarantee, and the trusted open of an existing folder or file.
#pragma once

#include "program/common/Handles.hpp"
#include "program/trust/core/TrustRules.hpp"

#include <windows.h>

#include <optional>
#include <string>

// What a private descriptor is made for: the rights its entries grant.
enum class PrivateObject {
    Files, // folders and files: FILE_ALL_ACCESS
    Keys,  // registry keys: KEY_ALL_ACCESS
};

// A self-relative security descriptor owned by BUILTIN\Administrators
// (SYSTEM's token and every administrator's hold that group with the right
// to own, so that each of them can use what another one made), whose DACL
// grants full control to SYSTEM and the Administrators and nothing to
// anyone else, protected from the parent's inheritable entries; the
// entries are inherited by what is made inside. Null when it cannot be made.
UniqueLocal PrivateDescriptor(PrivateObject kind);

// The same as SECURITY_ATTRIBUTES for a create call; attributes() is null
// when the descriptor could not be made.
class PrivateSecurity {
public:
    explicit PrivateSecurity(PrivateObject kind);
    PrivateSecurity(const PrivateSecurity&) = delete;
    PrivateSecurity& operator=(const PrivateSecurity&) = delete;

    bool valid() const { return descriptor_.valid(); }
    SECURITY_ATTRIBUTES* attributes() { return valid() ? &attributes_ : nullptr; }

private:
    UniqueLocal descriptor_;
    SECURITY_ATTRIBUTES attributes_{};
};

// Makes a new folder with the private descriptor; false when the folder
// exists already (whoever made it) or cannot be made, with GetLastError's
// reason.
bool MakePrivateFolder(const wchar_t* path);

// Who the SID is: SYSTEM, the Administrators group, TrustedInstaller,
// Everyone, this process's user when it is an administrator, a member of
// the local Administrators group, or another account.
Account ClassifyAccount(PSID sid);

// Whether the SID is one of the trusted accounts (IsTrustedAccount).
bool IsTrustedSid(PSID sid);

// Whether the volume of the open file or folder keeps owners and access
// lists (FILE_PERSISTENT_ACLS), asked through the handle. A volume that
// cannot be asked is taken to keep them: its objects are then judged.
bool VolumeKeepsAccessLists(HANDLE object);

// The judgement of a descriptor's owner and DACL for an object of the kind
// with the given attributes, on a volume that keeps access lists or not.
Trust JudgeDescriptor(PSECURITY_DESCRIPTOR descriptor, ObjectKind kind, DWORD attributes, bool keepsAccessLists);

// Opens the existing folder or file at `path` itself (never a link's
// target) with `access`, shared for reading (a folder also for writing)
// but not for deleting, so that it cannot be renamed or replaced while the
// handle lives, and judges it. The handle is kept in `held` only when it
// is Trusted.
Trust OpenTrusted(const std::wstring& path, bool wantFolder, DWORD access, UniqueFile& held);

// The judgement of an open registry key (opened with READ_CONTROL).
Trust JudgeKey(HKEY key);

// This computer's own security identifier (its account domain's SID,
// "S-1-5-21-..."), which no other computer has; nothing when it cannot be read.
std::optional<std::wstring> ComputerSid();
