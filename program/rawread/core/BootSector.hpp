// The FAT boot sector, the file-system kinds, and the two validity tests of
// the raw reader's records.
#pragma once

#include "program/rawread/core/RawKinds.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr std::size_t BootSectorBytes = 512;

struct FatBootSector {
    uint16_t bytesPerSector = 0;
    uint16_t reservedSectors = 0;
    uint8_t fatCount = 0;
    uint16_t rootEntryCount = 0;
    uint32_t fatSectors = 0;         // the 16-bit field when nonzero, else the 32-bit one
    uint32_t rootDirectorySectors = 0;
    uint64_t firstDataSector = 0;
    uint64_t dataAreaOffset = 0;     // bytes from the volume's start to the cluster the FAT calls 2
};

// Parses the first 512 bytes of a FAT volume. Returns 0, or ERROR_INVALID_DATA
// when the sector lacks the 0xAA55 mark or a jump instruction, has 0 bytes
// per sector, a FAT size of 0, or fewer than 512 bytes are given.
uint32_t ParseFatBootSector(const uint8_t* bytes, std::size_t length, FatBootSector& out);

// FAT12 below 4085 clusters, FAT16 below 65525, FAT32 from there on.
FileSystemKind FatKindForClusterCount(uint32_t totalClusters);

enum class FileSystemName { Other, Ntfs, ExFat, Fat, Hpfs, Cdfs };
// Case-insensitive; "FAT" and "FAT32" are both Fat (the width comes from the
// cluster count).
FileSystemName ClassifyFileSystemName(std::u16string_view name);

// The fields of a RawVolumeInfo that decide whether it can be used.
struct VolumeFacts {
    bool handleOpen = false;
    uint64_t dataAreaOffset = 0;
    int32_t fileSystem = FsOther;
    uint32_t sectorsPerCluster = 0;
    uint32_t bytesPerSector = 0;
    uint32_t bytesPerCluster = 0;
    uint32_t fileSystemFlags = 0;
};
// Nonzero (true) when the volume record is NOT usable.
bool IsUnusableVolume(const VolumeFacts& volume);

// True when the file record is NOT usable: the handle, the attributes, the
// low 32 bits of size and of fileIndex must each be neither 0 nor 0xFFFFFFFF.
bool IsUnusableFile(uint64_t handleValue, uint32_t attributes, uint64_t size, uint64_t fileIndex);
