// The manifest of one run's quarantine: plain text (UTF-8, CRLF) that a
// person can read and send along with a sample, and that the restore reads
// back. A header names the run; then one block per stored object, written
// as the object is stored:
//
//   KorvaleNoQuorVallin quarantine manifest, format 2
//   Run: 2026-12-10T11:40:05Z
//   Computer: PC-0417
//   Computer SID: S-1-5-21-1004336348-1177238915-682003330
//   Tool: v1.0
//   Encoding: every stored byte is XORed with 0xA5
//
//   Object: 1
//   Kind: file
//   Original: C:\WINDOWS\system32\drivers\atapi.sys
//   Stored: 001-atapi.sys.quarantine
//   Size: 95360
//   SHA-256: <64 lower-case hex digits of the original bytes>
//   MD5: <32 lower-case hex digits of the original bytes>
//   Action: <what the tool did with it>
//   Reason: <why>
//   Memory: <the memory inspection's verdict when the object was stored>
//   End of object: 1
//
// The computer's SID says which computer made the quarantine: it is that
// computer's own, and the restore puts back only what this computer kept.
// Format 1, written before, has no SID and gives the memory verdict once in
// its header ("Memory:" after "Tool:"); it is read as well, with each
// object taking the header's verdict and the SID empty.
// Text values are escaped as QuarantineText.hpp describes. The parser takes
// the file as hostile: every field in its place, each block closed, nothing
// after the last one, stored names plain file names in the folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class QuarantineKind {
    File,
    DataStream,
    RegistryKey,
};

struct ManifestHeader {
    std::u16string runTime;      // ISO 8601 UTC, "2026-12-10T11:40:05Z"
    std::u16string computerName;
    std::u16string computerSid;  // "S-1-5-21-..."; empty in format 1
    std::u16string toolVersion;
};

struct ManifestEntry {
    QuarantineKind kind = QuarantineKind::File;
    // A file or stream's full path; a key as "HKEY_LOCAL_MACHINE\<subkey>".
    std::u16string originalPath;
    std::u16string storedName;   // the inert file's name in the run's folder
    uint64_t size = 0;           // of the original bytes (a key: of its export)
    std::string sha256;          // of the original bytes, lower-case hex
    std::string md5;
    std::u16string action;
    std::u16string reason;
    std::u16string memoryVerdict; // the memory inspection's verdict at the time
};

struct Manifest {
    ManifestHeader header;
    std::vector<ManifestEntry> entries;
};

extern const char16_t* const ManifestFileName; // "Manifest.txt"
extern const char16_t* const LocalMachinePrefix; // "HKEY_LOCAL_MACHINE\"

// The header, followed by the empty line that precedes the first block.
std::string ManifestHeaderText(const ManifestHeader& header);
// The block of the entry numbered `number` (from 1), with its empty line.
std::string ManifestEntryText(const ManifestEntry& entry, unsigned number);

// Whether the restore can write an object of the kind back to the path: a
// file or stream's full path with a drive letter ("C:\..."), a key as
// "HKEY_LOCAL_MACHINE\<subkey>"; never with a NUL, which would cut the
// name short.
bool IsRestorablePath(QuarantineKind kind, std::u16string_view path);

// Nothing for a manifest that is malformed or cut off anywhere.
std::optional<Manifest> ParseManifest(std::string_view text);

// A character a stored file's name may hold: A-Z a-z 0-9 . _ -
bool IsStoredNameCharacter(char16_t c);
// Whether the name can be a stored file's: 1..128 characters from
// A-Z a-z 0-9 . _ -, ending in ".quarantine".
bool IsStoredFileName(std::u16string_view name);
