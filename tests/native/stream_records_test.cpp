// The walk of the stream records a file system returns, and the names the
// scan builds from them. The records come from a file system the rootkit
// may control: every case of a chain that points outside the bytes must end
// the walk without reading past them.

#include "program/cleanup/core/StreamRecords.hpp"
#include "tests/native/StreamRecordBytes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

using streambytes::MakeChain;
using streambytes::PutUint32;
using Names = std::vector<std::u16string>;

std::u16string Repeat(char16_t c, std::size_t n) { return std::u16string(n, c); }

struct WalkCase {
    const char* name;
    Names records;                                             // the chain as built
    std::function<void(streambytes::Chain&, std::size_t&)> damage;  // may change bytes and size
    Names expected;
};

std::vector<WalkCase> WalkCases()
{
    const std::u16string unnamed = u"::$DATA";
    const std::u16string x = u":x.exe:$DATA";
    const std::u16string y = u":y.txt:$DATA";
    const std::u16string z = u":zone.identifier:$DATA";
    auto none = [](streambytes::Chain&, std::size_t&) {};
    return {
        {"unnamed stream only", {unnamed}, none, {}},
        {"one alternate stream", {unnamed, x}, none, {x}},
        {"several, in record order", {unnamed, x, y, z}, none, {x, y, z}},
        {"the first record is never examined, whatever its name", {x, y}, none, {y}},
        {"nothing returned", {unnamed, x}, [](auto&, std::size_t& size) { size = 0; }, {}},
        {"first record header cut short", {unnamed, x}, [](auto&, std::size_t& size) { size = 20; }, {}},
        {"next offset points past the returned bytes",
         {unnamed, x, y},
         [](streambytes::Chain& c, std::size_t&) { PutUint32(c.bytes, c.offsets[1], 4000); },
         {x}},
        {"next offset lands where only part of a header fits",
         {unnamed, x},
         [](streambytes::Chain& c, std::size_t&) {
             PutUint32(c.bytes, c.offsets[0], static_cast<uint32_t>(c.bytes.size() - 8));
         },
         {}},
        {"next offset wraps around (0xFFFFFFF8)",
         {unnamed, x, y},
         [](streambytes::Chain& c, std::size_t&) { PutUint32(c.bytes, c.offsets[1], 0xFFFFFFF8u); },
         {x}},
        {"name length runs past the returned bytes",
         {unnamed, x, y},
         [](streambytes::Chain& c, std::size_t&) { PutUint32(c.bytes, c.offsets[2] + 4, 4000); },
         {x}},
        {"name length runs into the next record",
         {unnamed, x, y},
         [](streambytes::Chain& c, std::size_t&) {
             PutUint32(c.bytes, c.offsets[1] + 4, static_cast<uint32_t>(c.offsets[2] - c.offsets[1]));
         },
         {}},
        {"name length of the first record runs into the next",
         {unnamed, x},
         [](streambytes::Chain& c, std::size_t&) { PutUint32(c.bytes, c.offsets[0] + 4, 100); },
         {}},
        {"odd name length",
         {unnamed, x, y},
         [](streambytes::Chain& c, std::size_t&) { PutUint32(c.bytes, c.offsets[2] + 4, 13); },
         {x}},
        {"last record straddles the end of the returned bytes",
         {unnamed, x, y},
         [](streambytes::Chain&, std::size_t& size) { size -= 2; },
         {x}},
        {"records after the returned count are not walked",
         {unnamed, x, y, z},
         [](streambytes::Chain& c, std::size_t& size) { size = c.offsets[2]; },
         {x}},
        {"a record smaller than its header: next offset 8",
         {unnamed, x},
         [](streambytes::Chain& c, std::size_t&) { PutUint32(c.bytes, c.offsets[0], 8); },
         {}},
        {"empty name with zero length",
         {unnamed, u"", x},
         none,
         {u"", x}},
    };
}

TEST(StreamRecordWalk, FollowsOnlyRecordsWhollyInsideTheReturnedBytes)
{
    for (const WalkCase& c : WalkCases()) {
        SCOPED_TRACE(c.name);
        streambytes::Chain chain = MakeChain(c.records);
        std::size_t size = chain.bytes.size();
        c.damage(chain, size);
        ASSERT_LE(size, chain.bytes.size());
        EXPECT_EQ(WalkStreamRecords(chain.bytes.data(), size), c.expected);
    }
}

