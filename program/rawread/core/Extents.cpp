#include "program/rawread/core/Extents.hpp"

#include "program/rawread/core/RawErrors.hpp"

#include <limits>

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Le64(const uint8_t* p) { return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32); }

constexpr uint32_t DataAttribute = 0x80;
constexpr uint32_t EndMarker = 0xFFFFFFFFu;

} // namespace

std::size_t RetrievalQueryBytes(uint64_t size, uint32_t bytesPerCluster, std::size_t maxBytes)
{
    if (bytesPerCluster == 0)
        return 0;
    // Rounded up without the overflow of size + bytesPerCluster - 1.
    const uint64_t clusters = size / bytesPerCluster + (size % bytesPerCluster != 0 ? 1 : 0);
    const uint64_t capacity = static_cast<uint32_t>(clusters);
    const uint64_t bytes = capacity * RetrievalExtentBytes + RetrievalHeaderBytes;
    if (bytes > maxBytes || bytes > std::numeric_limits<std::size_t>::max())
        return 0;
    return static_cast<std::size_t>(bytes);
}

uint32_t ConvertRetrievalAnswer(const uint8_t* answer, std::size_t length, uint32_t totalClusters,
                                std::vector<ClusterExtent>& runs)
{
    runs.clear();
    if (answer == nullptr || length < RetrievalHeaderBytes)
        return RawError::InvalidData;
    const uint32_t extentCount = Le32(answer);
    if (extentCount > (length - RetrievalHeaderBytes) / RetrievalExtentBytes)
        return RawError::InvalidData;
    const int64_t startingVcn = static_cast<int64_t>(Le64(answer + 8));
    if (startingVcn < 0)
        return RawError::InvalidData;

    std::vector<ClusterExtent> converted;
    converted.reserve(extentCount);
    int64_t previous = startingVcn;
    for (uint32_t i = 0; i < extentCount; ++i) {
        const uint8_t* extent = answer + RetrievalHeaderBytes + static_cast<std::size_t>(i) * RetrievalExtentBytes;
        const int64_t nextVcn = static_cast<int64_t>(Le64(extent));
        const int64_t lcn = static_cast<int64_t>(Le64(extent + 8));
        if (nextVcn <= previous)
            return RawError::InvalidData;
        const uint64_t count = static_cast<uint64_t>(nextVcn) - static_cast<uint64_t>(previous);
        if (count > 0xFFFFFFFFu)
            return RawError::InvalidData;
        if (lcn != -1 && (lcn < 0 || static_cast<uint64_t>(lcn) > totalClusters ||
                          count > totalClusters - static_cast<uint64_t>(lcn)))
            return RawError::InvalidData;
        converted.push_back(ClusterExtent{static_cast<uint32_t>(count), lcn});
        previous = nextVcn;
    }
    runs = std::move(converted);
    return RawError::Success;
}

uint64_t ClusterOffset(uint64_t dataAreaOffset, int64_t lcn, uint32_t bytesPerCluster)
{
    return dataAreaOffset + static_cast<uint64_t>(lcn) * bytesPerCluster;
}

uint32_t FileRecordSegmentBytes(const uint8_t* volumeData, std::size_t length, uint32_t& segmentBytes)
{
    segmentBytes = 0;
    if (volumeData == nullptr || length < NtfsVolumeDataBytes)
        return RawError::InvalidData;
    const uint32_t bytes = Le32(volumeData + 48);
    if (bytes == 0 || bytes > MaxFileRecordSegmentBytes)
        return RawError::InvalidData;
    segmentBytes = bytes;
    return RawError::Success;
}

ResidentLookup FindResidentData(const uint8_t* answer, std::size_t length, uint64_t fileIndex, ResidentValue& value)
{
    value = ResidentValue{};
    if (answer == nullptr || length < FileRecordOutputHeaderBytes)
        return ResidentLookup::Malformed;
    // The file system answers with the nearest record in use at or below the
    // one asked for; another file's record must not be taken for this one.
    constexpr uint64_t SegmentNumberMask = 0x0000FFFFFFFFFFFFull;
    if ((Le64(answer) & SegmentNumberMask) != (fileIndex & SegmentNumberMask))
        return ResidentLookup::Malformed;
    const uint32_t recordLength = Le32(answer + 8);
    if (recordLength > length - FileRecordOutputHeaderBytes || recordLength < 28)
        return ResidentLookup::Malformed;
    const uint8_t* record = answer + FileRecordOutputHeaderBytes;

    const uint32_t firstAttribute = Le16(record + 20);
    const uint32_t bytesInUse = Le32(record + 24);
    if (bytesInUse > recordLength)
        return ResidentLookup::Malformed;

    uint32_t position = firstAttribute;
    while (position < bytesInUse) {
        if (bytesInUse - position < 4)
            return ResidentLookup::Malformed;
        const uint32_t type = Le32(record + position);
        if (type == EndMarker)
            return ResidentLookup::NoData;
        if (bytesInUse - position < 8)
            return ResidentLookup::Malformed;
        const uint32_t attributeLength = Le32(record + position + 4);
        if (attributeLength == 0 || attributeLength > bytesInUse - position)
            return ResidentLookup::Malformed;
        if (type == DataAttribute) {
            if (attributeLength < 9)
                return ResidentLookup::Malformed;
            if (record[position + 8] != 0)
                return ResidentLookup::NoData; // non-resident: its data lies in clusters
            if (attributeLength < 22)
                return ResidentLookup::Malformed;
            const uint32_t valueLength = Le32(record + position + 16);
            const uint32_t valueOffset = Le16(record + position + 20);
            if (valueOffset > attributeLength || valueLength > attributeLength - valueOffset)
                return ResidentLookup::Malformed;
            if (valueLength == 0)
                return ResidentLookup::NoData;
            value.valueOffset = FileRecordOutputHeaderBytes + position + valueOffset;
            value.valueLength = valueLength;
            return ResidentLookup::Found;
        }
        position += attributeLength;
    }
    return ResidentLookup::NoData;
}
