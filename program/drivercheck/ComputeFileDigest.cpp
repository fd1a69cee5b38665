// The MD5 digest of a file's whole content as 32 lower-case hexadecimal
// characters and a NUL, computed with CryptoAPI over reads of 64 KiB: the
// digest does not depend on the size of the reads, and a read of 1024 bytes
// costs a system call for every KiB of every driver the scan reads twice.

#include "program/common/Handles.hpp"
#include "program/run/RemovalContext.hpp"

#include <wincrypt.h>

#include <cstdio>
#include <vector>

namespace {

// One fixed buffer for the whole file, whatever its size.
constexpr DWORD DigestReadBytes = 64 * 1024;

} // namespace

bool RemovalContext::ComputeFileDigest(const wchar_t* path, char* output)
{
    if (output == nullptr)
        return false;

    // Backup semantics: with the run's backup privilege the file is read
    // whatever its DACL says, and no access list needs opening up for it.
    UniqueFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
        return false;
    // A folder opens too with backup semantics; it has no content to digest.
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file.get(), &information)
        || (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;

    HCRYPTPROV rawProvider = 0;
    if (!CryptAcquireContextW(&rawProvider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return false;
    UniqueCryptProvider provider(rawProvider);

    HCRYPTHASH rawHash = 0;
    if (!CryptCreateHash(provider.get(), CALG_MD5, 0, 0, &rawHash))
        return false;
    UniqueCryptHash hash(rawHash);

    // Only a read of 0 bytes ends the input. A read that fails leaves a
    // digest of part of the file, which is no digest of the file at all.
    std::vector<BYTE> buffer(DigestReadBytes);
    for (;;) {
        DWORD bytesRead = 0;
        if (!ReadFile(file.get(), buffer.data(), DigestReadBytes, &bytesRead, nullptr))
            return false;
        if (bytesRead == 0)
            break;
        if (!CryptHashData(hash.get(), buffer.data(), bytesRead, 0))
            return false;
    }

    BYTE digest[16];
    DWORD digestLength = sizeof(digest);
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &digestLength, 0))
        return false;

    static const char hexDigits[] = "0123456789abcdef";
    for (DWORD i = 0; i < digestLength && i < sizeof(digest); ++i)
        std::snprintf(output + 2 * i, 3, "%c%c", hexDigits[digest[i] >> 4], hexDigits[digest[i] & 0x0F]);
    return true;
}