TEST(StreamRecordWalk, ARecordEndingExactlyAtTheBufferEndIsWalkedOneByteMoreIsNot)
{
    // First record: 24 + 14 bytes, padded to 40. Second: 24 + 936 = 960, so it
    // ends at byte 1000.
    const std::u16string fits = u":" + Repeat(u'a', 461) + u":$DATA";
    ASSERT_EQ(fits.size() * 2, 936u);
    streambytes::Chain chain = MakeChain({u"::$DATA", fits});
    ASSERT_EQ(chain.bytes.size(), StreamBufferSize);
    EXPECT_EQ(WalkStreamRecords(chain.bytes.data(), StreamBufferSize), Names{fits});

    const std::u16string over = u":" + Repeat(u'a', 462) + u":$DATA";
    streambytes::Chain longer = MakeChain({u"::$DATA", over});
    ASSERT_EQ(longer.bytes.size(), StreamBufferSize + 2);
    EXPECT_TRUE(WalkStreamRecords(longer.bytes.data(), StreamBufferSize).empty());
}

TEST(StreamRecordWalk, NullBytesYieldNothing)
{
    EXPECT_TRUE(WalkStreamRecords(nullptr, 100).empty());
}

struct CandidateCase {
    const char* name;
    std::u16string entryPath;
    std::u16string entryName;
    std::u16string streamName;
    bool expected;
    std::u16string streamPath;
    std::u16string candidateName;
};

TEST(StreamCandidate, JoinsEntryAndStreamAndCutsTheTypeSuffix)
{
    const std::u16string dir = u"C:\\windows\\";
    const std::u16string longName = Repeat(u'n', 255);
    const std::vector<CandidateCase> cases = {
        {"ordinary hit", dir + u"abc.dll", u"abc.dll", u":x.exe:$DATA", true,
         dir + u"abc.dll:x.exe:$DATA", u"abc.dll:x.exe"},
        {"entry name with a leading dot", dir + u".hidden", u".hidden", u":r.exe:$DATA", true,
         dir + u".hidden:r.exe:$DATA", u".hidden:r.exe"},
        {"no type suffix: passed over, not cut", dir + u"abc.dll", u"abc.dll", u":x.exe", false, u"", u""},
        {"another stream type", dir + u"abc.dll", u"abc.dll", u":x.exe:$INDEX_ALLOCATION", false, u"", u""},
        {"suffix in another letter case", dir + u"abc.dll", u"abc.dll", u":x.exe:$data", false, u"", u""},
        {"shorter than the suffix", dir + u"abc.dll", u"abc.dll", u"DATA", false, u"", u""},
        {"a NUL inside the stream name", dir + u"abc.dll", u"abc.dll",
         std::u16string(u":x.exe\0zz:$DATA", 15), false, u"", u""},
        {"stream path of exactly 499 characters", Repeat(u'p', 499 - 12), u"e", u":x.exe:$DATA", true,
         Repeat(u'p', 499 - 12) + u":x.exe:$DATA", u"e:x.exe"},
        {"stream path of 500 characters", Repeat(u'p', 500 - 12), u"e", u":x.exe:$DATA", false, u"", u""},
        {"candidate name of exactly 499 characters", u"C:\\w\\e", Repeat(u'e', 499 - 6),
         u":x.exe:$DATA", true, u"C:\\w\\e:x.exe:$DATA", Repeat(u'e', 499 - 6) + u":x.exe"},
        {"candidate name of 500 characters", u"C:\\w\\e", Repeat(u'e', 500 - 6), u":x.exe:$DATA", false,
         u"", u""},
        {"long file name and long stream name", dir + longName, longName, u":" + longName + u":$DATA",
         false, u"", u""},
    };
    for (const CandidateCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto candidate = MakeStreamCandidate(c.entryPath, c.entryName, c.streamName);
        ASSERT_EQ(candidate.has_value(), c.expected);
        if (candidate) {
            EXPECT_EQ(candidate->streamPath, c.streamPath);
            EXPECT_EQ(candidate->candidateName, c.candidateName);
        }
    }
}

TEST(StreamCandidate, EveryWalkedRecordIsOfferedOnceInOrderAndOthersPassedOver)
{
    const streambytes::Chain chain =
        MakeChain({u"::$DATA", u":a.exe:$DATA", u":b:$OTHER", u":c.exe:$DATA"});
    const auto candidates =
        StreamCandidates(chain.bytes.data(), chain.bytes.size(), u"C:\\windows\\f.dll", u"f.dll");
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates[0].candidateName, u"f.dll:a.exe");
    EXPECT_EQ(candidates[0].streamPath, u"C:\\windows\\f.dll:a.exe:$DATA");
    EXPECT_EQ(candidates[1].candidateName, u"f.dll:c.exe");
}

