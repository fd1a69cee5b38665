// The raw reader's core against a real NTFS volume made by mkntfs and filled
// with ntfscp: fragmented files copied through the copy loop from the
// runlists that ntfsinfo reports, and small resident files read out of their
// file records in the image's MFT. ntfscat and sleuthkit's icat give the
// contents.

#include "ImageTools.hpp"

#include "program/rawread/core/Extents.hpp"

#include <cstring>
#include <map>

using namespace images;

namespace {

struct NtfsFile {
    Bytes content;
    uint64_t inode = 0;
    bool resident = false;
    std::vector<Extent> extents;
};

class NtfsImage : public ::testing::Test {
protected:
    static constexpr uint32_t ClusterBytes = 4096;
    ScratchFolder scratch;
    std::string image;
    uint32_t totalClusters = 0;
    std::map<std::string, NtfsFile> files;

    void SetUp() override
    {
        image = scratch / "volume.img";
        RunTool("truncate -s 16M " + image);
        RunTool("mkntfs -F -Q -q -c 4096 -s 512 -p 0 -H 0 -S 0 " + image);
        const Bytes boot = ReadAt(image, 0, 512);
        ASSERT_EQ(std::memcmp(boot.data() + 3, "NTFS    ", 8), 0);
        SaveFuzzSeed("rawread_boot_sector_fuzz", "Ntfs", boot);
        ASSERT_EQ(Le(boot, 11, 2) * boot[13], ClusterBytes);
        totalClusters = static_cast<uint32_t>(Le(boot, 40, 8) / boot[13]);

        // Each rewrite of GROW.SYS keeps its clusters and extends it past the
        // file written in between, so it ends in several pieces.
        Put("GROW.SYS", RandomBytes(40000, 11));
        Put("FILL1.BIN", RandomBytes(100000, 12));
        Put("GROW.SYS", RandomBytes(300000, 13));
        Put("FILL2.BIN", RandomBytes(50000, 14));
        Put("GROW.SYS", RandomBytes(500001, 15));
        Put("TEN.SYS", RandomBytes(10 * ClusterBytes, 16));
        Put("SMALL.SYS", RandomBytes(300, 17));
        Put("ONE.SYS", RandomBytes(1, 18));
        for (auto& [name, file] : files)
            Describe(name, file);
    }

    void Put(const std::string& name, Bytes content)
    {
        WriteHostFile(scratch / name, content);
        RunTool("ntfscp -q -f " + image + " " + (scratch / name) + " " + name);
        files[name].content = std::move(content);
    }

    // Inode number, residency and runlist of the unnamed data attribute, as
    // ntfsinfo reports them.
    void Describe(const std::string& name, NtfsFile& file)
    {
        const std::string info = RunTool("ntfsinfo -v -F /" + name + " " + image);
        std::smatch match;
        ASSERT_TRUE(std::regex_search(info, match, std::regex("Dumping Inode (\\d+)"))) << info;
        file.inode = std::stoull(match[1]);
        const std::size_t data = info.find("Dumping attribute $DATA (0x80)");
        ASSERT_NE(data, std::string::npos) << name;
        const std::string section = info.substr(data, info.find("End of inode", data) - data);
        ASSERT_TRUE(std::regex_search(section, match, std::regex("Resident:\\s+(Yes|No)")));
        file.resident = match[1] == "Yes";
        const std::regex run("\\n\\s+0x([0-9a-f]+)\\s+0x([0-9a-f]+)\\s+0x([0-9a-f]+)");
        for (auto it = std::sregex_iterator(section.begin(), section.end(), run); it != std::sregex_iterator(); ++it)
            file.extents.push_back({static_cast<int64_t>(std::stoull((*it)[2], nullptr, 16)),
                                    std::stoull((*it)[3], nullptr, 16)});
        EXPECT_EQ(file.resident, file.extents.empty()) << name;
    }

