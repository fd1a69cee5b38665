#include "program/rawread/core/CopyLoop.hpp"

#include <algorithm>
#include <cstring>

int32_t WholePercent(uint64_t done, uint64_t size)
{
    if (size == 0)
        return 0;
    if (size <= UINT64_MAX / 100)
        return static_cast<int32_t>(done * 100 / size);
    // done x 100 would overflow: multiply the remainder by repeated addition
    // modulo size, which never exceeds 64 bits.
    uint64_t percent = done / size * 100;
    const uint64_t rest = done % size;
    uint64_t accumulated = 0;
    for (int i = 0; i < 100; ++i) {
        if (accumulated >= size - rest) {
            accumulated -= size - rest;
            ++percent;
        } else {
            accumulated += rest;
        }
    }
    return static_cast<int32_t>(percent);
}

CopyLoopResult CopyClusters(std::span<const ClusterExtent> runs, uint64_t size, uint32_t bytesPerCluster,
                            uint64_t dataAreaOffset, uint8_t* buffer, const ClusterCopyOps& ops,
                            const CopyProgress& progress)
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
                uint32_t error = ops.readCluster(ClusterOffset(dataAreaOffset, lcn, bytesPerCluster), buffer,
                                                 bytesPerCluster);
                if (error == 0) {
                    const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(remaining, bytesPerCluster));
                    error = ops.write(buffer, length);
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
