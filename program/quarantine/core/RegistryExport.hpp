// A lossless text export of a registry key tree, which the quarantine
// stores (inert) and the restore writes back: every value of every key,
// any name (the default value "" and names with NULs included), any type
// number, any bytes, and every subkey, a key before its subkeys.
//
//   KorvaleNoQuorVallin registry export, format 1
//   Root: HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\xyz
//   Key:
//   Value: ImagePath
//   Type: 2
//   Data: 5c003f00...
//   Key: Enum
//   ...
//   End of export
//
// "Key:" gives the path below the root ("" for the root itself, subkey
// names joined by '\'); the values that follow it are its own. Names are
// escaped text (QuarantineText.hpp), data lower-case hex.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct RegistryValue {
    std::u16string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;

    bool operator==(const RegistryValue&) const = default;
};

struct RegistryKeyRecord {
    std::u16string path; // below the root; "" for the root
    std::vector<RegistryValue> values;

    bool operator==(const RegistryKeyRecord&) const = default;
};

struct RegistryExport {
    std::u16string root; // "HKEY_LOCAL_MACHINE\..."
    std::vector<RegistryKeyRecord> keys;

    bool operator==(const RegistryExport&) const = default;
};

std::string WriteRegistryExport(const RegistryExport& tree);

// Nothing for an export that is malformed or cut off: the root key must
// come first, each other key after its parent and only once, a key's value
// names must differ, and the text must end with its closing line.
std::optional<RegistryExport> ParseRegistryExport(std::string_view text);

// Whether every key of `stored` is in `current` with exactly its values, in
// any order. Subkeys that only `current` has do not count: they were not
// part of what was stored.
bool StoredTreeInPlace(const RegistryExport& stored, const RegistryExport& current);

// Whether a name of the tree (a key's or a value's) holds a NUL, which the
// registry's Win32 calls cannot write back.
bool HasNameWithNul(const RegistryExport& tree);
