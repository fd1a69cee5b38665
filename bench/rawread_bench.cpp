// Benchmark of the raw copy loop (not a test): copies a 64 MiB fragmented
// file out of an NTFS image with 4 KiB clusters through the copy loop, the
// way the engine reads a volume (whole runs, up to 1 MiB per request), and
// through the one-cluster loop it replaced; in the same run extracts it with
// sleuthkit's icat and reads the same bytes with cat. Prints the best of
// several rounds of each, the volume requests and destination writes of
// both loops, and the ratios.
//
//   make bench          (or: build/native/rawread_bench [rounds])

#include "program/rawread/core/CopyLoop.hpp"
#include "program/rawread/core/Extents.hpp"
#include "tests/reference/OneClusterAtATime.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr uint32_t ClusterBytes = 4096;
constexpr uint64_t FileBytes = 64ull << 20;
constexpr int Pieces = 256; // allocated a quarter MiB at a time, a small file between pieces

std::string Capture(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(("export PATH=\"$PATH:/usr/sbin:/sbin\"; " + command).c_str(), "r");
    if (pipe == nullptr)
        return out;
    char chunk[65536];
    std::size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        out.append(chunk, got);
    if (pclose(pipe) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
    return out;
}

void Shell(const std::string& command) { Capture("( " + command + " ) >/dev/null 2>&1"); }

template <typename F>
double BestMilliseconds(int rounds, F run)
{
    double best = 1e300;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const char* parent = std::getenv("TMPDIR");
    std::string name = std::string(parent != nullptr && *parent != '\0' ? parent : "/tmp") + "/rawread-bench.XXXXXX";
    const std::filesystem::path dir = mkdtemp(name.data());
    const std::string image = (dir / "volume.img").string();
    const std::string source = (dir / "big.bin").string();
    const std::string filler = (dir / "filler.bin").string();
    const std::string out = (dir / "out.bin").string();

    std::printf("building a 100 MiB NTFS image (4 KiB clusters) with a %llu MiB fragmented file ...\n",
                static_cast<unsigned long long>(FileBytes >> 20));
    {
        std::vector<char> bytes(FileBytes);
        std::mt19937_64 random(42);
        for (std::size_t i = 0; i < bytes.size(); i += 8) {
            const uint64_t v = random();
            std::copy_n(reinterpret_cast<const char*>(&v), 8, bytes.data() + i);
        }
        std::ofstream(source, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::ofstream(filler, std::ios::binary).write(bytes.data(), ClusterBytes);
    }
    Shell("truncate -s 100M " + image);
    Shell("mkntfs -F -Q -q -c 4096 -s 512 -p 0 -H 0 -S 0 " + image);
    Shell("ntfscp -q " + image + " " + filler + " BIG.SYS");
    const uint64_t piece = FileBytes / Pieces;
    for (int i = 0; i < Pieces; ++i) {
        Shell("ntfsfallocate -o " + std::to_string(i * piece) + " -l " + std::to_string(piece) + " " + image +
              " BIG.SYS");
        Shell("ntfscp -q " + image + " " + filler + " F" + std::to_string(i) + ".BIN");
    }
    Shell("ntfscp -q -f " + image + " " + source + " BIG.SYS");

    const std::string info = Capture("ntfsinfo -v -F /BIG.SYS " + image + " 2>/dev/null");
    std::smatch match;
    std::regex_search(info, match, std::regex("Dumping Inode (\\d+)"));
    const std::string inode = match[1];
    const std::string data = info.substr(info.find("Dumping attribute $DATA (0x80)"));
    std::vector<ClusterExtent> runs;
    const std::regex run("\\n\\s+0x([0-9a-f]+)\\s+0x([0-9a-f]+)\\s+0x([0-9a-f]+)");
    for (auto it = std::sregex_iterator(data.begin(), data.end(), run); it != std::sregex_iterator(); ++it)
        runs.push_back({static_cast<uint32_t>(std::stoul((*it)[3], nullptr, 16)),
                        static_cast<int64_t>(std::stoll((*it)[2], nullptr, 16))});
    std::printf("BIG.SYS: inode %s, %zu runs\n", inode.c_str(), runs.size());

    Shell("cat " + image + " " + source); // warm the page cache for every contender

    // The engine's loop, as it reads a volume device and writes the
    // destination: positioned reads of whole runs, positioned writes.
    struct Counts {
        unsigned requests = 0;
        unsigned writes = 0;
    };
    bool copied = true;
    auto copyFromImage = [&](bool wholeRuns, Counts& counts) {
        const int volume = open(image.c_str(), O_RDONLY);
        const int destination = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        counts = {};
        ClusterCopyOps ops;
        ops.read = [&](uint64_t offset, uint8_t* to, uint32_t length) -> uint32_t {
            ++counts.requests;
            return pread(volume, to, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length) ? 0 : 38;
        };
        ops.write = [&](uint64_t at, const uint8_t* bytes, uint32_t length) -> uint32_t {
            ++counts.writes;
            return pwrite(destination, bytes, length, static_cast<off_t>(at)) == static_cast<ssize_t>(length) ? 0
                                                                                                              : 112;
        };
        ops.stopRequested = [] { return false; };
        const CopyProgress progress = [](bool, uint32_t, int32_t) { return true; };
        std::vector<uint8_t> buffer(wholeRuns ? RequestBufferBytes(ClusterBytes) : ClusterBytes);
        const CopyLoopResult result =
            wholeRuns ? CopyClusters(runs, FileBytes, ClusterBytes, 0, buffer, ops, progress)
                      : reference::CopyOneClusterAtATime(runs, FileBytes, ClusterBytes, 0, buffer.data(), ops, progress);
        copied = result.copied && copied;
        close(destination);
        close(volume);
    };
    Counts whole;
    const double loop = BestMilliseconds(rounds, [&] { copyFromImage(true, whole); });
    Shell("cmp " + out + " " + source);
    Counts oneByOne;
    const double reference = BestMilliseconds(rounds, [&] { copyFromImage(false, oneByOne); });
    Shell("cmp " + out + " " + source);

    // The loop's own cost: the same copy with the image and the destination
    // in memory, so no system call is made.
    std::vector<uint8_t> volumeBytes(std::filesystem::file_size(image));
    std::vector<uint8_t> destinationBytes(FileBytes);
    {
        const int volume = open(image.c_str(), O_RDONLY);
        if (pread(volume, volumeBytes.data(), volumeBytes.size(), 0) != static_cast<ssize_t>(volumeBytes.size()))
            return 1;
        close(volume);
    }
    std::vector<uint8_t> buffer(RequestBufferBytes(ClusterBytes));
    const double inMemory = BestMilliseconds(rounds, [&] {
        ClusterCopyOps ops;
        ops.read = [&](uint64_t offset, uint8_t* to, uint32_t length) -> uint32_t {
            std::copy_n(volumeBytes.data() + offset, length, to);
            return 0;
        };
        ops.write = [&](uint64_t at, const uint8_t* bytes, uint32_t length) -> uint32_t {
            std::copy_n(bytes, length, destinationBytes.data() + at);
            return 0;
        };
        ops.stopRequested = [] { return false; };
        const CopyProgress progress = [](bool, uint32_t, int32_t) { return true; };
        copied = CopyClusters(runs, FileBytes, ClusterBytes, 0, buffer, ops, progress).copied && copied;
    });
    const double icat = BestMilliseconds(rounds, [&] { Shell("icat " + image + " " + inode + " > " + out); });
    Shell("cmp " + out + " " + source);
    const double cat = BestMilliseconds(rounds, [&] { Shell("cat " + source + " > " + out); });

    auto rate = [](double ms) { return (FileBytes / 1048576.0) / (ms / 1000.0); };
    const unsigned bound = static_cast<unsigned>(runs.size() + FileBytes / MaxRequestBytes + 1);
    std::printf("copy loop, whole runs   : %8.1f ms  %7.0f MiB/s  %6u volume requests  %6u destination writes%s\n",
                loop, rate(loop), whole.requests, whole.writes, copied ? "" : "  (INCOMPLETE)");
    std::printf("copy loop, one cluster  : %8.1f ms  %7.0f MiB/s  %6u volume requests  %6u destination writes\n",
                reference, rate(reference), oneByOne.requests, oneByOne.writes);
    std::printf("copy loop in memory (no system calls): %.1f ms\n", inMemory);
    std::printf("icat                    : %8.1f ms  %7.0f MiB/s\n", icat, rate(icat));
    std::printf("cat                     : %8.1f ms  %7.0f MiB/s\n", cat, rate(cat));
    std::printf("whole runs / icat = %.2f   whole runs / cat = %.2f   (goal: at most 1.2)\n", loop / icat, loop / cat);
    std::printf("one cluster / icat = %.2f  one cluster / cat = %.2f  one cluster / whole runs = %.1f\n",
                reference / icat, reference / cat, reference / loop);
    std::printf("volume requests: %u, at most runs + size / 1 MiB + 1 = %u: %s\n", whole.requests, bound,
                whole.requests <= bound ? "yes" : "NO");
    std::filesystem::remove_all(dir);
    return copied ? 0 : 1;
}
