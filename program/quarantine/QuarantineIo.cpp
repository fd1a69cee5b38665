// The quarantine's digests (CryptoAPI's AES provider: SHA-256 and MD5,
// both there from Windows XP SP3 on) and its chunked reads and writes.

#include "program/quarantine/QuarantineWin32.hpp"
#include "program/quarantine/core/QuarantineNames.hpp"
#include "program/quarantine/core/QuarantineText.hpp"
#include "program/run/Wide.hpp"

#include <wincrypt.h>

#include <vector>

// The SDK headers declare SHA-256 only for targets after XP SP2; the
// program targets XP and runs on SP3, whose AES provider has it.
#ifndef CALG_SHA_256
#define CALG_SHA_256 (ALG_CLASS_HASH | ALG_TYPE_ANY | 12)
#endif

namespace quarantine {

namespace {

bool FinishOne(HCRYPTHASH hash, std::string& hex)
{
    BYTE value[32];
    DWORD length = sizeof(value);
    if (!CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0) || length > sizeof(value))
        return false;
    hex = LowerHex(value, length);
    return true;
}

} // namespace

std::optional<std::wstring> QuarantineFolderPath()
{
    wchar_t windows[MAX_PATH + 1] = {};
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH)
        return std::nullopt;
    std::wstring path(windows, length);
    if (path.back() != L'\\')
        path += L'\\';
    return path + AsWide(QuarantineFolderName);
}

UniqueFile OpenForReading(const std::wstring& path)
{
    for (const DWORD share : {DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE},
                              DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}}) {
        UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (file || GetLastError() != ERROR_SHARING_VIOLATION)
            return file;
    }
    return UniqueFile{};
}

bool StartDigests(ContentDigests& digests)
{
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return false;
    digests.provider.reset(provider);
    digests.size = 0;
    HCRYPTHASH sha256 = 0, md5 = 0;
    if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &sha256))
        return false;
    digests.sha256.reset(sha256);
    if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &md5))
        return false;
    digests.md5.reset(md5);
    return true;
}

bool AddToDigests(ContentDigests& digests, const BYTE* bytes, DWORD count)
{
    digests.size += count;
    return count == 0 ||
           (CryptHashData(digests.sha256.get(), bytes, count, 0) && CryptHashData(digests.md5.get(), bytes, count, 0));
}

bool FinishDigests(ContentDigests& digests, std::string& sha256, std::string& md5)
{
    return FinishOne(digests.sha256.get(), sha256) && FinishOne(digests.md5.get(), md5);
}

bool ForEachChunk(HANDLE file, const std::function<bool(BYTE*, DWORD)>& take)
{
    std::vector<BYTE> buffer(ChunkBytes);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer.data(), ChunkBytes, &got, nullptr))
            return false;
        if (got == 0)
            return true;
        if (!take(buffer.data(), got))
            return false;
    }
}

bool WriteAll(HANDLE file, const void* bytes, DWORD count)
{
    DWORD written = 0;
    if (count == 0)
        return true;
    if (!WriteFile(file, bytes, count, &written, nullptr))
        return false;
    if (written != count) {
        SetLastError(ERROR_DISK_FULL);
        return false;
    }
    return true;
}

std::u16string ErrorText(DWORD error)
{
    const std::string number = std::to_string(error);
    return u"error " + std::u16string(number.begin(), number.end());
}

} // namespace quarantine
