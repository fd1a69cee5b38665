// The copy loop as it was first built, one cluster per volume read and one
// write per cluster: the reference that the whole-run loop must match in
// every destination byte, progress call, stop and failure.
#pragma once

#include "program/rawread/core/CopyLoop.hpp"

#include <algorithm>
#include <cstring>

namespace reference {

// buffer holds one cluster. The same operations as the whole-run loop: a
// read of one cluster, a write at the file offset reached (skipped when it
// would write nothing), a poll before each cluster.
inline CopyLoopResult CopyOneClusterAtATime(std::span<const ClusterExtent> runs, uint64_t size,
                                            uint32_t bytesPerCluster, uint64_t dataAreaOffset, uint8_t* buffer,
                                            const ClusterCopyOps& ops, const CopyProgress& progress)
{
    CopyLoopResult result;
    uint64_t remaining = size;
    int32_t reported = 0;
    int32_t percent = 0;

    if (progress && !progress(true, 0, 0))
        return result;

    bool stop = false;
    for (const ClusterExtent& run : runs) {
        for (uint32_t j = 0; j < run.clusterCount; ++j) {
            if (ops.stopRequested && ops.stopRequested()) {
                stop = true;
                break;
            }
            const int64_t lcn = run.lcn + j;
            if (run.lcn != -1) {
                std::memset(buffer, 0, bytesPerCluster);
                uint32_t error =
                    ops.read(ClusterOffset(dataAreaOffset, lcn, bytesPerCluster), buffer, bytesPerCluster);
                if (error == 0) {
                    const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(remaining, bytesPerCluster));
                    if (length != 0)
                        error = ops.write(size - remaining, buffer, length);
                    if (error == 0)
                        remaining -= length;
                }
                if (error != 0) {
                    result.stepFailed = true;
                    result.error = error;
                    break;
                }
            }
            percent = WholePercent(size - remaining, size);
            if (percent != reported) {
                reported = percent;
                if (progress && !progress(true, static_cast<uint32_t>(lcn), percent)) {
                    stop = true;
                    break;
                }
            }
        }
        if (stop || result.stepFailed)
            break;
    }

    if (result.stepFailed) {
        if (progress)
            progress(false, 0, percent);
        return result;
    }
    result.copied = remaining == 0;
    return result;
}

} // namespace reference
