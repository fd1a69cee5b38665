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

uint32_t RequestBufferBytes(uint32_t bytesPerCluster)
{
    if (bytesPerCluster == 0 || bytesPerCluster >= MaxRequestBytes)
        return bytesPerCluster;
    return MaxRequestBytes / bytesPerCluster * bytesPerCluster;
}

namespace {

// One copy's state. `written` is how many bytes of the file are in the
// destination; every cluster before the one being copied has been written,
// so it is also where the next cluster's bytes go.
struct Copier {
    std::span<const ClusterExtent> runs;
    uint64_t size;
    uint32_t bytesPerCluster;
    uint64_t dataAreaOffset;
    std::span<uint8_t> buffer;
    const ClusterCopyOps& ops;
    const CopyProgress& progress;

    uint64_t written = 0;
    int32_t reported = 0;
    bool stopped = false;
    CopyLoopResult result;

    // The bytes of the file in a cluster that begins at file byte `at`.
    uint32_t FileBytesAt(uint64_t at) const
    {
        return static_cast<uint32_t>(std::min<uint64_t>(size - std::min(at, size), bytesPerCluster));
    }

    bool GoOn()
    {
        if (ops.stopRequested && ops.stopRequested())
            stopped = true;
        return !stopped;
    }

    bool Fail(uint32_t error)
    {
        result.stepFailed = true;
        result.error = error;
        return false;
    }

    // After the cluster `lcn` is in the destination: the progress call when
    // the whole percentage changed. False when the answer stops the copy.
    bool Reported(int64_t lcn)
    {
        const int32_t percent = WholePercent(written, size);
        if (percent == reported)
            return true;
        reported = percent;
        if (progress && !progress(true, static_cast<uint32_t>(lcn), percent))
            stopped = true;
        return !stopped;
    }

    // Writes the file's bytes of `clusters` clusters held at `bytes`, in one
    // write; when that fails, one cluster at a time, so that the failure is
    // that of the first cluster whose write fails.
    bool WriteClusters(const uint8_t* bytes, uint32_t clusters)
    {
        const uint64_t length = std::min<uint64_t>(size - std::min(written, size),
                                                   uint64_t(clusters) * bytesPerCluster);
        if (length == 0)
            return true;
        if (ops.write(written, bytes, static_cast<uint32_t>(length)) == 0) {
            written += length;
            return true;
        }
        for (uint32_t k = 0; k < clusters; ++k) {
            const uint32_t part = FileBytesAt(written);
            if (part == 0)
                break;
            if (const uint32_t error = ops.write(written, bytes + uint64_t(k) * bytesPerCluster, part))
                return Fail(error);
            written += part;
        }
        return true;
    }

    // One cluster read and written on its own (its poll already made).
    bool CopyOne(int64_t lcn)
    {
        std::memset(buffer.data(), 0, bytesPerCluster);
        if (const uint32_t error = ops.read(ClusterOffset(dataAreaOffset, lcn, bytesPerCluster), buffer.data(),
                                            bytesPerCluster))
            return Fail(error);
        return WriteClusters(buffer.data(), 1) && Reported(lcn);
    }

    // `count` clusters from `lcn` in one request (the poll of the first one
    // already made). The bytes read are written in as few writes as the
    // progress calls allow: each call is made once the bytes up to its
    // cluster are written, and a stop writes nothing past its cluster.
    bool CopyRequest(int64_t lcn, uint32_t count)
    {
        if (ops.read(ClusterOffset(dataAreaOffset, lcn, bytesPerCluster), buffer.data(), count * bytesPerCluster) !=
            0) {
            // Again one cluster at a time, to find the one that fails.
            for (uint32_t k = 0; k < count; ++k)
                if ((k > 0 && !GoOn()) || !CopyOne(lcn + k))
                    return false;
            return true;
        }
        uint32_t pending = 0; // first cluster of the request not yet written
        uint64_t end = written;
        for (uint32_t k = 0; k < count; ++k) {
            if (k > 0 && !GoOn()) {
                WriteClusters(buffer.data() + uint64_t(pending) * bytesPerCluster, k - pending);
                return false;
            }
            end += FileBytesAt(end);
            if (WholePercent(end, size) != reported) {
                if (!WriteClusters(buffer.data() + uint64_t(pending) * bytesPerCluster, k + 1 - pending))
                    return false;
                pending = k + 1;
                if (!Reported(lcn + k))
                    return false;
            }
        }
        return WriteClusters(buffer.data() + uint64_t(pending) * bytesPerCluster, count - pending);
    }

    // A run of holes: nothing read or written, each cluster polled for.
    bool SkipHoles(const ClusterExtent& run)
    {
        for (uint32_t j = 0; j < run.clusterCount; ++j)
            if (!GoOn() || !Reported(run.lcn + j))
                return false;
        return true;
    }

    bool CopyRun(const ClusterExtent& run)
    {
        if (run.lcn == -1)
            return SkipHoles(run);
        const uint32_t perRequest = static_cast<uint32_t>(
            std::clamp<uint64_t>(buffer.size() / bytesPerCluster, 1, UINT32_MAX / bytesPerCluster));
        for (uint32_t j = 0; j < run.clusterCount;) {
            const uint32_t count = std::min(perRequest, run.clusterCount - j);
            if (!GoOn() || !CopyRequest(run.lcn + j, count))
                return false;
            j += count;
        }
        return true;
    }

    CopyLoopResult Run()
    {
        if (progress && !progress(true, 0, 0))
            return result;
        if (bytesPerCluster == 0 || buffer.size() < bytesPerCluster) {
            Fail(87); // ERROR_INVALID_PARAMETER: no room for one cluster
            return result;
        }
        for (const ClusterExtent& run : runs)
            if (!CopyRun(run))
                break;
        if (result.stepFailed) {
            if (progress)
                progress(false, 0, WholePercent(written, size));
            return result;
        }
        result.copied = written == size;
        return result;
    }
};

} // namespace

CopyLoopResult CopyClusters(std::span<const ClusterExtent> runs, uint64_t size, uint32_t bytesPerCluster,
                            uint64_t dataAreaOffset, std::span<uint8_t> buffer, const ClusterCopyOps& ops,
                            const CopyProgress& progress)
{
    Copier copier{runs, size, bytesPerCluster, dataAreaOffset, buffer, ops, progress, 0, 0, false, {}};
    return copier.Run();
}
