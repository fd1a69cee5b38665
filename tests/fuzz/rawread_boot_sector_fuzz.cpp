// The FAT boot sector parse and the validity test of the volume record it
// fills, on arbitrary first sectors.
#include "program/rawread/core/BootSector.hpp"
#include "program/rawread/core/Extents.hpp"
#include "tests/fuzz/Reached.hpp"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FatBootSector sector;
    if (ParseFatBootSector(data, size, sector) != 0)
        return 0;
    fuzzreach::Reached();
    if (sector.bytesPerSector == 0 || sector.fatSectors == 0 || size < BootSectorBytes)
        abort();
    if (sector.dataAreaOffset != sector.firstDataSector * sector.bytesPerSector)
        abort();
    VolumeFacts facts{true, sector.dataAreaOffset, FatKindForClusterCount(static_cast<uint32_t>(size * 977)), 1,
                      sector.bytesPerSector, sector.bytesPerSector, 6};
    (void)IsUnusableVolume(facts);
    (void)ClusterOffset(sector.dataAreaOffset, 0x7FFFFFFF, sector.bytesPerSector);
    return 0;
}
