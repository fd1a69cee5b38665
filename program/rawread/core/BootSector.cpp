#include "program/rawread/core/BootSector.hpp"

#include "program/rawread/core/RawErrors.hpp"
#include "program/rawread/core/RawPaths.hpp"

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

bool IsOneOf32(uint32_t value) { return value == 0 || value == 0xFFFFFFFFu; }

} // namespace

uint32_t ParseFatBootSector(const uint8_t* bytes, std::size_t length, FatBootSector& out)
{
    out = FatBootSector{};
    if (bytes == nullptr || length < BootSectorBytes)
        return RawError::InvalidData;
    const bool jump = (bytes[0] == 0xEB && bytes[2] == 0x90) || bytes[0] == 0xE9;
    if (Le16(bytes + 510) != 0xAA55 || !jump)
        return RawError::InvalidData;

    FatBootSector sector;
    sector.bytesPerSector = Le16(bytes + 11);
    sector.reservedSectors = Le16(bytes + 14);
    sector.fatCount = bytes[16];
    sector.rootEntryCount = Le16(bytes + 17);
    const uint16_t fatSectors16 = Le16(bytes + 22);
    sector.fatSectors = fatSectors16 != 0 ? fatSectors16 : Le32(bytes + 36);
    if (sector.bytesPerSector == 0 || sector.fatSectors == 0)
        return RawError::InvalidData;

    sector.rootDirectorySectors =
        (static_cast<uint32_t>(sector.rootEntryCount) * 32 + sector.bytesPerSector - 1) / sector.bytesPerSector;
    sector.firstDataSector = static_cast<uint64_t>(sector.reservedSectors) +
                             static_cast<uint64_t>(sector.fatCount) * sector.fatSectors + sector.rootDirectorySectors;
    sector.dataAreaOffset = sector.firstDataSector * sector.bytesPerSector;
    out = sector;
    return RawError::Success;
}

FileSystemKind FatKindForClusterCount(uint32_t totalClusters)
{
    if (totalClusters < 4085)
        return FsFat12;
    if (totalClusters < 65525)
        return FsFat16;
    return FsFat32;
}

FileSystemName ClassifyFileSystemName(std::u16string_view name)
{
    auto is = [&](std::u16string_view wanted) {
        return name.size() == wanted.size() && StartsWithNoCase(name, wanted);
    };
    if (is(u"NTFS"))
        return FileSystemName::Ntfs;
    if (is(u"FAT") || is(u"FAT32"))
        return FileSystemName::Fat;
    if (is(u"exFAT"))
        return FileSystemName::ExFat;
    if (is(u"HPFS"))
        return FileSystemName::Hpfs;
    if (is(u"CDFS"))
        return FileSystemName::Cdfs;
    return FileSystemName::Other;
}

bool IsUnusableVolume(const VolumeFacts& volume)
{
    if (!volume.handleOpen)
        return true;
    switch (volume.fileSystem) {
    case FsNtfs:
        if (volume.dataAreaOffset != 0)
            return true;
        break;
    case FsFat12:
    case FsFat16:
    case FsFat32:
        if (volume.dataAreaOffset == 0)
            return true;
        break;
    case FsExFat:
    case FsHpfs:
    case FsCdfs:
        break;
    default:
        return true;
    }
    if (volume.sectorsPerCluster == 0 || volume.bytesPerSector == 0 || volume.bytesPerCluster == 0)
        return true;
    return IsOneOf32(volume.fileSystemFlags);
}

bool IsUnusableFile(uint64_t handleValue, uint32_t attributes, uint64_t size, uint64_t fileIndex)
{
    return IsOneOf32(static_cast<uint32_t>(handleValue)) || IsOneOf32(attributes) ||
           IsOneOf32(static_cast<uint32_t>(size)) || IsOneOf32(static_cast<uint32_t>(fileIndex));
}
