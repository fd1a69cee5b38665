#include "program/rawread/core/CopyLoop.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr uint32_t Cluster = 4096;
constexpr uint64_t DataArea = 33 * 512;

// An in-memory volume whose every byte tells where it lies, and a recorder
// of what the loop asked for and wrote.
struct Harness {
    std::vector<uint64_t> reads;
    std::vector<uint32_t> writes;
    std::vector<uint8_t> destination;
    struct Call {
        bool status;
        uint32_t argument;
        int32_t extra;
        bool operator==(const Call&) const = default;
    };
    std::vector<Call> progress;
    int failReadAt = -1;           // index of the read that fails
    uint32_t failCode = 23;
    int answerZeroAtCall = -1;     // index of the progress call answered with 0
    int stopBeforeCluster = -1;    // poll number that reports the event signalled
    int polls = 0;

    static uint8_t ByteAt(uint64_t offset) { return static_cast<uint8_t>((offset * 7 + (offset >> 12)) & 0xFF); }

    ClusterCopyOps Ops()
    {
        ClusterCopyOps ops;
        ops.readCluster = [this](uint64_t offset, uint8_t* buffer, uint32_t length) -> uint32_t {
            for (uint32_t i = 0; i < length; ++i)
                EXPECT_EQ(buffer[i], 0) << "buffer not zeroed before the read";
            if (static_cast<int>(reads.size()) == failReadAt) {
                reads.push_back(offset);
                return failCode;
            }
            reads.push_back(offset);
            for (uint32_t i = 0; i < length; ++i)
                buffer[i] = ByteAt(offset + i);
            return 0;
        };
        ops.write = [this](const uint8_t* bytes, uint32_t length) -> uint32_t {
            writes.push_back(length);
            destination.insert(destination.end(), bytes, bytes + length);
            return 0;
        };
        ops.stopRequested = [this] { return polls++ == stopBeforeCluster; };
        return ops;
    }
    CopyProgress Progress()
    {
        return [this](bool status, uint32_t argument, int32_t extra) {
            progress.push_back({status, argument, extra});
            return static_cast<int>(progress.size()) - 1 != answerZeroAtCall;
        };
    }
    CopyLoopResult Run(std::vector<ClusterExtent> runs, uint64_t size, uint64_t dataArea = DataArea)
    {
        std::vector<uint8_t> buffer(Cluster);
        return CopyClusters(runs, size, Cluster, dataArea, buffer.data(), Ops(), Progress());
    }
};

std::vector<uint8_t> Expected(std::vector<ClusterExtent> runs, uint64_t size)
{
    std::vector<uint8_t> out;
    for (const auto& run : runs)
        for (uint32_t j = 0; j < run.clusterCount && out.size() < size; ++j)
            if (run.lcn != -1)
                for (uint32_t i = 0; i < Cluster && out.size() < size; ++i)
                    out.push_back(Harness::ByteAt(DataArea + (run.lcn + j) * uint64_t(Cluster) + i));
    return out;
}

using Call = Harness::Call;

} // namespace

TEST(CopyLoop, OneByteFileInOneCluster)
{
    Harness h;
    const auto r = h.Run({{1, 9}}, 1);
    EXPECT_TRUE(r.copied);
    EXPECT_EQ(h.reads, (std::vector<uint64_t>{DataArea + 9 * Cluster}));
    EXPECT_EQ(h.writes, (std::vector<uint32_t>{1}));
    EXPECT_EQ(h.destination, Expected({{1, 9}}, 1));
    EXPECT_EQ(h.progress, (std::vector<Call>{{true, 0, 0}, {true, 9, 100}}));
}

TEST(CopyLoop, TwoAndAHalfClustersInTwoRuns)
{
    Harness h;
    const std::vector<ClusterExtent> runs{{2, 100}, {1, 7}};
    const auto r = h.Run(runs, 2 * Cluster + Cluster / 2);
    EXPECT_TRUE(r.copied);
    EXPECT_EQ(h.writes, (std::vector<uint32_t>{4096, 4096, 2048}));
    EXPECT_EQ(h.reads, (std::vector<uint64_t>{DataArea + 100 * Cluster, DataArea + 101 * Cluster, DataArea + 7 * Cluster}));
    EXPECT_EQ(h.destination, Expected(runs, 2 * Cluster + Cluster / 2));
    EXPECT_EQ(h.progress, (std::vector<Call>{{true, 0, 0}, {true, 100, 40}, {true, 101, 80}, {true, 7, 100}}));
}

TEST(CopyLoop, TenClustersReportEveryTenPercent)
{
    Harness h;
    const auto r = h.Run({{10, 50}}, 10 * Cluster);
    EXPECT_TRUE(r.copied);
    ASSERT_EQ(h.progress.size(), 11u);
    for (int i = 1; i <= 10; ++i)
        EXPECT_EQ(h.progress[i], (Call{true, static_cast<uint32_t>(49 + i), 10 * i}));
}

TEST(CopyLoop, SurplusClustersAreReadAndWrittenEmpty)
{
    Harness h;
    const auto r = h.Run({{2, 20}, {2, 30}}, Cluster + 10);
    EXPECT_TRUE(r.copied);
    EXPECT_EQ(h.reads.size(), 4u);
    EXPECT_EQ(h.writes, (std::vector<uint32_t>{4096, 10, 0, 0}));
    EXPECT_EQ(h.progress.back(), (Call{true, 20 + 1, 100}));
}

