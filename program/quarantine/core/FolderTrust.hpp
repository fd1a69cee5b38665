// Whether a folder (or file) that the quarantine did not just make may be
// used: what it is, who owns it, and whether anyone but SYSTEM, the
// Administrators and the running account may change it. Another account
// that could write there could swap a stored copy or the manifest, and a
// restore would then write that account's bytes into the system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One entry of an access list, as far as the decision needs it.
struct AccessEntry {
    uint8_t type = 0;        // ACCESS_ALLOWED_ACE_TYPE 0, ACCESS_DENIED_ACE_TYPE 1, ...
    uint8_t flags = 0;       // INHERIT_ONLY_ACE 0x08 and the others
    uint32_t mask = 0;
    bool trustedSid = false; // SYSTEM, BUILTIN\Administrators or the running account
};

enum class Trust {
    Trusted,
    Missing,          // nothing stands at the path
    NotAFolder,       // a file where a folder is wanted
    NotAFile,         // a folder where a file is wanted
    ReparsePoint,     // a link or junction: its target is someone else's choice
    ForeignOwner,     // owned by neither SYSTEM, the Administrators nor the running account
    OthersMayChange,  // its access list lets another account write, delete or re-permit it
    Unreadable,       // its owner or access list could not be read
};

// The rights that change an object or what it holds: write, append, add a
// file or folder, delete a child, write attributes or extended attributes,
// delete, change the access list or the owner, and the generic write and all.
constexpr uint32_t ChangingRights = 0x2 | 0x4 | 0x10 | 0x40 | 0x100 | 0x10000 | 0x40000 | 0x80000 | 0x40000000 |
                                    0x10000000;

// Whether an account other than the trusted ones may change the object: an
// entry that allows a changing right to another SID and applies to the
// object itself, or an allowing entry of a kind not understood here. A null
// access list (nothing) lets everyone do everything.
bool OthersMayChange(const std::optional<std::vector<AccessEntry>>& dacl);

// The judgement of an existing object from its attributes (FILE_ATTRIBUTE_*),
// its owner and its access list.
Trust JudgeExisting(bool wantFolder, uint32_t attributes, bool ownerTrusted,
                    const std::optional<std::vector<AccessEntry>>& dacl);

// Why an object is not used, after its path: "C:\WINDOWS\KorvaleQuarantine
// is owned by another account", "... is not a folder", ...
std::u16string TrustRefusal(Trust trust, std::u16string_view path);