    // The file record of an inode as the file-system control returns it:
    // FileReferenceNumber, FileRecordLength, then the record with its
    // update-sequence fixups applied.
    Bytes FileRecordAnswer(uint64_t inode, uint64_t* reference)
    {
        const Bytes boot = ReadAt(image, 0, 512);
        const uint64_t mftOffset = Le(boot, 48, 8) * ClusterBytes;
        const int8_t perRecord = static_cast<int8_t>(boot[64]);
        const uint32_t recordBytes = perRecord < 0 ? 1u << -perRecord : perRecord * ClusterBytes;
        Bytes record = ReadAt(image, mftOffset + inode * recordBytes, recordBytes);
        EXPECT_EQ(std::memcmp(record.data(), "FILE", 4), 0);
        EXPECT_EQ(Le(record, 44, 4), inode) << "the MFT's first run holds this record";
        const uint32_t usaOffset = static_cast<uint32_t>(Le(record, 4, 2));
        const uint32_t usaCount = static_cast<uint32_t>(Le(record, 6, 2));
        for (uint32_t i = 1; i < usaCount; ++i) {
            const std::size_t end = i * 512 - 2;
            EXPECT_EQ(Le(record, end, 2), Le(record, usaOffset, 2)) << "torn sector " << i;
            record[end] = record[usaOffset + 2 * i];
            record[end + 1] = record[usaOffset + 2 * i + 1];
        }
        *reference = inode | (Le(record, 16, 2) << 48);
        Bytes answer(12, 0);
        for (int i = 0; i < 8; ++i)
            answer[i] = static_cast<uint8_t>(*reference >> (8 * i));
        for (int i = 0; i < 4; ++i)
            answer[8 + i] = static_cast<uint8_t>(recordBytes >> (8 * i));
        answer.insert(answer.end(), record.begin(), record.end());
        return answer;
    }

    Bytes Oracle(const std::string& tool, const std::string& name, const NtfsFile& file)
    {
        return AsBytes(tool == "ntfscat" ? RunTool("ntfscat " + image + " /" + name)
                                         : RunTool("icat " + image + " " + std::to_string(file.inode)));
    }
};

} // namespace

TEST_F(NtfsImage, CopyLoopGivesTheBytesOfNtfscatAndIcat)
{
    ASSERT_GE(files.at("GROW.SYS").extents.size(), 3u) << "the rewrites must have fragmented the file";
    int copied = 0;
    for (const auto& [name, file] : files) {
        if (file.resident)
            continue;
        const Bytes answer = RetrievalAnswer(file.extents);
        SaveRetrievalSeed("Ntfs-" + name, totalClusters, answer);
        std::vector<ClusterExtent> runs;
        ASSERT_EQ(ConvertRetrievalAnswer(answer.data(), answer.size(), totalClusters, runs), 0u) << name;
        CopyLoopResult result;
        const Bytes bytes = CopyOut(image, runs, file.content.size(), ClusterBytes, 0, &result);
        EXPECT_TRUE(result.copied) << name;
        EXPECT_EQ(bytes, Oracle("ntfscat", name, file)) << name;
        EXPECT_EQ(bytes, Oracle("icat", name, file)) << name;
        EXPECT_EQ(bytes, file.content) << name;
        ++copied;
    }
    EXPECT_EQ(copied, 4);
}

TEST_F(NtfsImage, WholeRunLoopMatchesTheOneClusterLoop)
{
    for (const auto& [name, file] : files) {
        if (file.resident)
            continue;
        const Bytes answer = RetrievalAnswer(file.extents);
        std::vector<ClusterExtent> runs;
        ASSERT_EQ(ConvertRetrievalAnswer(answer.data(), answer.size(), totalClusters, runs), 0u) << name;
        ExpectSameAsOneClusterLoop(image, "Ntfs-" + name, runs, file.content.size(), ClusterBytes, 0);
    }
}

TEST_F(NtfsImage, ResidentDataComesOutOfTheFileRecord)
{
    int resident = 0;
    for (const auto& [name, file] : files) {
        uint64_t reference = 0;
        const Bytes answer = FileRecordAnswer(file.inode, &reference);
        SaveFuzzSeed("rawread_file_record_fuzz", name, answer);
        ResidentValue value;
        const ResidentLookup lookup = FindResidentData(answer.data(), answer.size(), reference, value);
        if (!file.resident) {
            EXPECT_EQ(lookup, ResidentLookup::NoData) << name << ": its data attribute is non-resident";
            continue;
        }
        ASSERT_EQ(lookup, ResidentLookup::Found) << name;
        const Bytes bytes(answer.begin() + value.valueOffset, answer.begin() + value.valueOffset + value.valueLength);
        EXPECT_EQ(bytes, Oracle("ntfscat", name, file)) << name;
        EXPECT_EQ(bytes, Oracle("icat", name, file)) << name;
        EXPECT_EQ(bytes, file.content) << name;
        ++resident;

        // The record of the file just below is not this file's record.
        EXPECT_EQ(FindResidentData(answer.data(), answer.size(), reference + 1, value), ResidentLookup::Malformed);
    }
    EXPECT_EQ(resident, 2);
}
