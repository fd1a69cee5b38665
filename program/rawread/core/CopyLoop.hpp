// The cluster copy loop: reads a file's clusters from the volume a whole run
// (up to a buffer's worth) per request, writes them to the destination cut
// to the file's size, reports progress by whole percent, and stops when
// asked to. What the caller sees is what a copy of one cluster at a time
// would show: the same destination bytes, the same progress calls in the
// same order, the same stop and the same failure.
#pragma once

#include "program/rawread/core/Extents.hpp"

#include <cstdint>
#include <functional>
#include <span>

// The three narrow operations the loop needs from its surroundings.
struct ClusterCopyOps {
    // Read exactly `length` bytes (a whole number of clusters) at volume byte
    // `offset` into buffer. Returns 0, or the error code of the failed or
    // short read.
    std::function<uint32_t(uint64_t offset, uint8_t* buffer, uint32_t length)> read;
    // Write `length` bytes (never 0) at destination byte `at`. Returns 0, or
    // the error code of the failed or short write. A write may be made again
    // at the same place after it failed.
    std::function<uint32_t(uint64_t at, const uint8_t* bytes, uint32_t length)> write;
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

// Largest volume request the engine makes, in bytes.
constexpr uint32_t MaxRequestBytes = 1u << 20;

// Bytes of the read buffer for a volume of this cluster size: the most whole
// clusters that fit in MaxRequestBytes, and at least one cluster.
uint32_t RequestBufferBytes(uint32_t bytesPerCluster);

// Copies the clusters of `runs` through `buffer`, which holds at least one
// cluster; each request reads as many clusters of one run as the buffer
// holds. Every cluster is polled for before, as a copy of one cluster at a
// time would poll; the bytes of the file are written before the progress
// call of the cluster that holds them, and no byte past a cluster that
// stopped the copy is written. A request that fails or comes back short is
// read again one cluster at a time, and a write that fails is made again one
// cluster at a time, so the cluster that fails is the one a copy of one
// cluster at a time would fail at.
// Progress calls: (1, 0, 0) before the first cluster, whose zero answer fails
// the copy; (1, cluster, percent) whenever the whole percentage changes, whose
// zero answer stops the copy; (0, 0, last percent) after a failed step.
CopyLoopResult CopyClusters(std::span<const ClusterExtent> runs, uint64_t size, uint32_t bytesPerCluster,
                            uint64_t dataAreaOffset, std::span<uint8_t> buffer, const ClusterCopyOps& ops,
                            const CopyProgress& progress);

// (done x 100) / size without overflow, for any size above 0.
int32_t WholePercent(uint64_t done, uint64_t size);
