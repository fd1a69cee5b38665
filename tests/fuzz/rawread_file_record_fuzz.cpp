// The NTFS attribute walk on arbitrary file record answers: a value it
// finds lies wholly inside the answer; the copy then reads every byte of it
// (so the sanitizers see any overread).
#include "program/rawread/core/Extents.hpp"
#include "tests/fuzz/Reached.hpp"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size copy, so that reading past the answer is caught.
    std::vector<uint8_t> answer(data, data + size);
    uint64_t reference = 0;
    if (size >= 8)
        std::memcpy(&reference, data, 8);
    ResidentValue value;
    const ResidentLookup lookup = FindResidentData(answer.data(), answer.size(), reference, value);
    if (lookup != ResidentLookup::Found)
        return 0;
    fuzzreach::Reached();
    if (value.valueLength == 0 || value.valueOffset > size || value.valueLength > size - value.valueOffset)
        abort();
    // Reading the value, as the copy does, is what the sanitizers watch.
    const std::vector<uint8_t> copy(answer.begin() + value.valueOffset,
                                    answer.begin() + value.valueOffset + value.valueLength);
    uint32_t segment = 0;
    (void)FileRecordSegmentBytes(answer.data(), answer.size(), segment);
    return 0;
}
