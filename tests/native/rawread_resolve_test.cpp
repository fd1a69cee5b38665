#include "program/rawread/core/BootSector.hpp"
#include "program/rawread/core/BoundedString.hpp"
#include "program/rawread/core/RawErrors.hpp"
#include "program/rawread/core/RawPaths.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace {

using Sector = std::array<uint8_t, 512>;

void Put16(Sector& s, std::size_t at, uint16_t v)
{
    s[at] = static_cast<uint8_t>(v);
    s[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Sector& s, std::size_t at, uint32_t v)
{
    Put16(s, at, static_cast<uint16_t>(v));
    Put16(s, at + 2, static_cast<uint16_t>(v >> 16));
}

Sector FatSector(uint16_t bytesPerSector, uint16_t reserved, uint8_t fats, uint16_t rootEntries, uint16_t fat16,
                 uint32_t fat32)
{
    Sector s{};
    s[0] = 0xEB;
    s[1] = 0x3C;
    s[2] = 0x90;
    Put16(s, 11, bytesPerSector);
    Put16(s, 14, reserved);
    s[16] = fats;
    Put16(s, 17, rootEntries);
    Put16(s, 22, fat16);
    Put32(s, 36, fat32);
    Put16(s, 510, 0xAA55);
    return s;
}

} // namespace

TEST(FatBootSector, FloppyLayoutPutsDataAfterThirtyThreeSectors)
{
    const Sector s = FatSector(512, 1, 2, 224, 9, 0);
    FatBootSector parsed;
    ASSERT_EQ(ParseFatBootSector(s.data(), s.size(), parsed), 0u);
    EXPECT_EQ(parsed.rootDirectorySectors, 14u);
    EXPECT_EQ(parsed.firstDataSector, 33u);
    EXPECT_EQ(parsed.dataAreaOffset, 33u * 512);
}

TEST(FatBootSector, Fat32TakesTheWideFatSizeAndHasNoRootDirectorySectors)
{
    const Sector s = FatSector(512, 32, 2, 0, 0, 1009);
    FatBootSector parsed;
    ASSERT_EQ(ParseFatBootSector(s.data(), s.size(), parsed), 0u);
    EXPECT_EQ(parsed.rootDirectorySectors, 0u);
    EXPECT_EQ(parsed.fatSectors, 1009u);
    EXPECT_EQ(parsed.dataAreaOffset, (32u + 2 * 1009u) * 512);
}

TEST(FatBootSector, RootDirectorySectorsRoundUp)
{
    // 513 entries of 32 bytes on 512-byte sectors: 32.06 sectors -> 33.
    const Sector s = FatSector(512, 4, 2, 513, 20, 0);
    FatBootSector parsed;
    ASSERT_EQ(ParseFatBootSector(s.data(), s.size(), parsed), 0u);
    EXPECT_EQ(parsed.rootDirectorySectors, 33u);
}

TEST(FatBootSector, RefusesSectorsThatAreNotFatBootSectors)
{
    const Sector good = FatSector(512, 1, 2, 224, 9, 0);
    struct Case {
        const char* what;
        void (*spoil)(Sector&);
    } cases[] = {
        {"no 0xAA55", [](Sector& s) { s[510] = 0; }},
        {"no jump", [](Sector& s) { s[0] = 0x00; }},
        {"EB without 90", [](Sector& s) { s[2] = 0x00; }},
        {"zero bytes per sector", [](Sector& s) { Put16(s, 11, 0); }},
        {"zero FAT size", [](Sector& s) { Put16(s, 22, 0); }},
    };
    for (const Case& c : cases) {
        Sector s = good;
        c.spoil(s);
        FatBootSector parsed;
        EXPECT_EQ(ParseFatBootSector(s.data(), s.size(), parsed), RawError::InvalidData) << c.what;
    }
    Sector e9 = good;
    e9[0] = 0xE9;
    e9[2] = 0;
    FatBootSector parsed;
    EXPECT_EQ(ParseFatBootSector(e9.data(), e9.size(), parsed), 0u) << "E9 jump";
    EXPECT_EQ(ParseFatBootSector(good.data(), 511, parsed), RawError::InvalidData) << "short read";
}

