// Folders and registry keys that only SYSTEM and the administrators may
// touch, made new with their access list in the same call, and the test of
// whether an existing object's owner can be trusted.
#pragma once

#include "program/run/Handles.hpp"

#include <windows.h>

#include <vector>

// A security descriptor whose DACL grants full control to SYSTEM and
// BUILTIN\Administrators and nothing to anyone else, protected from the
// parent's inheritable entries; the entries are inherited by what is made
// inside. Empty (valid() false) when it could not be built.
class PrivateSecurity {
public:
    // `fileAccess`: FILE_ALL_ACCESS for folders and files, KEY_ALL_ACCESS for keys.
    explicit PrivateSecurity(DWORD fullAccess);
    ~PrivateSecurity();
    PrivateSecurity(const PrivateSecurity&) = delete;
    PrivateSecurity& operator=(const PrivateSecurity&) = delete;

    bool valid() const { return acl_ != nullptr; }
    SECURITY_ATTRIBUTES* attributes() { return valid() ? &attributes_ : nullptr; }

private:
    PACL acl_ = nullptr;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

// Makes a new folder with a private DACL; false when the folder exists
// already (whoever made it) or cannot be made, with GetLastError's reason.
bool MakePrivateFolder(const wchar_t* path);

// True when the owner SID is LocalSystem, BUILTIN\Administrators or this
// process's user.
bool IsTrustedOwner(PSID owner);
