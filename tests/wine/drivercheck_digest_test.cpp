// ComputeFileDigest against CryptoAPI under Wine: the RFC 1321 test vectors
// written to files, files around the 64 KiB read size (and 1024 bytes, the
// read size it once had), and the files it cannot open.

#include "program/run/RemovalContext.hpp"
#include "tests/wine/DriverCheckFiles.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace drivercheck_test;

namespace {

class FileDigest : public ::testing::Test {
protected:
    std::wstring path = TemporaryFolder() + L"kqv-digest-test.bin";
    RemovalContext context;
    // Room past the 33 bytes shows that nothing is written beyond the NUL.
    char output[40];

    void SetUp() override { std::memset(output, 'Z', sizeof(output)); }
    void TearDown() override { DeleteFileW(path.c_str()); }

    std::string DigestOf(const std::string& content)
    {
        EXPECT_TRUE(WriteWholeFile(path, content));
        std::memset(output, 'Z', sizeof(output));
        EXPECT_TRUE(context.ComputeFileDigest(path.c_str(), output));
        EXPECT_EQ(output[32], '\0');
        EXPECT_EQ(output[33], 'Z');
        return std::string(output, 32);
    }

    bool OutputUntouched() const
    {
        for (char c : output)
            if (c != 'Z')
                return false;
        return true;
    }
};

TEST_F(FileDigest, Rfc1321TestVectors)
{
    const struct {
        std::string message;
        const char* digest;
    } vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.message);
        EXPECT_EQ(DigestOf(v.message), v.digest);
    }
}

TEST_F(FileDigest, FilesAroundTheReadSize)
{
    // Expected digests from an independent MD5 (Python's hashlib) over the
    // same pattern, byte i = (7i + 3) mod 256.
    EXPECT_EQ(DigestOf(Pattern(1024)), "a66351d9c8f941b70a02eaf9c41e69c3");
    EXPECT_EQ(DigestOf(Pattern(1025)), "ee57403eb3428e1a0be41fad4a70b174");
    EXPECT_EQ(DigestOf(Pattern(2048)), "23398bb02c75378fb86bf1b62d860dee");
    EXPECT_EQ(DigestOf(Pattern(65536)), "55f3da07043d8f6f30808f9309120b1d");
    EXPECT_EQ(DigestOf(Pattern(65537)), "8bbe2ba9b420c53493027ed87dbc57c8");
    EXPECT_EQ(DigestOf(Pattern(100000)), "59f08777fcd1aa2b8e0c8f892cfaae09");
}

TEST_F(FileDigest, TextIsLowerCaseHexadecimal)
{
    // 0xFF bytes and high digest nibbles: every character must come from
    // "0123456789abcdef".
    const std::string text = DigestOf(std::string(300, '\xFF'));
    for (char c : text)
        EXPECT_NE(std::strchr("0123456789abcdef", c), nullptr) << c;
}

TEST_F(FileDigest, MissingFileFailsAndLeavesOutputUntouched)
{
    DeleteFileW(path.c_str());
    EXPECT_FALSE(context.ComputeFileDigest(path.c_str(), output));
    EXPECT_TRUE(OutputUntouched());
}

TEST_F(FileDigest, FileHeldWithoutReadSharingFailsAndLeavesOutputUntouched)
{
    ASSERT_TRUE(WriteWholeFile(path, "locked"));
    HANDLE holder = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(context.ComputeFileDigest(path.c_str(), output));
    EXPECT_TRUE(OutputUntouched());
    CloseHandle(holder);
}

TEST_F(FileDigest, FileHeldWithReadSharingIsDigested)
{
    // The scan keeps the driver open (attributes only, read and write shared)
    // while it digests it.
    ASSERT_TRUE(WriteWholeFile(path, "abc"));
    HANDLE holder = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(context.ComputeFileDigest(path.c_str(), output));
    EXPECT_EQ(std::string(output), "900150983cd24fb0d6963f7d28e17f72");
    CloseHandle(holder);
}

// A read that fails after part of the content came in: the digest would
// cover only that part, so it is no digest of the file. A pipe whose
// writer sends 3000 bytes and then goes away gives three good reads and
// then a failing one (ERROR_BROKEN_PIPE) instead of the end of a file;
// Wine does not enforce byte-range locks on reads, which would give the
// same on Windows with a file.
DWORD WINAPI SendThenBreak(void* pipe)
{
    const std::string bytes = Pattern(3000);
    DWORD written = 0;
    ConnectNamedPipe(pipe, nullptr);
    WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    FlushFileBuffers(pipe); // returns once the reader has taken every byte
    CloseHandle(pipe);
    return 0;
}

TEST_F(FileDigest, ReadThatFailsPartWayFailsAndLeavesOutputUntouched)
{
    const wchar_t* const name = L"\\\\.\\pipe\\kqv-digest-broken";
    HANDLE pipe = CreateNamedPipeW(name, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0,
                                   nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    HANDLE writer = CreateThread(nullptr, 0, SendThenBreak, pipe, 0, nullptr);
    ASSERT_NE(writer, nullptr);

    EXPECT_FALSE(context.ComputeFileDigest(name, output));
    EXPECT_TRUE(OutputUntouched());

    EXPECT_EQ(WaitForSingleObject(writer, 10000), WAIT_OBJECT_0) << "the digest took all 3000 bytes first";
    CloseHandle(writer);
}

TEST_F(FileDigest, FolderFails)
{
    EXPECT_FALSE(context.ComputeFileDigest(TemporaryFolder().c_str(), output));
    EXPECT_TRUE(OutputUntouched());
}

TEST_F(FileDigest, NullOutputFails)
{
    ASSERT_TRUE(WriteWholeFile(path, "abc"));
    EXPECT_FALSE(context.ComputeFileDigest(path.c_str(), nullptr));
}

} // namespace