TEST(FatKind, ChosenByClusterCountNotName)
{
    EXPECT_EQ(FatKindForClusterCount(2847), FsFat12);
    EXPECT_EQ(FatKindForClusterCount(4084), FsFat12);
    EXPECT_EQ(FatKindForClusterCount(4085), FsFat16);
    EXPECT_EQ(FatKindForClusterCount(65524), FsFat16);
    EXPECT_EQ(FatKindForClusterCount(65525), FsFat32);
    EXPECT_EQ(ClassifyFileSystemName(u"fat32"), FileSystemName::Fat);
    EXPECT_EQ(ClassifyFileSystemName(u"FAT"), FileSystemName::Fat);
    EXPECT_EQ(ClassifyFileSystemName(u"ntfs"), FileSystemName::Ntfs);
    EXPECT_EQ(ClassifyFileSystemName(u"EXFAT"), FileSystemName::ExFat);
    EXPECT_EQ(ClassifyFileSystemName(u"CDFS"), FileSystemName::Cdfs);
    EXPECT_EQ(ClassifyFileSystemName(u"HPFS"), FileSystemName::Hpfs);
    EXPECT_EQ(ClassifyFileSystemName(u"UDF"), FileSystemName::Other);
    EXPECT_EQ(ClassifyFileSystemName(u"FAT3"), FileSystemName::Other);
    EXPECT_EQ(ClassifyFileSystemName(u"NTFS2"), FileSystemName::Other);
}

