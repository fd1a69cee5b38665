// The whole-run copy loop against the one-cluster loop on arbitrary layouts
// (runs, holes, cluster size, file size, request size) and one injected
// fault each: the destination's bytes, the progress calls (and what was
// written at each) and the result must be the same.
#include "tests/fuzz/Reached.hpp"
#include "tests/reference/CopyHarness.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t VolumeBytes = 48u << 20;
constexpr uint64_t MaxClusters = 4096;

bool Volume(uint64_t offset, uint8_t* to, uint32_t length)
{
    static const std::vector<uint8_t> image = [] {
        std::vector<uint8_t> bytes(VolumeBytes);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>((i * 7 + (i >> 12) + (i >> 20)) & 0xFF);
        return bytes;
    }();
    if (offset > image.size() || length > image.size() - offset)
        return false;
    std::memcpy(to, image.data() + offset, length);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    copytest::Layout layout;
    uint32_t bufferBytes = 0;
    copytest::Fault fault;
    if (!copytest::DecodeFuzzInput(data, size, VolumeBytes, MaxClusters, layout, bufferBytes, fault))
        return 0;
    fuzzreach::Reached();
    const copytest::Trace engine = copytest::Run(true, layout, bufferBytes, Volume, fault);
    const copytest::Trace reference = copytest::Run(false, layout, bufferBytes, Volume, fault);
    const std::string difference = copytest::Difference(engine, reference);
    if (!difference.empty()) {
        std::fprintf(stderr, "%s\n", difference.c_str());
        abort();
    }
    // Requests: at most one per buffer's worth of each run, and one per
    // cluster again for a request that failed.
    uint64_t bound = 0;
    const uint64_t perRequest = std::max<uint64_t>(1, bufferBytes / layout.bytesPerCluster);
    for (const ClusterExtent& run : layout.runs)
        if (run.lcn != -1)
            bound += (run.clusterCount + perRequest - 1) / perRequest;
    if (engine.reads.size() > bound + perRequest)
        abort();
    return 0;
}
