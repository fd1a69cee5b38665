#include "program/rawread/core/Extents.hpp"
#include "program/rawread/core/RawErrors.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

void Put(std::vector<uint8_t>& b, std::size_t at, uint64_t v, int bytes)
{
    if (b.size() < at + bytes)
        b.resize(at + bytes);
    for (int i = 0; i < bytes; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

struct Extent {
    int64_t nextVcn;
    int64_t lcn;
};

std::vector<uint8_t> Answer(uint32_t extentCount, int64_t startingVcn, std::initializer_list<Extent> extents)
{
    std::vector<uint8_t> b(16, 0);
    Put(b, 0, extentCount, 4);
    Put(b, 8, static_cast<uint64_t>(startingVcn), 8);
    std::size_t at = 16;
    for (const Extent& e : extents) {
        Put(b, at, static_cast<uint64_t>(e.nextVcn), 8);
        Put(b, at + 8, static_cast<uint64_t>(e.lcn), 8);
        at += 16;
    }
    return b;
}

std::vector<uint8_t> Answer(int64_t startingVcn, std::initializer_list<Extent> extents)
{
    return Answer(static_cast<uint32_t>(extents.size()), startingVcn, extents);
}

} // namespace

TEST(RetrievalAnswer, ConvertsRunsHolesAndAnOffsetStart)
{
    std::vector<ClusterExtent> runs;
    auto a = Answer(0, {{4, 1000}, {6, -1}, {9, 52}});
    ASSERT_EQ(ConvertRetrievalAnswer(a.data(), a.size(), 100000, runs), 0u);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].clusterCount, 4u);
    EXPECT_EQ(runs[0].lcn, 1000);
    EXPECT_EQ(runs[1].clusterCount, 2u);
    EXPECT_EQ(runs[1].lcn, -1);
    EXPECT_EQ(runs[2].clusterCount, 3u);
    EXPECT_EQ(runs[2].lcn, 52);

    a = Answer(0, {{25, 7}});
    ASSERT_EQ(ConvertRetrievalAnswer(a.data(), a.size(), 100000, runs), 0u);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].clusterCount, 25u);

    a = Answer(10, {{14, 300}});
    ASSERT_EQ(ConvertRetrievalAnswer(a.data(), a.size(), 100000, runs), 0u);
    EXPECT_EQ(runs[0].clusterCount, 4u);

    // A run that ends exactly at the volume's last cluster.
    a = Answer(0, {{10, 99990}});
    EXPECT_EQ(ConvertRetrievalAnswer(a.data(), a.size(), 100000, runs), 0u);

    a = Answer(0, {});
    ASSERT_EQ(ConvertRetrievalAnswer(a.data(), a.size(), 100000, runs), 0u);
    EXPECT_TRUE(runs.empty());
}

TEST(RetrievalAnswer, UntrustworthyAnswersAreInvalidData)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> answer;
    } cases[] = {
        // The answer Wine gives for any file: read literally, 4,294,967,295 clusters.
        {"NextVcn below StartingVcn", Answer(1, {{0, 0}})},
        {"NextVcn equal to previous", Answer(0, {{4, 10}, {4, 20}})},
        {"NextVcn falling", Answer(0, {{4, 10}, {3, 20}})},
        {"negative StartingVcn", Answer(-5, {{4, 10}})},
        {"run over 32 bits", Answer(0, {{0x100000000ll, 0}})},
        {"run past the volume", Answer(0, {{11, 99990}})},
        {"run starting past the volume", Answer(0, {{1, 100000}})},
        {"huge Lcn wrapping", Answer(0, {{2, INT64_MAX}})},
        {"negative Lcn other than -1", Answer(0, {{2, -2}})},
        {"count beyond the bytes", Answer(2, 0, {{4, 10}})},
        {"count far beyond the bytes", Answer(0xFFFFFFFF, 0, {{4, 10}})},
        {"shorter than the header", std::vector<uint8_t>(15, 0)},
    };
    for (auto& c : cases) {
        std::vector<ClusterExtent> runs{{1, 1}};
        EXPECT_EQ(ConvertRetrievalAnswer(c.answer.data(), c.answer.size(), 100000, runs), RawError::InvalidData)
            << c.what;
        EXPECT_TRUE(runs.empty()) << c.what;
    }
}

