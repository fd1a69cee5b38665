#include "tests/reference/CopyHarness.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using copytest::Call;
using copytest::Fault;
using copytest::Layout;
using copytest::Trace;

namespace {

constexpr uint32_t Cluster = 4096;
constexpr uint64_t DataArea = 33 * 512;

// An in-memory volume whose every byte tells where it lies.
uint8_t ByteAt(uint64_t offset) { return static_cast<uint8_t>((offset * 7 + (offset >> 12)) & 0xFF); }

// Large enough for every layout below.
const std::vector<uint8_t>& VolumeImage()
{
    static const std::vector<uint8_t> image = [] {
        std::vector<uint8_t> bytes(32u << 20);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = ByteAt(i);
        return bytes;
    }();
    return image;
}

bool SyntheticVolume(uint64_t offset, uint8_t* to, uint32_t length)
{
    const std::vector<uint8_t>& image = VolumeImage();
    if (offset > image.size() || length > image.size() - offset)
        return false;
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(offset), length, to);
    return true;
}

Trace Engine(std::vector<ClusterExtent> runs, uint64_t size, Fault fault = {},
             uint32_t bufferBytes = RequestBufferBytes(Cluster))
{
    return copytest::Run(true, Layout{std::move(runs), size, Cluster, DataArea}, bufferBytes, SyntheticVolume, fault);
}

std::vector<uint8_t> Expected(const std::vector<ClusterExtent>& runs, uint64_t size)
{
    std::vector<uint8_t> out;
    for (const auto& run : runs)
        for (uint32_t j = 0; j < run.clusterCount && out.size() < size; ++j)
            if (run.lcn != -1)
                for (uint32_t i = 0; i < Cluster && out.size() < size; ++i)
                    out.push_back(ByteAt(DataArea + (run.lcn + j) * uint64_t(Cluster) + i));
    return out;
}

uint64_t At(int64_t lcn) { return DataArea + uint64_t(lcn) * Cluster; }

} // namespace

TEST(CopyLoop, OneByteFileInOneCluster)
{
    const Trace t = Engine({{1, 9}}, 1);
    EXPECT_TRUE(t.result.copied);
    EXPECT_EQ(t.reads, (std::vector<Trace::Read>{{At(9), Cluster}}));
    EXPECT_EQ(t.writes, (std::vector<uint32_t>{1}));
    EXPECT_EQ(t.destination, Expected({{1, 9}}, 1));
    EXPECT_EQ(t.calls, (std::vector<Call>{{true, 0, 0}, {true, 9, 100}}));
}

TEST(CopyLoop, EachRunIsOneRequestAndEachCallFollowsItsClustersBytes)
{
    // Every cluster changes the percentage, so the bytes go out cluster by
    // cluster, each before its call.
    const std::vector<ClusterExtent> runs{{2, 100}, {1, 7}};
    const Trace t = Engine(runs, 2 * Cluster + Cluster / 2);
    EXPECT_TRUE(t.result.copied);
    EXPECT_EQ(t.reads, (std::vector<Trace::Read>{{At(100), 2 * Cluster}, {At(7), Cluster}}));
    EXPECT_EQ(t.writes, (std::vector<uint32_t>{4096, 4096, 2048}));
    EXPECT_EQ(t.destination, Expected(runs, 2 * Cluster + Cluster / 2));
    EXPECT_EQ(t.calls, (std::vector<Call>{{true, 0, 0}, {true, 100, 40}, {true, 101, 80}, {true, 7, 100}}));
}

TEST(CopyLoop, TenClustersReportEveryTenPercent)
{
    const Trace t = Engine({{10, 50}}, 10 * Cluster);
    EXPECT_TRUE(t.result.copied);
    EXPECT_EQ(t.reads.size(), 1u);
    ASSERT_EQ(t.calls.size(), 11u);
    for (int i = 1; i <= 10; ++i)
        EXPECT_EQ(t.calls[i], (Call{true, static_cast<uint32_t>(49 + i), 10 * i}));
}

TEST(CopyLoop, LongRunsAreReadAMegabyteAtATime)
{
    // 1000 + 3 clusters of a 4 MiB file: 256 clusters per request; a write
    // at most per request and per progress call.
    const std::vector<ClusterExtent> runs{{1000, 5000}, {3, 20}};
    const uint64_t size = 1003ull * Cluster - 100;
    const Trace t = Engine(runs, size);
    EXPECT_TRUE(t.result.copied);
    EXPECT_EQ(t.reads, (std::vector<Trace::Read>{{At(5000), 1 << 20}, {At(5256), 1 << 20}, {At(5512), 1 << 20},
                                                 {At(5768), 232 * Cluster}, {At(20), 3 * Cluster}}));
    EXPECT_EQ(t.calls.size(), 101u);
    EXPECT_LE(t.writes.size(), t.reads.size() + 100);
    EXPECT_EQ(t.destination, Expected(runs, size));
}