TEST(VolumeValidity, EachRuleRefusesOnItsOwn)
{
    VolumeFacts fat{true, 33 * 512, FsFat12, 1, 512, 512, 0x6};
    VolumeFacts ntfs{true, 0, FsNtfs, 8, 512, 4096, 0x700ff};
    EXPECT_FALSE(IsUnusableVolume(fat));
    EXPECT_FALSE(IsUnusableVolume(ntfs));
    VolumeFacts exfat = fat;
    exfat.fileSystem = FsExFat; // data offset not looked at
    EXPECT_FALSE(IsUnusableVolume(exfat));

    struct Case {
        const char* what;
        VolumeFacts facts;
    } cases[] = {
        {"handle not open", {false, 0, FsNtfs, 8, 512, 4096, 1}},
        {"other file system", {true, 0, FsOther, 8, 512, 4096, 1}},
        {"kind beyond CDFS", {true, 0, 8, 8, 512, 4096, 1}},
        {"NTFS with data offset", {true, 512, FsNtfs, 8, 512, 4096, 1}},
        {"FAT without data offset", {true, 0, FsFat32, 8, 512, 4096, 1}},
        {"zero sectors per cluster", {true, 0, FsNtfs, 0, 512, 4096, 1}},
        {"zero bytes per sector", {true, 0, FsNtfs, 8, 0, 4096, 1}},
        {"zero bytes per cluster", {true, 0, FsNtfs, 8, 512, 0, 1}},
        {"zero flags", {true, 0, FsNtfs, 8, 512, 4096, 0}},
        {"all flags", {true, 0, FsNtfs, 8, 512, 4096, 0xFFFFFFFF}},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(IsUnusableVolume(c.facts)) << c.what;
}

TEST(FileValidity, EmptyAndFourGibibyteMultiplesAreUnusable)
{
    EXPECT_FALSE(IsUnusableFile(0x40, 0x20, 60000, 0x0001000000000123ull));
    EXPECT_TRUE(IsUnusableFile(0x40, 0x20, 0, 0x123)) << "empty file";
    EXPECT_TRUE(IsUnusableFile(0x40, 0x20, 0x100000000ull, 0x123)) << "4 GiB";
    EXPECT_TRUE(IsUnusableFile(0x40, 0x20, 0x1FFFFFFFFull, 0x123)) << "low bits all set";
    EXPECT_TRUE(IsUnusableFile(0, 0x20, 1, 0x123)) << "null handle";
    EXPECT_TRUE(IsUnusableFile(0xFFFFFFFF, 0x20, 1, 0x123)) << "invalid handle";
    EXPECT_TRUE(IsUnusableFile(0xFFFFFFFFFFFFFFFFull, 0x20, 1, 0x123)) << "invalid handle, 64-bit";
    EXPECT_TRUE(IsUnusableFile(0x40, 0, 1, 0x123)) << "no attributes";
    EXPECT_TRUE(IsUnusableFile(0x40, 0x20, 1, 0x0005000000000000ull)) << "index with zero low half";
}

TEST(DevicePath, HardDiskDevicesKeepThePath)
{
    for (const char16_t* device : {u"\\Device\\HarddiskVolume2", u"\\Device\\Harddisk0\\Partition1",
                                   u"\\device\\harddiskvolume1"}) {
        const auto r = DevicePathFor(u"C:\\windows\\system32\\drivers\\x.sys", device);
        EXPECT_EQ(r.error, 0u);
        EXPECT_EQ(r.devicePath, u"C:\\windows\\system32\\drivers\\x.sys");
    }
}

TEST(DevicePath, SubstitutedDriveKeepsItsFolders)
{
    struct Case {
        const char16_t* path;
        const char16_t* device;
        const char16_t* expected;
    } cases[] = {
        {u"X:\\f.sys", u"\\??\\C:\\tools", u"C:\\tools\\f.sys"},
        {u"X:\\f.sys", u"\\DosDevices\\C:\\tools", u"C:\\tools\\f.sys"},
        {u"X:\\a\\b\\f.sys", u"\\??\\C:\\tools", u"C:\\tools\\a\\b\\f.sys"},
        {u"X:\\f.sys", u"\\??\\C:\\", u"C:\\f.sys"},
        {u"X:\\f.sys", u"\\??\\C:\\tools\\", u"C:\\tools\\f.sys"},
    };
    for (const Case& c : cases) {
        const auto r = DevicePathFor(c.path, c.device);
        EXPECT_EQ(r.error, 0u);
        EXPECT_EQ(r.devicePath, c.expected);
    }
}

TEST(DevicePath, OtherDevicesAreRefused)
{
    for (const char16_t* device :
         {u"\\Device\\CdRom0", u"\\Device\\Floppy0", u"\\Device\\LanmanRedirector\\;Z:0\\srv\\share", u""}) {
        EXPECT_EQ(DevicePathFor(u"D:\\x.sys", device).error, RawError::BadPathname);
    }
}

TEST(DevicePath, ASubstitutedPathThatDoesNotFitIsRefusedNotCut)
{
    // 257 characters below the root plus "C:\tools\" would name a cut-off
    // (and so possibly different) file.
    const std::u16string below = std::u16string(250, u'a') + u"\\f.sys";
    const std::u16string path = u"X:\\" + below;
    const auto r = DevicePathFor(path, u"\\??\\C:\\tools");
    EXPECT_EQ(r.error, RawError::FilenameExcedRange);
    EXPECT_TRUE(r.devicePath.empty());
    // One that just fits: 9 + 251 = 260 characters.
    const std::u16string fits = u"X:\\" + std::u16string(245, u'a') + u"\\f.sys";
    const auto ok = DevicePathFor(fits, u"\\??\\C:\\tools");
    EXPECT_EQ(ok.error, 0u);
    EXPECT_EQ(ok.devicePath.size(), 260u);
}

TEST(BoundedString, CopiesTerminatesAndReportsCuts)
{
    char16_t buffer[6];
    EXPECT_EQ(BoundedCopy(buffer, 6, u"abcde"), BoundedOk);
    EXPECT_EQ(std::u16string(buffer), u"abcde");
    std::memset(buffer, 0x55, sizeof buffer);
    EXPECT_EQ(BoundedCopy(buffer, 6, u"abcdef"), BoundedInsufficientBuffer);
    EXPECT_EQ(std::u16string(buffer), u"abcde");
    EXPECT_EQ(BoundedCopy(buffer, 0, u"a"), BoundedInvalidArg);
    EXPECT_EQ(BoundedCopy(buffer, 1, u""), BoundedOk);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(BoundedCopy(buffer, 1, u"a"), BoundedInsufficientBuffer);
    EXPECT_EQ(buffer[0], 0);
}

TEST(BoundedString, FormatsWideStringsWithinTheLimit)
{
    char16_t buffer[12];
    EXPECT_EQ(BoundedFormat(buffer, 12, u"%s\\%s", {u"C:", u"x.sys"}), BoundedOk);
    EXPECT_EQ(std::u16string(buffer), u"C:\\x.sys");
    EXPECT_EQ(BoundedFormat(buffer, 12, u"%ws%ws%ws", {u"ab", u"cd", u"ef"}), BoundedOk);
    EXPECT_EQ(std::u16string(buffer), u"abcdef");
    EXPECT_EQ(BoundedFormat(buffer, 12, u"%ls 100%%", {u"x"}), BoundedOk);
    EXPECT_EQ(std::u16string(buffer), u"x 100%");
    EXPECT_EQ(BoundedFormat(buffer, 6, u"%s%s", {u"abc", u"def"}), BoundedInsufficientBuffer);
    EXPECT_EQ(std::u16string(buffer), u"abcde");
    EXPECT_EQ(BoundedFormat(buffer, 12, u"%s%s", {u"abc"}), BoundedInvalidArg);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(BoundedFormat(buffer, 12, u"%d", {u"abc"}), BoundedInvalidArg);
    EXPECT_EQ(BoundedFormat(buffer, 0, u"x", {}), BoundedInvalidArg);
}
