// Where a file's bytes lie: the file system's extent answer turned into
// cluster runs, the resident data found in an NTFS file record, and the
// volume byte offset of a cluster. Every byte given here comes from the file
// system (and whatever sits inside it), so each count, offset and length is
// checked against the bytes actually returned before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ClusterExtent {
    uint32_t clusterCount = 0;
    int64_t lcn = 0; // -1: a hole with nothing on disk
};

constexpr std::size_t RetrievalHeaderBytes = 16; // ExtentCount, padding, StartingVcn
constexpr std::size_t RetrievalExtentBytes = 16; // NextVcn, Lcn

// Size in bytes of an extent query buffer with room for one extent per
// cluster of a file of `size` bytes (the most runs it can have). The cluster
// count is kept to its low 32 bits. 0 when the figure does not fit size_t
// or is beyond maxBytes (the caller then reports ERROR_OUTOFMEMORY).
std::size_t RetrievalQueryBytes(uint64_t size, uint32_t bytesPerCluster, std::size_t maxBytes);

// Converts an extent answer of `length` bytes (as many as the query reported
// returned) into runs. Returns 0, or ERROR_INVALID_DATA when the answer:
// is shorter than its header; claims more extents than its bytes hold; has
// a negative StartingVcn; has a NextVcn that does not rise strictly from
// StartingVcn through every extent; has a run longer than 2^32 - 1 clusters;
// or has a run with an Lcn other than -1 that is negative or reaches past
// totalClusters.
uint32_t ConvertRetrievalAnswer(const uint8_t* answer, std::size_t length, uint32_t totalClusters,
                                std::vector<ClusterExtent>& runs);

// Byte offset on the volume of logical cluster lcn: dataAreaOffset + lcn x
// bytesPerCluster, in 64-bit arithmetic.
uint64_t ClusterOffset(uint64_t dataAreaOffset, int64_t lcn, uint32_t bytesPerCluster);

constexpr std::size_t NtfsVolumeDataBytes = 96;
constexpr std::size_t FileRecordOutputHeaderBytes = 12; // FileReferenceNumber, FileRecordLength
constexpr uint32_t MaxFileRecordSegmentBytes = 65536;

// BytesPerFileRecordSegment from an NTFS volume data answer. Returns 0, or
// ERROR_INVALID_DATA when the answer is short or the figure is 0 or above
// MaxFileRecordSegmentBytes.
uint32_t FileRecordSegmentBytes(const uint8_t* volumeData, std::size_t length, uint32_t& segmentBytes);

enum class ResidentLookup {
    Found,     // valueOffset / valueLength name the data inside the answer
    NoData,    // no resident data attribute, or its value is empty
    Malformed, // the answer is not a sound file record (ERROR_INVALID_DATA)
};

struct ResidentValue {
    std::size_t valueOffset = 0; // from the start of the file record answer
    uint32_t valueLength = 0;
};

// Walks the attributes of a file record answer (FileReferenceNumber,
// FileRecordLength, then the record) of `length` bytes, looking for the first
// data attribute (type 0x80). The answer must be the record of fileIndex;
// the walk never reads outside the record's bytes in use, and stops at the
// end marker. A non-resident data attribute holds no resident value.
ResidentLookup FindResidentData(const uint8_t* answer, std::size_t length, uint64_t fileIndex, ResidentValue& value);
