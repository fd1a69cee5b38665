// Runs the whole-run copy loop or the one-cluster reference over a volume
// with injected faults, and records everything a caller of the engine sees:
// the destination's bytes, every progress call and the result. The
// differential tests (native, images) and the copy loop's fuzz target
// compare the two records.
#pragma once

#include "program/rawread/core/CopyLoop.hpp"
#include "tests/reference/OneClusterAtATime.hpp"

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace copytest {

// Where and how the copy is made to fail or stop. Every fault belongs to a
// place (a cluster, a destination byte, a call, a poll), never to a request,
// so that both loops meet it at the same cluster.
struct Fault {
    std::string name = "none";
    int64_t badLcn = std::numeric_limits<int64_t>::min(); // a read that covers it fails
    bool shortRead = false;  // ... by coming back short (the bytes before it read) instead of failing
    uint32_t readError = 23; // ERROR_CRC
    uint64_t fullAt = std::numeric_limits<uint64_t>::max(); // a write reaching past this byte fails
    bool writesPartly = true; // ... after writing the bytes before it
    int zeroAnswerAt = -1;    // index of the progress call answered 0 (0: the start call)
    int cancelAtPoll = -1;    // from this poll on, the event is signalled
    int cancelDuringCall = -1; // the progress call of this index signals the event
};

struct Call {
    bool status;
    uint32_t argument;
    int32_t extra;
    bool operator==(const Call&) const = default;
};

struct Trace {
    std::vector<uint8_t> destination;
    std::vector<Call> calls;
    std::vector<std::size_t> bytesAtCall; // how much of the destination was written at each call
    CopyLoopResult result;
    struct Read {
        uint64_t offset;
        uint32_t length;
        bool operator==(const Read&) const = default;
    };
    std::vector<Read> reads;      // every volume request
    std::vector<uint32_t> writes; // the length of every destination write
    bool gap = false; // a write began past the bytes already written
};

// Fills `length` bytes at volume byte `offset`; false when the volume ends.
using VolumeBytes = std::function<bool(uint64_t offset, uint8_t* to, uint32_t length)>;

struct Layout {
    std::vector<ClusterExtent> runs;
    uint64_t size = 0;
    uint32_t bytesPerCluster = 0;
    uint64_t dataAreaOffset = 0;
};

// wholeRuns: the engine with a buffer of bufferBytes; otherwise the
// reference, one cluster at a time.
inline Trace Run(bool wholeRuns, const Layout& layout, uint32_t bufferBytes, const VolumeBytes& volume,
                 const Fault& fault)
{
    Trace trace;
    trace.destination.reserve(std::min<uint64_t>(layout.size, 4u << 20));
    const uint64_t bad = fault.badLcn == std::numeric_limits<int64_t>::min()
                             ? std::numeric_limits<uint64_t>::max()
                             : ClusterOffset(layout.dataAreaOffset, fault.badLcn, layout.bytesPerCluster);
    int polls = 0;
    bool signalled = false;
    ClusterCopyOps ops;
    ops.read = [&](uint64_t offset, uint8_t* to, uint32_t length) -> uint32_t {
        trace.reads.push_back({offset, length});
        if (bad >= offset && bad - offset < length) {
            if (!fault.shortRead)
                return fault.readError;
            volume(offset, to, static_cast<uint32_t>(bad - offset));
            return 38; // ERROR_HANDLE_EOF: what the engine reports for a short read
        }
        return volume(offset, to, length) ? 0u : 38u;
    };
    ops.write = [&](uint64_t at, const uint8_t* bytes, uint32_t length) -> uint32_t {
        trace.writes.push_back(length);
        if (at > trace.destination.size()) {
            trace.gap = true;
            return 1;
        }
        uint64_t end = at + length;
        const bool full = end > fault.fullAt;
        if (full)
            end = fault.writesPartly ? std::max<uint64_t>(at, fault.fullAt) : at;
        if (end > trace.destination.size())
            trace.destination.resize(end);
        std::copy(bytes, bytes + (end - at), trace.destination.begin() + static_cast<std::ptrdiff_t>(at));
        return full ? 112u : 0u; // ERROR_DISK_FULL
    };
    ops.stopRequested = [&] {
        if (polls++ == fault.cancelAtPoll)
            signalled = true;
        return signalled;
    };
    const CopyProgress progress = [&](bool status, uint32_t argument, int32_t extra) {
        const int index = static_cast<int>(trace.calls.size());
        trace.calls.push_back({status, argument, extra});
        trace.bytesAtCall.push_back(trace.destination.size());
        if (index == fault.cancelDuringCall)
            signalled = true;
        return index != fault.zeroAnswerAt;
    };
    if (wholeRuns) {
        std::vector<uint8_t> buffer(bufferBytes);
        trace.result = CopyClusters(layout.runs, layout.size, layout.bytesPerCluster, layout.dataAreaOffset, buffer,
                                    ops, progress);
    } else {
        std::vector<uint8_t> buffer(layout.bytesPerCluster);
        trace.result = reference::CopyOneClusterAtATime(layout.runs, layout.size, layout.bytesPerCluster,
                                                        layout.dataAreaOffset, buffer.data(), ops, progress);
    }
    return trace;
}

// The clusters of the layout in file order (-1 for each hole), with the
// file byte at which each one's bytes go.
struct PlacedCluster {
    int64_t lcn;
    uint64_t fileOffset;
};
inline std::vector<PlacedCluster> ClustersOf(const Layout& layout)
{
    std::vector<PlacedCluster> clusters;
    uint64_t at = 0;
    for (const ClusterExtent& run : layout.runs)
        for (uint32_t j = 0; j < run.clusterCount; ++j) {
            clusters.push_back({run.lcn == -1 ? -1 : run.lcn + j, at});
            if (run.lcn != -1)
                at += layout.bytesPerCluster;
        }
    return clusters;
}

// A table of faults for a layout: reads failing and coming back short at the
// first, a middle and the last cluster of a request (the engine's requests
// for this buffer), at the first, middle and last request; writes failing
// inside those clusters; zero answers and the cancel event at the start, in
// the middle and at the end.
inline std::vector<Fault> FaultsFor(const Layout& layout, uint32_t bufferBytes)
{
    const uint32_t perRequest = std::max<uint32_t>(1, bufferBytes / layout.bytesPerCluster);
    struct Request {
        int64_t lcn;
        uint32_t count;
        uint64_t fileOffset;
    };
    std::vector<Request> requests;
    uint64_t at = 0;
    for (const ClusterExtent& run : layout.runs) {
        if (run.lcn == -1)
            continue;
        for (uint32_t j = 0; j < run.clusterCount; j += perRequest) {
            const uint32_t count = std::min(perRequest, run.clusterCount - j);
            requests.push_back({run.lcn + j, count, at});
            at += uint64_t(count) * layout.bytesPerCluster;
        }
    }
    std::vector<Fault> faults{Fault{}};
    if (requests.empty())
        return faults;
    const std::size_t picks[] = {0, requests.size() / 2, requests.size() - 1};
    for (std::size_t r : picks) {
        const Request& request = requests[r];
        const uint32_t places[] = {0, request.count / 2, request.count - 1};
        const char* placeNames[] = {"first", "middle", "last"};
        for (int p = 0; p < 3; ++p) {
            const std::string where = std::string(placeNames[p]) + " cluster of request " + std::to_string(r);
            Fault read;
            read.name = "read failing at the " + where;
            read.badLcn = request.lcn + places[p];
            faults.push_back(read);
            read.name = "read short at the " + where;
            read.shortRead = true;
            faults.push_back(read);
            Fault write;
            write.name = "write failing inside the " + where;
            write.fullAt = request.fileOffset + uint64_t(places[p]) * layout.bytesPerCluster + 1;
            faults.push_back(write);
            write.name = "write failing whole at the start of the " + where;
            write.fullAt -= 1;
            write.writesPartly = false;
            faults.push_back(write);
        }
    }
    const int clusters = static_cast<int>(ClustersOf(layout).size());
    for (int at : {0, 1, 2, clusters / 2, clusters - 1, clusters, clusters + 1}) {
        Fault zero;
        zero.name = "zero answer at call " + std::to_string(at);
        zero.zeroAnswerAt = at;
        faults.push_back(zero);
        Fault cancel;
        cancel.name = "event signalled at poll " + std::to_string(at);
        cancel.cancelAtPoll = at;
        faults.push_back(cancel);
        cancel.name = "event signalled during call " + std::to_string(at);
        cancel.cancelAtPoll = -1;
        cancel.cancelDuringCall = at;
        faults.push_back(cancel);
    }
    return faults;
}

// What differs between the engine's record and the reference's, or "".
inline std::string Difference(const Trace& engine, const Trace& reference)
{
    if (engine.gap)
        return "the engine wrote past the bytes already written";
    if (engine.destination != reference.destination)
        return "destination differs: " + std::to_string(engine.destination.size()) + " bytes against " +
               std::to_string(reference.destination.size());
    if (engine.calls.size() != reference.calls.size())
        return "progress calls: " + std::to_string(engine.calls.size()) + " against " +
               std::to_string(reference.calls.size());
    for (std::size_t i = 0; i < engine.calls.size(); ++i)
        if (!(engine.calls[i] == reference.calls[i]))
            return "progress call " + std::to_string(i) + " differs: (" + std::to_string(engine.calls[i].status) +
                   ", " + std::to_string(engine.calls[i].argument) + ", " + std::to_string(engine.calls[i].extra) +
                   ") against (" + std::to_string(reference.calls[i].status) + ", " +
                   std::to_string(reference.calls[i].argument) + ", " + std::to_string(reference.calls[i].extra) + ")";
    for (std::size_t i = 0; i < engine.calls.size(); ++i)
        if (engine.bytesAtCall[i] != reference.bytesAtCall[i])
            return "at progress call " + std::to_string(i) + " the destination held " +
                   std::to_string(engine.bytesAtCall[i]) + " bytes against " + std::to_string(reference.bytesAtCall[i]);
    if (engine.result.copied != reference.result.copied || engine.result.stepFailed != reference.result.stepFailed ||
        engine.result.error != reference.result.error)
        return "result differs: copied " + std::to_string(engine.result.copied) + "/" +
               std::to_string(reference.result.copied) + ", failed " + std::to_string(engine.result.stepFailed) +
               "/" + std::to_string(reference.result.stepFailed) + ", error " + std::to_string(engine.result.error) +
               "/" + std::to_string(reference.result.error);
    return "";
}

// The copy loop's fuzz input: a layout, a request buffer and one fault.
//   [0] cluster size as a shift above 512 (0..7)   [1] clusters per request, modulo 64 (0: the engine's)
//   [2] fault kind (FuzzFault)  [3..6] its place    [7..14] file size   [15..18] data area offset
//   then runs of 12 bytes each: cluster count (u32), lcn (i64, -1 for a hole)
enum FuzzFault : uint8_t {
    FuzzNone, FuzzReadFails, FuzzReadShort, FuzzWriteFailsPartly, FuzzWriteFailsWhole, FuzzZeroAnswer,
    FuzzCancelAtPoll, FuzzCancelDuringCall, FuzzFaultKinds
};
constexpr std::size_t FuzzHeaderBytes = 19;
constexpr std::size_t FuzzRunBytes = 12;

inline std::vector<uint8_t> EncodeFuzzInput(const Layout& layout, uint8_t requestClusters, uint8_t kind,
                                            uint32_t place)
{
    std::vector<uint8_t> bytes;
    auto put = [&](uint64_t value, int width) {
        for (int i = 0; i < width; ++i)
            bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    };
    uint8_t shift = 0;
    while ((512u << shift) < layout.bytesPerCluster)
        ++shift;
    put(shift, 1);
    put(requestClusters, 1);
    put(kind, 1);
    put(place, 4);
    put(layout.size, 8);
    put(layout.dataAreaOffset, 4);
    for (const ClusterExtent& run : layout.runs) {
        put(run.clusterCount, 4);
        put(static_cast<uint64_t>(run.lcn), 8);
    }
    return bytes;
}

// Decodes a fuzz input (bytes after the last whole run are left out); false when it is not one (a shift above 7, an lcn
// below -1, a cluster outside volumeBytes, more than maxClusters in all).
inline bool DecodeFuzzInput(const uint8_t* data, std::size_t length, uint64_t volumeBytes, uint64_t maxClusters,
                            Layout& layout, uint32_t& bufferBytes, Fault& fault)
{
    if (length < FuzzHeaderBytes || data[0] > 7)
        return false;
    length -= (length - FuzzHeaderBytes) % FuzzRunBytes; // a partial run at the end is left out
    auto get = [&](std::size_t at, int width) {
        uint64_t value = 0;
        for (int i = width - 1; i >= 0; --i)
            value = (value << 8) | data[at + i];
        return value;
    };
    layout = Layout{};
    layout.bytesPerCluster = 512u << data[0];
    layout.size = get(7, 8);
    layout.dataAreaOffset = get(15, 4);
    uint64_t clusters = 0;
    for (std::size_t at = FuzzHeaderBytes; at < length; at += FuzzRunBytes) {
        const ClusterExtent run{static_cast<uint32_t>(get(at, 4)), static_cast<int64_t>(get(at + 4, 8))};
        clusters += run.clusterCount;
        if (clusters > maxClusters || run.lcn < -1)
            return false;
        if (run.lcn != -1 && (uint64_t(run.lcn) + run.clusterCount > volumeBytes / layout.bytesPerCluster ||
                              ClusterOffset(layout.dataAreaOffset, run.lcn + run.clusterCount, layout.bytesPerCluster) >
                                  volumeBytes))
            return false;
        layout.runs.push_back(run);
    }
    if (layout.size > (clusters + 2) * layout.bytesPerCluster)
        return false;
    bufferBytes = data[1] % 64 == 0 ? RequestBufferBytes(layout.bytesPerCluster) : data[1] % 64 * layout.bytesPerCluster;

    const uint32_t place = static_cast<uint32_t>(get(3, 4));
    const std::vector<PlacedCluster> placed = ClustersOf(layout);
    fault = Fault{};
    switch (data[2] % FuzzFaultKinds) {
    case FuzzReadFails:
    case FuzzReadShort:
        if (!placed.empty())
            fault.badLcn = placed[place % placed.size()].lcn;
        fault.shortRead = data[2] % FuzzFaultKinds == FuzzReadShort;
        break;
    case FuzzWriteFailsPartly:
    case FuzzWriteFailsWhole:
        fault.fullAt = place % (layout.size + 1);
        fault.writesPartly = data[2] % FuzzFaultKinds == FuzzWriteFailsPartly;
        break;
    case FuzzZeroAnswer:
        fault.zeroAnswerAt = static_cast<int>(place % (placed.size() + 3));
        break;
    case FuzzCancelAtPoll:
        fault.cancelAtPoll = static_cast<int>(place % (placed.size() + 3));
        break;
    case FuzzCancelDuringCall:
        fault.cancelDuringCall = static_cast<int>(place % (placed.size() + 3));
        break;
    default:
        break;
    }
    return true;
}

} // namespace copytest
