// Folders, files and registry keys that only SYSTEM and the administrators
// may touch, made new with their access list in the same call, and the test
// of whether an account that owns or may change an existing object can be
// trusted.
#pragma once

#include "program/run/Handles.hpp"

#include <windows.h>

// What a private descriptor is made for: the rights its entries grant.
enum class PrivateObject {
    Files, // folders and files: FILE_ALL_ACCESS
    Keys,  // registry keys: KEY_ALL_ACCESS
};

// A self-relative security descriptor whose DACL grants full control to
// SYSTEM and BUILTIN\Administrators and nothing to anyone else, protected
// from the parent's inheritable entries; the entries are inherited by what
// is made inside. No owner: the maker's default applies. Null when it
// cannot be made.
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

// Makes a new folder with a private DACL; false when the folder exists
// already (whoever made it) or cannot be made, with GetLastError's reason.
bool MakePrivateFolder(const wchar_t* path);

// True when the SID (an owner, or an access entry's trustee) is LocalSystem,
// BUILTIN\Administrators or this process's user.
bool IsTrustedAccount(PSID owner);