TEST(CopyLoop, SurplusClustersAreReadAndNothingOfThemWritten)
{
    const Trace t = Engine({{2, 20}, {2, 30}}, Cluster + 10);
    EXPECT_TRUE(t.result.copied);
    EXPECT_EQ(t.reads, (std::vector<Trace::Read>{{At(20), 2 * Cluster}, {At(30), 2 * Cluster}}));
    EXPECT_EQ(t.writes, (std::vector<uint32_t>{4096, 10}));
    EXPECT_EQ(t.calls.back(), (Call{true, 21, 100}));
}

TEST(CopyLoop, HoleRunsAreNeitherReadNorWritten)
{
    const std::vector<ClusterExtent> runs{{1, 5}, {2, -1}, {1, 6}};
    const Trace t = Engine(runs, 2 * Cluster);
    EXPECT_TRUE(t.result.copied);
    EXPECT_EQ(t.reads, (std::vector<Trace::Read>{{At(5), Cluster}, {At(6), Cluster}}));
    EXPECT_EQ(t.destination, Expected(runs, 2 * Cluster));
}

TEST(CopyLoop, RunsShorterThanTheFileDoNotCount)
{
    const Trace t = Engine({{1, 5}}, 2 * Cluster);
    EXPECT_FALSE(t.result.copied);
    EXPECT_FALSE(t.result.stepFailed);
}

TEST(CopyLoop, CancelBeforeTheFirstClusterReadsNothing)
{
    Fault cancel;
    cancel.cancelAtPoll = 0;
    const Trace t = Engine({{3, 5}}, 3 * Cluster, cancel);
    EXPECT_FALSE(t.result.copied);
    EXPECT_FALSE(t.result.stepFailed);
    EXPECT_TRUE(t.reads.empty());
    EXPECT_TRUE(t.writes.empty());
    EXPECT_EQ(t.calls, (std::vector<Call>{{true, 0, 0}})) << "no final call after a stop";
}

TEST(CopyLoop, AStopInsideARequestWritesNothingPastItsCluster)
{
    // 300 clusters in one request; a percent every 3 clusters.
    const std::vector<ClusterExtent> runs{{300, 10}};
    Fault cancel;
    cancel.cancelAtPoll = 100;
    const Trace cancelled = Engine(runs, 300 * Cluster, cancel, 300 * Cluster);
    EXPECT_EQ(cancelled.reads.size(), 1u);
    EXPECT_EQ(cancelled.destination, Expected(runs, 100 * Cluster));
    EXPECT_FALSE(cancelled.result.copied);

    Fault zero;
    zero.zeroAnswerAt = 2; // the call of 2 %, after cluster 6
    const Trace stopped = Engine(runs, 300 * Cluster, zero, 300 * Cluster);
    EXPECT_EQ(stopped.destination, Expected(runs, 6 * Cluster));
    EXPECT_EQ(stopped.calls.back(), (Call{true, 15, 2}));
}

TEST(CopyLoop, CancelAfterTheLastByteStillSucceeds)
{
    Fault cancel;
    cancel.cancelAtPoll = 1; // before the surplus second cluster
    const Trace t = Engine({{2, 5}}, 100, cancel);
    EXPECT_TRUE(t.result.copied);
}

TEST(CopyLoop, ZeroAnswers)
{
    const std::vector<ClusterExtent> runs{{3, 5}};
    Fault zero;
    zero.zeroAnswerAt = 0; // the start call
    Trace t = Engine(runs, 3 * Cluster, zero);
    EXPECT_FALSE(t.result.copied);
    EXPECT_TRUE(t.reads.empty());

    zero.zeroAnswerAt = 1; // the first percentage
    t = Engine(runs, 3 * Cluster, zero);
    EXPECT_FALSE(t.result.copied);
    EXPECT_FALSE(t.result.stepFailed);
    EXPECT_EQ(t.destination.size(), Cluster);
    EXPECT_EQ(t.calls.size(), 2u);

    zero.zeroAnswerAt = 3; // the 100 percent call: every byte already written
    t = Engine(runs, 3 * Cluster, zero);
    EXPECT_TRUE(t.result.copied);
}

TEST(CopyLoop, AFailedRequestIsReadAgainClusterByCluster)
{
    const std::vector<ClusterExtent> runs{{10, 40}};
    Fault read;
    read.badLcn = 45;
    for (bool shortRead : {false, true}) {
        read.shortRead = shortRead;
        const Trace t = Engine(runs, 10 * Cluster, read);
        EXPECT_FALSE(t.result.copied);
        EXPECT_TRUE(t.result.stepFailed);
        EXPECT_EQ(t.result.error, shortRead ? 38u : 23u);
        std::vector<Trace::Read> expected{{At(40), 10 * Cluster}};
        for (int64_t lcn = 40; lcn <= 45; ++lcn)
            expected.push_back({At(lcn), Cluster});
        EXPECT_EQ(t.reads, expected);
        EXPECT_EQ(t.destination, Expected({{5, 40}}, 5 * Cluster));
        EXPECT_EQ(t.calls.size(), 7u);
        EXPECT_EQ(t.calls.back(), (Call{false, 0, 50}));
    }
}