// Records what the scan asks of the file system and the process list.
struct RecordingTests {
    std::vector<std::u16string> opened;
    std::vector<std::u16string> lookedUp;
    std::vector<std::u16string> executable;  // stream paths that begin "MZ"
    std::vector<std::u16string> running;     // process image names
    StreamTests tests()
    {
        StreamTests t;
        t.isExecutable = [this](const std::u16string& path) {
            opened.push_back(path);
            return std::find(executable.begin(), executable.end(), path) != executable.end();
        };
        t.isProcessRunning = [this](const std::u16string& name) {
            lookedUp.push_back(name);
            return std::find(running.begin(), running.end(), name) != running.end();
        };
        return t;
    }
};

TEST(FindHiddenImage, OnlyExecutableStreamsAreLookedUpAndTheFirstHitEndsTheWalk)
{
    const std::u16string entry = u"C:\\windows\\abc.dll";
    const streambytes::Chain chain = MakeChain(
        {u"::$DATA", u":notes.txt:$DATA", u":y.exe:$DATA", u":x.exe:$DATA", u":z.exe:$DATA"});
    RecordingTests recorder;
    recorder.executable = {entry + u":y.exe:$DATA", entry + u":x.exe:$DATA", entry + u":z.exe:$DATA"};
    recorder.running = {u"abc.dll:x.exe", u"abc.dll:z.exe"};
    const auto hit = FindHiddenImage(chain.bytes.data(), chain.bytes.size(), entry, u"abc.dll", recorder.tests());
    EXPECT_EQ(hit, u"abc.dll:x.exe");
    EXPECT_EQ(recorder.opened, (Names{entry + u":notes.txt:$DATA", entry + u":y.exe:$DATA", entry + u":x.exe:$DATA"}));
    EXPECT_EQ(recorder.lookedUp, (Names{u"abc.dll:y.exe", u"abc.dll:x.exe"}))
        << "a stream that is not executable is passed over before any process list is taken";
}

TEST(FindHiddenImage, AFileWithoutAlternateStreamsOpensNothing)
{
    const streambytes::Chain chain = MakeChain({u"::$DATA"});
    RecordingTests recorder;
    EXPECT_FALSE(FindHiddenImage(chain.bytes.data(), chain.bytes.size(), u"C:\\w\\f", u"f", recorder.tests()));
    EXPECT_TRUE(recorder.opened.empty());
    EXPECT_TRUE(recorder.lookedUp.empty());
}

TEST(ScanEntryPath, JoinsWithABackslashWithin499Characters)
{
    EXPECT_EQ(ScanEntryPath(u"C:\\windows", u"abc.dll"), u"C:\\windows\\abc.dll");
    EXPECT_EQ(ScanEntryPath(Repeat(u'w', 259), Repeat(u'n', 239))->size(), 499u);
    EXPECT_FALSE(ScanEntryPath(Repeat(u'w', 259), Repeat(u'n', 240)).has_value());
}

TEST(ScanEntries, OnlyDotAndDotDotAreSkipped)
{
    EXPECT_TRUE(IsDotEntry(u"."));
    EXPECT_TRUE(IsDotEntry(u".."));
    EXPECT_FALSE(IsDotEntry(u"..."));
    EXPECT_FALSE(IsDotEntry(u".x"));
    EXPECT_FALSE(IsDotEntry(u""));
}

TEST(ExecutableStream, BeginsWithMzAndIsNotEmpty)
{
    const uint8_t mz[16] = {'M', 'Z', 0x90, 0};
    const uint8_t zm[16] = {'Z', 'M', 0x90, 0};
    const uint8_t text[16] = {'h', 'e', 'l', 'l'};
    const uint8_t mOnly[16] = {'M', 0, 0, 0};
    EXPECT_TRUE(LooksExecutable(true, 4096, mz, 4));
    EXPECT_TRUE(LooksExecutable(true, 2, mz, 2));
    EXPECT_FALSE(LooksExecutable(false, 4096, mz, 4)) << "the read failed";
    EXPECT_FALSE(LooksExecutable(true, 0, mz, 4)) << "empty stream";
    EXPECT_FALSE(LooksExecutable(true, 4096, zm, 4));
    EXPECT_FALSE(LooksExecutable(true, 4096, text, 4));
    EXPECT_FALSE(LooksExecutable(true, 1, mOnly, 1));
    EXPECT_FALSE(LooksExecutable(true, 4096, mz, 1)) << "only one byte read";
}

} // namespace
