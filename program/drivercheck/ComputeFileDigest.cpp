// The MD5 digest of a file's whole content as 32 lower-case hexadecimal
// characters and a NUL, computed with CryptoAPI over 1024-byte reads.

#include "program/run/RemovalContext.hpp"

#include <wincrypt.h>

#include <cstdio>

bool RemovalContext::ComputeFileDigest(const wchar_t* path, char* output)
{
    if (output == nullptr)
        return false;

    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;

    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        CloseHandle(file);
        return false;
    }

    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
        CloseHandle(file);
        CryptReleaseContext(provider, 0);
        return false;
    }

    // A read that fails ends the input as the end of the file does.
    BYTE buffer[1024];
    DWORD bytesRead = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &bytesRead, nullptr) && bytesRead != 0) {
        if (!CryptHashData(hash, buffer, bytesRead, 0)) {
            CryptReleaseContext(provider, 0);
            CryptDestroyHash(hash);
            CloseHandle(file);
            return false;
        }
    }

    BYTE digest[16];
    DWORD digestLength = sizeof(digest);
    if (!CryptGetHashParam(hash, HP_HASHVAL, digest, &digestLength, 0)) {
        CryptDestroyHash(hash);
        CryptReleaseContext(provider, 0);
        CloseHandle(file);
        return false;
    }

    static const char hexDigits[] = "0123456789abcdef";
    for (DWORD i = 0; i < digestLength && i < sizeof(digest); ++i)
        std::snprintf(output + 2 * i, 3, "%c%c", hexDigits[digest[i] >> 4], hexDigits[digest[i] & 0x0F]);

    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    CloseHandle(file);
    return true;
}
