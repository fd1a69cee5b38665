// Helpers of the image tier: a scratch folder, running the file-system tools
// that make, fill and inspect volume images, parsing their answers, and
// reading an image file as a volume.
#pragma once

#include "program/rawread/core/CopyLoop.hpp"
#include "tests/reference/CopyHarness.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace images {

using Bytes = std::vector<uint8_t>;

// A scratch folder removed with everything in it.
struct ScratchFolder {
    std::filesystem::path path;
    ScratchFolder()
    {
        const char* parent = std::getenv("TMPDIR");
        std::string name = std::string(parent != nullptr && *parent != '\0' ? parent : "/tmp")
                           + "/rawread-images.XXXXXX";
        path = mkdtemp(name.data());
    }
    ~ScratchFolder() { std::filesystem::remove_all(path); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

// Runs a shell command; returns its standard output, and fails the test
// when it exits with an error.
inline std::string RunTool(const std::string& command)
{
    const std::string full = "PATH=\"$PATH:/usr/sbin:/sbin\" " + command + " 2>/dev/null";
    std::string output;
    FILE* pipe = popen(full.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return output;
    }
    char chunk[65536];
    std::size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        output.append(chunk, got);
    const int status = pclose(pipe);
    EXPECT_EQ(status, 0) << command;
    return output;
}

inline Bytes AsBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Bytes RandomBytes(std::size_t length, uint32_t seed)
{
    std::mt19937 random(seed);
    Bytes bytes(length);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(random());
    return bytes;
}

inline void WriteHostFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ReadAt(const std::string& image, uint64_t offset, std::size_t length)
{
    Bytes bytes(length);
    const int fd = open(image.c_str(), O_RDONLY);
    const ssize_t got = pread(fd, bytes.data(), length, static_cast<off_t>(offset));
    close(fd);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
}

inline uint64_t Le(const Bytes& b, std::size_t at, int width)
{
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | b.at(at + i);
    return value;
}

// A volume extent as a file-system tool reports it: first cluster and
// length, numbered as the extent query numbers them.
struct Extent {
    int64_t lcn;
    uint64_t length;
};

// The answer a retrieval-pointers query would give for these extents,
// starting at virtual cluster 0.
inline Bytes RetrievalAnswer(const std::vector<Extent>& extents)
{
    Bytes answer(16 + 16 * extents.size(), 0);
    auto put = [&](std::size_t at, uint64_t v) {
        for (int i = 0; i < 8; ++i)
            answer[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put(0, extents.size());
    uint64_t vcn = 0;
    for (std::size_t i = 0; i < extents.size(); ++i) {
        vcn += extents[i].length;
        put(16 + 16 * i, vcn);
        put(16 + 16 * i + 8, static_cast<uint64_t>(extents[i].lcn));
    }
    return answer;
}

// With KORVALE_FUZZ_SEEDS set (scripts/make-fuzz-seeds.sh), an input that
// these tests hand to one of the raw reader's parsers is also written there,
// in the folder of the fuzz target that parses such input: real answers from
// real volumes as the fuzzers' seeds.
inline void SaveFuzzSeed(const std::string& target, const std::string& name, const Bytes& input)
{
    const char* root = std::getenv("KORVALE_FUZZ_SEEDS");
    if (root == nullptr || *root == '\0')
        return;
    const std::filesystem::path folder = std::filesystem::path(root) / target;
    std::filesystem::create_directories(folder);
    WriteHostFile((folder / name).string(), input);
}

// The retrieval fuzz target's input: the volume's cluster count, then the answer.
inline void SaveRetrievalSeed(const std::string& name, uint32_t totalClusters, const Bytes& answer)
{
    Bytes input(4);
    for (int i = 0; i < 4; ++i)
        input[i] = static_cast<uint8_t>(totalClusters >> (8 * i));
    input.insert(input.end(), answer.begin(), answer.end());
    SaveFuzzSeed("rawread_retrieval_fuzz", name, input);
}

// Reads an image file as the engine reads a volume device.
struct ImageVolume {
    int fd;
    explicit ImageVolume(const std::string& image) : fd(open(image.c_str(), O_RDONLY)) {}
    ~ImageVolume() { close(fd); }
    ImageVolume(const ImageVolume&) = delete;
    ImageVolume& operator=(const ImageVolume&) = delete;
    copytest::VolumeBytes Bytes() const
    {
        return [fd = fd](uint64_t offset, uint8_t* to, uint32_t length) {
            return pread(fd, to, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
        };
    }
};

// Copies a file out of an image through the copy loop, with the engine's
// request buffer.
inline Bytes CopyOut(const std::string& image, const std::vector<ClusterExtent>& runs, uint64_t size,
                     uint32_t bytesPerCluster, uint64_t dataAreaOffset, CopyLoopResult* result = nullptr)
{
    const ImageVolume volume(image);
    const copytest::Layout layout{runs, size, bytesPerCluster, dataAreaOffset};
    copytest::Trace trace =
        copytest::Run(true, layout, RequestBufferBytes(bytesPerCluster), volume.Bytes(), copytest::Fault{});
    if (result != nullptr)
        *result = trace.result;
    return std::move(trace.destination);
}

// The whole-run loop against the one-cluster reference over a file of an
// image, under every fault of the table and with requests of one cluster,
// three clusters and the engine's size: the file as it lies; as a sparse
// file (a hole after its first run, its size the bytes it has on disk); and
// with its allocation reaching past a size cut short. Each layout is also
// kept as a seed of the copy loop's fuzz target.
inline void ExpectSameAsOneClusterLoop(const std::string& image, const std::string& name,
                                       const std::vector<ClusterExtent>& runs, uint64_t size,
                                       uint32_t bytesPerCluster, uint64_t dataAreaOffset)
{
    const ImageVolume volume(image);
    uint64_t clusters = 0;
    for (const ClusterExtent& run : runs)
        clusters += run.clusterCount;
    std::vector<std::pair<std::string, copytest::Layout>> layouts{
        {"as-it-lies", {runs, size, bytesPerCluster, dataAreaOffset}}};
    std::vector<ClusterExtent> sparse = runs;
    sparse.insert(sparse.begin() + 1, ClusterExtent{2, -1});
    layouts.push_back({"sparse", {sparse, clusters * bytesPerCluster, bytesPerCluster, dataAreaOffset}});
    if (size > bytesPerCluster + 3)
        layouts.push_back({"allocated-past-the-end", {runs, size - bytesPerCluster - 3, bytesPerCluster, dataAreaOffset}});

    for (const auto& [variant, layout] : layouts) {
        // Each seed with a fault of its own kind, in turn, in the middle of the file.
        static uint8_t nextKind = 0;
        const uint8_t kind = nextKind++ % copytest::FuzzFaultKinds;
        SaveFuzzSeed("rawread_copy_fuzz", name + "-" + variant,
                     copytest::EncodeFuzzInput(layout, 3, kind, static_cast<uint32_t>(
                         kind == copytest::FuzzWriteFailsPartly || kind == copytest::FuzzWriteFailsWhole
                             ? layout.size / 2 : clusters / 2)));
        for (uint32_t bufferBytes : {bytesPerCluster, 3 * bytesPerCluster, RequestBufferBytes(bytesPerCluster)})
            for (const copytest::Fault& fault : copytest::FaultsFor(layout, bufferBytes)) {
                const copytest::Trace engine = copytest::Run(true, layout, bufferBytes, volume.Bytes(), fault);
                const copytest::Trace reference = copytest::Run(false, layout, bufferBytes, volume.Bytes(), fault);
                EXPECT_EQ(copytest::Difference(engine, reference), "")
                    << name << " " << variant << ", buffer of " << bufferBytes << " bytes, " << fault.name;
                if (fault.name == "none")
                    EXPECT_TRUE(engine.result.copied) << name << " " << variant;
            }
    }
}

} // namespace images