TEST(RetrievalAnswer, QueryBufferHasRoomForOneExtentPerCluster)
{
    EXPECT_EQ(RetrievalQueryBytes(1, 4096, 1 << 30), 32u);
    EXPECT_EQ(RetrievalQueryBytes(4096, 4096, 1 << 30), 32u);
    EXPECT_EQ(RetrievalQueryBytes(4097, 4096, 1 << 30), 48u);
    EXPECT_EQ(RetrievalQueryBytes(25 * 4096, 4096, 1 << 30), 16u + 25 * 16);
    // 2^64 - 1 clusters keep their low 32 bits: 0xFFFFFFFF extents.
    EXPECT_EQ(RetrievalQueryBytes(UINT64_MAX, 1, UINT64_MAX), 0xFFFFFFFFull * 16 + 16);
    EXPECT_EQ(RetrievalQueryBytes(1ull << 40, 512, 64 << 20), 0u) << "beyond the limit";
    EXPECT_EQ(RetrievalQueryBytes(100, 0, 1 << 30), 0u);
}

TEST(ClusterOffset, FatCountsFromTheDataArea)
{
    EXPECT_EQ(ClusterOffset(33 * 512, 3, 4096), 33u * 512 + 3 * 4096);
    EXPECT_EQ(ClusterOffset(0, 786432, 4096), 786432ull * 4096);
    EXPECT_EQ(ClusterOffset(0, 0x200000, 65536), 0x200000ull * 65536) << "beyond 32 bits";
}

namespace {

// A file record answer: FileReferenceNumber, FileRecordLength, a 1024-byte
// record whose attributes start at 56.
struct RecordBuilder {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(12 + 1024, 0);
    std::size_t position = 56;

    explicit RecordBuilder(uint64_t reference)
    {
        Put(bytes, 0, reference, 8);
        Put(bytes, 8, 1024, 4);
        std::memcpy(bytes.data() + 12, "FILE", 4);
        Put(bytes, 12 + 20, 56, 2);
    }
    RecordBuilder& Attribute(uint32_t type, uint32_t length, uint8_t nonResident, uint32_t valueLength,
                             uint16_t valueOffset, uint8_t fill = 0)
    {
        const std::size_t at = 12 + position;
        Put(bytes, at, type, 4);
        Put(bytes, at + 4, length, 4);
        bytes[at + 8] = nonResident;
        Put(bytes, at + 16, valueLength, 4);
        Put(bytes, at + 20, valueOffset, 2);
        for (uint32_t i = valueOffset; i < length && fill; ++i)
            bytes[at + i] = static_cast<uint8_t>(fill + i - valueOffset);
        position += length;
        return *this;
    }
    RecordBuilder& End()
    {
        Put(bytes, 12 + position, 0xFFFFFFFF, 4);
        position += 8;
        Put(bytes, 12 + 24, position, 4);
        return *this;
    }
};

} // namespace

TEST(FileRecordWalk, FindsTheFirstDataAttributeAfterOthers)
{
    RecordBuilder r(0x0003000000000045ull);
    r.Attribute(0x10, 96, 0, 72, 24).Attribute(0x30, 104, 0, 80, 24).Attribute(0x80, 24 + 304, 0, 300, 24, 1).End();
    ResidentValue value;
    ASSERT_EQ(FindResidentData(r.bytes.data(), r.bytes.size(), 0x0003000000000045ull, value), ResidentLookup::Found);
    EXPECT_EQ(value.valueLength, 300u);
    EXPECT_EQ(value.valueOffset, 12u + 56 + 96 + 104 + 24);
    EXPECT_EQ(r.bytes[value.valueOffset], 1);
    EXPECT_EQ(r.bytes[value.valueOffset + 299], static_cast<uint8_t>(300));
}