TEST(CopyLoop, AFailedWriteIsMadeAgainClusterByCluster)
{
    // One request of 300 clusters; the disk fills inside cluster 100, whose
    // bytes would go out in the same write as clusters 99 and 101.
    const std::vector<ClusterExtent> runs{{300, 10}};
    Fault write;
    write.fullAt = 100 * Cluster + 5;
    const Trace t = Engine(runs, 300 * Cluster, write, 300 * Cluster);
    EXPECT_TRUE(t.result.stepFailed);
    EXPECT_EQ(t.result.error, 112u);
    EXPECT_EQ(t.calls.back(), (Call{false, 0, 33}));
    EXPECT_EQ(t.destination, Expected(runs, 100 * Cluster + 5));
}

TEST(CopyLoop, WithoutCallbackOrEvent)
{
    std::vector<uint8_t> destination;
    ClusterCopyOps ops;
    ops.read = [](uint64_t offset, uint8_t* to, uint32_t length) -> uint32_t {
        return SyntheticVolume(offset, to, length) ? 0 : 1;
    };
    ops.write = [&](uint64_t at, const uint8_t* bytes, uint32_t length) -> uint32_t {
        EXPECT_EQ(at, destination.size());
        destination.insert(destination.end(), bytes, bytes + length);
        return 0;
    };
    std::vector<uint8_t> buffer(Cluster);
    const auto r = CopyClusters(std::vector<ClusterExtent>{{3, 2}}, 3 * Cluster - 1, Cluster, DataArea, buffer, ops, {});
    EXPECT_TRUE(r.copied);
    EXPECT_EQ(destination, Expected({{3, 2}}, 3 * Cluster - 1));
}

TEST(CopyLoop, RequestBufferHoldsWholeClustersUpToAMegabyte)
{
    EXPECT_EQ(RequestBufferBytes(512), 1u << 20);
    EXPECT_EQ(RequestBufferBytes(4096), 1u << 20);
    EXPECT_EQ(RequestBufferBytes(3 * 512), 682u * 1536);
    EXPECT_EQ(RequestBufferBytes(1u << 20), 1u << 20);
    EXPECT_EQ(RequestBufferBytes(2u << 20), 2u << 20) << "one cluster at least";
}

TEST(CopyLoop, PercentOfHugeSizesDoesNotOverflow)
{
    EXPECT_EQ(WholePercent(1, 3), 33);
    EXPECT_EQ(WholePercent(UINT64_MAX / 2, UINT64_MAX), 49);
    EXPECT_EQ(WholePercent(UINT64_MAX, UINT64_MAX), 100);
}

// The whole-run loop against the one-cluster reference, over layouts that
// put holes, surplus clusters, single clusters and request boundaries in
// every place, with every fault of the table, at several buffer sizes.
TEST(CopyLoop, MatchesTheOneClusterLoopUnderEveryFault)
{
    struct Case {
        const char* name;
        Layout layout;
    };
    const Case cases[] = {
        {"one cluster", {{{1, 9}}, 1, Cluster, DataArea}},
        {"small, every cluster a percent", {{{2, 100}, {1, 7}}, 2 * Cluster + Cluster / 2, Cluster, DataArea}},
        {"holes between runs", {{{3, 5}, {4, -1}, {5, 60}, {1, -1}, {2, 90}}, 10 * Cluster - 7, Cluster, DataArea}},
        {"allocation past the end", {{{6, 20}, {4, 40}}, 3 * Cluster + 11, Cluster, DataArea}},
        {"runs short of the size", {{{4, 20}}, 9 * Cluster, Cluster, DataArea}},
        {"many clusters a percent", {{{700, 1000}, {2, -1}, {333, 3000}, {1, 7}}, 1034ull * Cluster - 1, Cluster, 0}},
        {"512-byte clusters", {{{900, 64}, {130, 2000}}, 1030ull * 512 - 300, 512, 17 * 512}},
        {"64 KiB clusters", {{{20, 3}, {3, 70}}, 22ull * 65536 + 1, 65536, 0}},
    };
    int compared = 0;
    for (const Case& c : cases) {
        const uint32_t bpc = c.layout.bytesPerCluster;
        for (uint32_t bufferBytes : {bpc, 3 * bpc, 256 * bpc, RequestBufferBytes(bpc)}) {
            for (const Fault& fault : copytest::FaultsFor(c.layout, bufferBytes)) {
                const Trace engine = copytest::Run(true, c.layout, bufferBytes, SyntheticVolume, fault);
                const Trace reference = copytest::Run(false, c.layout, bufferBytes, SyntheticVolume, fault);
                EXPECT_EQ(copytest::Difference(engine, reference), "")
                    << c.name << ", buffer of " << bufferBytes << " bytes, " << fault.name;
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 1000);
}
