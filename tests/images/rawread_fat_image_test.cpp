// The raw reader's core against real FAT12, FAT16 and FAT32 volumes made by
// mkfs.fat and filled (and fragmented) with mtools. mshowfat gives each
// file's cluster chain; mtype and sleuthkit's icat give its contents.

#include "ImageTools.hpp"

#include "program/rawread/core/BootSector.hpp"
#include "program/rawread/core/Extents.hpp"

#include <map>

using namespace images;

namespace {

struct FatLayout {
    const char* name;
    const char* mkfsOptions;
    unsigned sizeKiB;
    FileSystemKind kind;
};

std::ostream& operator<<(std::ostream& out, const FatLayout& layout) { return out << layout.name; }

const FatLayout Layouts[] = {
    {"Fat12Floppy", "-F 12 -f 2 -r 224 -s 1 -S 512 -M 0xF0", 1440, FsFat12},
    {"Fat16", "-F 16 -s 4 -S 512", 16384, FsFat16},
    {"Fat32", "-F 32 -s 1 -S 512", 40960, FsFat32},
};

struct ImageFile {
    Bytes content;
    std::vector<Extent> extents; // from mshowfat, numbered from the data area
};

class FatImage : public ::testing::TestWithParam<FatLayout> {
protected:
    ScratchFolder scratch;
    std::string image;
    FatBootSector boot;
    uint32_t clusterBytes = 0;
    uint32_t totalClusters = 0;
    std::map<std::string, ImageFile> files;

    void SetUp() override
    {
        image = scratch / "volume.img";
        RunTool("mkfs.fat -C " + std::string(GetParam().mkfsOptions) + " " + image + " " +
            std::to_string(GetParam().sizeKiB));
        const Bytes sector = ReadAt(image, 0, 512);
        ASSERT_EQ(ParseFatBootSector(sector.data(), sector.size(), boot), 0u);
        SaveFuzzSeed("rawread_boot_sector_fuzz", GetParam().name, sector);
        clusterBytes = boot.bytesPerSector * sector[13];
        const uint64_t totalSectors = Le(sector, 19, 2) != 0 ? Le(sector, 19, 2) : Le(sector, 32, 4);
        totalClusters = static_cast<uint32_t>((totalSectors - boot.firstDataSector) / sector[13]);

        // Fill, then delete and refill so that FRAG.SYS lies in three pieces.
        const uint32_t c = clusterBytes;
        Put("A.BIN", RandomBytes(2 * c + 100, 1));
        Put("B.BIN", RandomBytes(3 * c, 2));
        Put("D.BIN", RandomBytes(2 * c, 3));
        Put("E.BIN", RandomBytes(c / 2, 4));
        Remove("A.BIN");
        Remove("D.BIN");
        ForgetNextFreeHint();
        Put("FRAG.SYS", RandomBytes(9 * c + 7, 5));
        Put("ONE.SYS", RandomBytes(1, 6));
        Put("EXACT.SYS", RandomBytes(4 * c, 7));
        for (auto& [name, file] : files)
            file.extents = ShowFat(name);
    }