TEST(FileRecordWalk, RecordsWithoutResidentDataGiveNoData)
{
    ResidentValue value;
    RecordBuilder nonResident(0x45);
    nonResident.Attribute(0x10, 96, 0, 72, 24).Attribute(0x80, 72, 1, 0, 64).End();
    EXPECT_EQ(FindResidentData(nonResident.bytes.data(), nonResident.bytes.size(), 0x45, value),
              ResidentLookup::NoData);
    // A later piece of a non-resident stream: its lowest VCN (at byte 16)
    // must not be taken for a value length.
    RecordBuilder laterPiece(0x45);
    laterPiece.Attribute(0x80, 72, 1, 40, 24).End();
    EXPECT_EQ(FindResidentData(laterPiece.bytes.data(), laterPiece.bytes.size(), 0x45, value),
              ResidentLookup::NoData);
    RecordBuilder empty(0x45);
    empty.Attribute(0x10, 96, 0, 72, 24).Attribute(0x80, 24, 0, 0, 24).End();
    EXPECT_EQ(FindResidentData(empty.bytes.data(), empty.bytes.size(), 0x45, value), ResidentLookup::NoData);
    RecordBuilder none(0x45);
    none.Attribute(0x10, 96, 0, 72, 24).End();
    EXPECT_EQ(FindResidentData(none.bytes.data(), none.bytes.size(), 0x45, value), ResidentLookup::NoData);
}

TEST(FileRecordWalk, MalformedRecordsAreRefusedWithoutReadingOutside)
{
    struct Case {
        const char* what;
        void (*spoil)(RecordBuilder&);
        std::size_t cut; // bytes removed from the end of the answer
    } cases[] = {
        {"another file's record", [](RecordBuilder& r) { Put(r.bytes, 0, 0x44, 8); }, 0},
        {"zero attribute length", [](RecordBuilder& r) { Put(r.bytes, 12 + 56 + 4, 0, 4); }, 0},
        {"attribute past bytes in use", [](RecordBuilder& r) { Put(r.bytes, 12 + 56 + 4, 2000, 4); }, 0},
        {"bytes in use past the record", [](RecordBuilder& r) { Put(r.bytes, 12 + 24, 1025, 4); }, 0},
        {"record length past the answer", [](RecordBuilder& r) { Put(r.bytes, 8, 1100, 4); }, 0},
        {"answer shorter than its record", [](RecordBuilder&) {}, 1},
        {"value past its attribute", [](RecordBuilder& r) { Put(r.bytes, 12 + 56 + 96 + 16, 305, 4); }, 0},
        {"value offset past its attribute",
         [](RecordBuilder& r) { Put(r.bytes, 12 + 56 + 96 + 20, 400, 2); }, 0},
        {"value length wrapping", [](RecordBuilder& r) { Put(r.bytes, 12 + 56 + 96 + 16, 0xFFFFFFF0, 4); }, 0},
    };
    for (const Case& c : cases) {
        RecordBuilder r(0x45);
        r.Attribute(0x10, 96, 0, 72, 24).Attribute(0x80, 24 + 304, 0, 300, 24, 1).End();
        c.spoil(r);
        r.bytes.resize(r.bytes.size() - c.cut);
        ResidentValue value;
        EXPECT_EQ(FindResidentData(r.bytes.data(), r.bytes.size(), 0x45, value), ResidentLookup::Malformed)
            << c.what;
    }
}

TEST(NtfsVolumeData, RecordSegmentSizeIsBounded)
{
    std::vector<uint8_t> data(96, 0);
    uint32_t bytes = 0;
    Put(data, 48, 1024, 4);
    EXPECT_EQ(FileRecordSegmentBytes(data.data(), data.size(), bytes), 0u);
    EXPECT_EQ(bytes, 1024u);
    EXPECT_EQ(FileRecordSegmentBytes(data.data(), 95, bytes), RawError::InvalidData);
    Put(data, 48, 0, 4);
    EXPECT_EQ(FileRecordSegmentBytes(data.data(), data.size(), bytes), RawError::InvalidData);
    Put(data, 48, 0xFFFFFFF5, 4);
    EXPECT_EQ(FileRecordSegmentBytes(data.data(), data.size(), bytes), RawError::InvalidData);
}
