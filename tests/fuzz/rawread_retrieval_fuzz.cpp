// The extent answer conversion on arbitrary answers: every accepted run list
// must be one the copy loop can follow without leaving the volume.
#include "program/rawread/core/Extents.hpp"
#include "tests/fuzz/Reached.hpp"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    uint32_t totalClusters;
    std::memcpy(&totalClusters, data, 4);
    std::vector<ClusterExtent> runs;
    if (ConvertRetrievalAnswer(data + 4, size - 4, totalClusters, runs) != 0) {
        if (!runs.empty())
            abort();
        return 0;
    }
    if (!runs.empty())
        fuzzreach::Reached();
    if (runs.size() > (size - 4) / RetrievalExtentBytes)
        abort();
    for (const ClusterExtent& run : runs) {
        if (run.clusterCount == 0)
            abort();
        if (run.lcn != -1 && (run.lcn < 0 || uint64_t(run.lcn) + run.clusterCount > totalClusters))
            abort();
    }
    return 0;
}