    void Put(const std::string& name, Bytes content)
    {
        WriteHostFile(scratch / name, content);
        RunTool("mcopy -i " + image + " " + (scratch / name) + " ::" + name);
        files[name].content = std::move(content);
    }
    // FAT32 keeps a hint of where to look for free clusters next (in its
    // FSInfo sector); marking it unknown makes the tools search from the
    // start and so fill the holes, as a long-used volume would.
    void ForgetNextFreeHint()
    {
        if (GetParam().kind != FsFat32)
            return;
        const Bytes sector = ReadAt(image, 0, 512);
        const uint64_t fsInfo = Le(sector, 48, 2) * boot.bytesPerSector;
        const int fd = open(image.c_str(), O_WRONLY);
        const uint8_t unknown[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        ASSERT_EQ(pwrite(fd, unknown, 4, static_cast<off_t>(fsInfo + 492)), 4);
        close(fd);
    }
    void Remove(const std::string& name)
    {
        RunTool("mdel -i " + image + " ::" + name);
        files.erase(name);
    }
    std::vector<Extent> ShowFat(const std::string& name)
    {
        const std::string chain = RunTool("mshowfat -i " + image + " ::" + name);
        std::vector<Extent> extents;
        const std::regex range("<(\\d+)(?:-(\\d+))?>");
        for (auto it = std::sregex_iterator(chain.begin(), chain.end(), range); it != std::sregex_iterator(); ++it) {
            const uint64_t first = std::stoull((*it)[1]);
            const uint64_t last = (*it)[2].matched ? std::stoull((*it)[2]) : first;
            extents.push_back({static_cast<int64_t>(first) - 2, last - first + 1});
        }
        EXPECT_FALSE(extents.empty()) << chain;
        return extents;
    }
};

} // namespace

TEST_P(FatImage, BootSectorPutsClusterTwoWhereTheFatSaysTheFileBegins)
{
    EXPECT_EQ(FatKindForClusterCount(totalClusters), GetParam().kind) << totalClusters << " clusters";
    if (GetParam().kind == FsFat12) {
        EXPECT_EQ(boot.rootDirectorySectors, 14u);
        EXPECT_EQ(boot.firstDataSector, 33u);
    }
    if (GetParam().kind == FsFat32)
        EXPECT_EQ(boot.rootDirectorySectors, 0u);
    for (const auto& [name, file] : files) {
        const uint64_t offset = ClusterOffset(boot.dataAreaOffset, file.extents[0].lcn, clusterBytes);
        const std::size_t length = std::min<std::size_t>(clusterBytes, file.content.size());
        const Bytes shown = AsBytes(RunTool("mtype -i " + image + " ::" + name));
        ASSERT_GE(shown.size(), length) << name;
        EXPECT_EQ(ReadAt(image, offset, length), Bytes(shown.begin(), shown.begin() + length)) << name;
    }
}

TEST_P(FatImage, CopyLoopGivesTheBytesOfMtypeAndIcat)
{
    ASSERT_GE(files.at("FRAG.SYS").extents.size(), 3u) << "the refill must have fragmented the file";
    for (const auto& [name, file] : files) {
        const Bytes answer = RetrievalAnswer(file.extents);
        SaveRetrievalSeed(std::string(GetParam().name) + "-" + name, totalClusters, answer);
        std::vector<ClusterExtent> runs;
        ASSERT_EQ(ConvertRetrievalAnswer(answer.data(), answer.size(), totalClusters, runs), 0u) << name;
        CopyLoopResult result;
        const Bytes copied = CopyOut(image, runs, file.content.size(), clusterBytes, boot.dataAreaOffset, &result);
        EXPECT_TRUE(result.copied) << name;

        const Bytes mtype = AsBytes(RunTool("mtype -i " + image + " ::" + name));
        const std::string inode = RunTool("ifind -f fat -n /" + name + " " + image);
        const Bytes icat = AsBytes(RunTool("icat -f fat " + image + " " + inode));
        EXPECT_EQ(copied, mtype) << name;
        EXPECT_EQ(copied, icat) << name;
        EXPECT_EQ(copied, file.content) << name;
    }
}

TEST_P(FatImage, WholeRunLoopMatchesTheOneClusterLoop)
{
    for (const auto& [name, file] : files) {
        const Bytes answer = RetrievalAnswer(file.extents);
        std::vector<ClusterExtent> runs;
        ASSERT_EQ(ConvertRetrievalAnswer(answer.data(), answer.size(), totalClusters, runs), 0u) << name;
        ExpectSameAsOneClusterLoop(image, std::string(GetParam().name) + "-" + name, runs, file.content.size(),
                                   clusterBytes, boot.dataAreaOffset);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, FatImage, ::testing::ValuesIn(Layouts),
                         [](const auto& info) { return std::string(info.param.name); });