TEST(CopyLoop, HoleRunsAreNeitherReadNorWritten)
{
    Harness h;
    const std::vector<ClusterExtent> runs{{1, 5}, {2, -1}, {1, 6}};
    const auto r = h.Run(runs, 2 * Cluster);
    EXPECT_TRUE(r.copied);
    EXPECT_EQ(h.reads, (std::vector<uint64_t>{DataArea + 5 * Cluster, DataArea + 6 * Cluster}));
    EXPECT_EQ(h.writes, (std::vector<uint32_t>{4096, 4096}));
    EXPECT_EQ(h.destination, Expected(runs, 2 * Cluster));
}

TEST(CopyLoop, RunsShorterThanTheFileDoNotCount)
{
    Harness h;
    const auto r = h.Run({{1, 5}}, 2 * Cluster);
    EXPECT_FALSE(r.copied);
    EXPECT_FALSE(r.stepFailed);
}

TEST(CopyLoop, CancelBeforeTheFirstClusterReadsNothing)
{
    Harness h;
    h.stopBeforeCluster = 0;
    const auto r = h.Run({{3, 5}}, 3 * Cluster);
    EXPECT_FALSE(r.copied);
    EXPECT_FALSE(r.stepFailed);
    EXPECT_TRUE(h.reads.empty());
    EXPECT_TRUE(h.writes.empty());
    EXPECT_EQ(h.progress, (std::vector<Call>{{true, 0, 0}})) << "no final call after a stop";
}

TEST(CopyLoop, CancelAfterTheLastByteStillSucceeds)
{
    Harness h;
    h.stopBeforeCluster = 1; // before the surplus second cluster
    const auto r = h.Run({{2, 5}}, 100);
    EXPECT_TRUE(r.copied);
    EXPECT_EQ(h.reads.size(), 1u);
}

TEST(CopyLoop, ZeroAnswers)
{
    {
        Harness h;
        h.answerZeroAtCall = 0; // the start call
        const auto r = h.Run({{3, 5}}, 3 * Cluster);
        EXPECT_FALSE(r.copied);
        EXPECT_TRUE(h.reads.empty());
    }
    {
        Harness h;
        h.answerZeroAtCall = 1; // the first percentage
        const auto r = h.Run({{3, 5}}, 3 * Cluster);
        EXPECT_FALSE(r.copied);
        EXPECT_FALSE(r.stepFailed);
        EXPECT_EQ(h.reads.size(), 1u);
        EXPECT_EQ(h.progress.size(), 2u);
    }
    {
        Harness h;
        h.answerZeroAtCall = 3; // the 100 percent call: every byte already written
        const auto r = h.Run({{3, 5}}, 3 * Cluster);
        EXPECT_TRUE(r.copied);
    }
}

TEST(CopyLoop, ReadFailingHalfwayReportsTheLastPercentage)
{
    Harness h;
    h.failReadAt = 5;
    const auto r = h.Run({{10, 40}}, 10 * Cluster);
    EXPECT_FALSE(r.copied);
    EXPECT_TRUE(r.stepFailed);
    EXPECT_EQ(r.error, 23u);
    EXPECT_EQ(h.writes.size(), 5u);
    EXPECT_EQ(h.destination, Expected({{5, 40}}, 5 * Cluster));
    EXPECT_EQ(h.progress.back(), (Call{false, 0, 50}));
    EXPECT_EQ(h.progress.size(), 7u);
}

TEST(CopyLoop, WriteFailureIsAFailedStep)
{
    Harness h;
    std::vector<uint8_t> buffer(Cluster);
    ClusterCopyOps ops = h.Ops();
    ops.write = [](const uint8_t*, uint32_t) -> uint32_t { return 112; };
    const auto r = CopyClusters(std::vector<ClusterExtent>{{2, 1}}, 2 * Cluster, Cluster, 0, buffer.data(), ops,
                                h.Progress());
    EXPECT_TRUE(r.stepFailed);
    EXPECT_EQ(r.error, 112u);
    EXPECT_EQ(h.progress.back(), (Call{false, 0, 0}));
}

TEST(CopyLoop, WithoutCallbackOrEvent)
{
    Harness h;
    std::vector<uint8_t> buffer(Cluster);
    ClusterCopyOps ops = h.Ops();
    ops.stopRequested = nullptr;
    const auto r = CopyClusters(std::vector<ClusterExtent>{{3, 2}}, 3 * Cluster - 1, Cluster, 0, buffer.data(), ops, {});
    EXPECT_TRUE(r.copied);
    EXPECT_EQ(h.writes, (std::vector<uint32_t>{4096, 4096, 4095}));
}

TEST(CopyLoop, PercentOfHugeSizesDoesNotOverflow)
{
    EXPECT_EQ(WholePercent(1, 3), 33);
    EXPECT_EQ(WholePercent(UINT64_MAX / 2, UINT64_MAX), 49);
    EXPECT_EQ(WholePercent(UINT64_MAX, UINT64_MAX), 100);
}
