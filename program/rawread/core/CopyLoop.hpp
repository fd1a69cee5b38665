// The cluster copy loop: reads a file's clusters one at a time from the
// volume, writes them to the destination cut to the file's size, reports
// progress by whole percent, and stops when asked to.
#pragma once

#include "program/rawread/core/Extents.hpp"

#include <cstdint>
#include <functional>
#include <span>

// The three narrow operations the loop needs from its surroundings.
struct ClusterCopyOps {
    // Read exactly `length` bytes at volume byte `offset` into buffer.
    // Returns 0, or the error code of the failed or short read.
    std::function<uint32_t(uint64_t offset, uint8_t* buffer, uint32_t length)> readCluster;
    // Write `length` bytes to the destination (length may be 0). Returns 0,
    // or the error code of the failed or short write.
    std::function<uint32_t(const uint8_t* bytes, uint32_t length)> write;
    // Polled before each cluster; true stops the copy. May be empty.
    std::function<bool()> stopRequested;
};

// The caller's progress callback: (status, argument, extra) -> continue.
// May be empty. argument is the low 32 bits of the cluster just copied.
using CopyProgress = std::function<bool(bool status, uint32_t argument, int32_t extra)>;

struct CopyLoopResult {
    bool copied = false;     // no step failed and every byte of size was written
    bool stepFailed = false; // a read or write failed (error holds its code)
    uint32_t error = 0;
};

// buffer holds bytesPerCluster bytes; it is zeroed before each read.
// Progress calls: (1, 0, 0) before the first cluster, whose zero answer fails
// the copy; (1, cluster, percent) whenever the whole percentage changes, whose
// zero answer stops the copy; (0, 0, last percent) after a failed step.
CopyLoopResult CopyClusters(std::span<const ClusterExtent> runs, uint64_t size, uint32_t bytesPerCluster,
                            uint64_t dataAreaOffset, uint8_t* buffer, const ClusterCopyOps& ops,
                            const CopyProgress& progress);

// (done x 100) / size without overflow, for any size above 0.
int32_t WholePercent(uint64_t done, uint64_t size);
