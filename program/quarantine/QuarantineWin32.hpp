// What the quarantine and the restore share in the Win32 layer: the
// content digests, chunked reading, and registry trees read and written.
#pragma once

#include "program/quarantine/core/RegistryExport.hpp"
#include "program/common/Handles.hpp"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace quarantine {

constexpr DWORD ChunkBytes = 64 * 1024;

// This computer's quarantine folder, %SystemRoot%\KorvaleQuarantine;
// nothing when the Windows directory cannot be found.
std::optional<std::wstring> QuarantineFolderPath();

// Opens a file or stream for reading, backup semantics, with the least
// sharing that others' open handles allow (read; then read and write; then
// also delete).
UniqueFile OpenForReading(const std::wstring& path);

// SHA-256 and MD5 of a byte stream, with CryptoAPI's AES provider.
struct ContentDigests {
    UniqueCryptProvider provider;
    UniqueCryptHash sha256;
    UniqueCryptHash md5;
    uint64_t size = 0;
};
bool StartDigests(ContentDigests& digests);
bool AddToDigests(ContentDigests& digests, const BYTE* bytes, DWORD count);
// Both as lower-case hex; false when CryptoAPI fails.
bool FinishDigests(ContentDigests& digests, std::string& sha256, std::string& md5);

// Reads the file from its current position to its end in chunks and hands
// each to `take`; false after a failed read (GetLastError says why) or
// when `take` said false.
bool ForEachChunk(HANDLE file, const std::function<bool(BYTE*, DWORD)>& take);

// Writes all bytes; false (GetLastError) when a write fails or falls short.
bool WriteAll(HANDLE file, const void* bytes, DWORD count);

// The key tree at `subkey` under HKEY_LOCAL_MACHINE, every value and
// subkey, a key before its subkeys; its root is named with the prefix
// "HKEY_LOCAL_MACHINE" and a backslash. ERROR_SUCCESS, or the first error (ERROR_FILE_NOT_FOUND when
// the key is absent, ERROR_INVALID_NAME for a subkey whose name holds a
// NUL, which no Win32 call can open).
LONG ReadRegistryTree(const std::wstring& subkey, RegistryExport& tree);

// Creates (or opens) every key of the tree at `subkey` under
// HKEY_LOCAL_MACHINE and sets its values; with `replace`, each key's values that the
// tree does not hold are deleted first. ERROR_SUCCESS or the first error.
LONG WriteRegistryTree(const std::wstring& subkey, const RegistryExport& tree, bool replace);

// Whether a failed open found nothing at its path (no such file or folder).
inline bool NothingAt(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// "error 5", for the console.
std::u16string ErrorText(DWORD error);

} // namespace quarantine
