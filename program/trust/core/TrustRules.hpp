// Whether an object that the program keeps its own things in (its work
// folder, its registry key, the quarantine, a log) may be used: what it is,
// who owns it, and whether anyone but SYSTEM and the administrators may
// change it. Another account that could write there could swap a driver
// image, a journal, a stored copy or a manifest.
//
// Windows guarantees no more than the volume keeps: a volume without
// persistent access lists (FAT, FAT32, exFAT) stores no owner and no DACL,
// and reports an owner of Everyone and a DACL that lets everyone in for
// every object on it. There is nothing to test there, and nobody can be kept
// out; only what an object is can be judged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Who an owner or an access entry's trustee is, as far as trust goes.
enum class Account {
    System,               // LocalSystem
    Administrators,       // the BUILTIN\Administrators group
    TrustedInstaller,     // the Windows Modules Installer service
    AdministratorAccount, // an account that is a member of the local Administrators group
    OtherAccount,         // any other account or group
    Everyone,             // the World SID
    None,                 // no owner recorded
};

// SYSTEM, the Administrators group, TrustedInstaller and every member of
// the Administrators group: each can take any object on the machine
// anyway, so an object they own or may change is as safe as the machine.
bool IsTrustedAccount(Account account);

// One entry of an access list, as far as the decision needs it.
struct AccessEntry {
    uint8_t type = 0;  // ACCESS_ALLOWED_ACE_TYPE 0, ACCESS_DENIED_ACE_TYPE 1, ...
    uint8_t flags = 0; // INHERIT_ONLY_ACE 0x08 and the others
    uint32_t mask = 0;
    Account trustee = Account::OtherAccount;
};

enum class ObjectKind {
    Folder,
    File,
    Key, // a registry key
};

enum class Trust {
    Trusted,
    Missing,          // nothing stands at the path
    NotAFolder,       // a file where a folder is wanted
    NotAFile,         // a folder where a file is wanted
    ReparsePoint,     // a link or junction: its target is someone else's choice
    ForeignOwner,     // owned by an account that is not trusted
    OthersMayChange,  // its access list lets another account write, delete or re-permit it
    Unreadable,       // its owner or access list could not be read
};

// The rights that change a folder or file or what it holds: write, append,
// add a file or folder, delete a child, write attributes or extended
// attributes, delete, change the access list or the owner, and the generic
// write and all.
constexpr uint32_t FileChangingRights = 0x2 | 0x4 | 0x10 | 0x40 | 0x100 | 0x10000 | 0x40000 | 0x80000 | 0x40000000 |
                                        0x10000000;
// The same for a registry key: set a value, create a subkey or a link,
// delete, change the access list or the owner, generic write and all.
constexpr uint32_t KeyChangingRights = 0x2 | 0x4 | 0x20 | 0x10000 | 0x40000 | 0x80000 | 0x40000000 | 0x10000000;

// Whether an account that is not trusted may change the object: an entry
// that allows one of the kind's changing rights to such an account and
// applies to the object itself, or an allowing entry of a kind not
// understood here. A null access list (nothing) lets everyone do
// everything.
bool OthersMayChange(ObjectKind kind, const std::optional<std::vector<AccessEntry>>& dacl);

// What is known of an existing object.
struct ObjectFacts {
    ObjectKind kind = ObjectKind::Folder;
    // Whether the object's volume keeps owners and access lists
    // (FILE_PERSISTENT_ACLS); always true for a registry key.
    bool keepsAccessLists = true;
    uint32_t attributes = 0; // FILE_ATTRIBUTE_*; 0 for a key
    Account owner = Account::None;
    std::optional<std::vector<AccessEntry>> dacl;
};

// The judgement: a link or the wrong kind of object is never used; on a
// volume that keeps access lists, the owner must be trusted and the DACL
// must let nobody else change the object.
Trust JudgeObject(const ObjectFacts& facts);

// Why an object is not used, after its path: "C:\WINDOWS\KorvaleQuarantine
// is owned by another account", "... is not a folder", ...
std::u16string TrustRefusal(Trust trust, std::u16string_view path);
