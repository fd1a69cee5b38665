#include "driver/Inspection.h"

// The inspection proper is not built yet: the probe finds no rootkit device
// and the walk finds no disk, so every "Start Hijack" is answered with type 3.

BOOLEAN ProbeRootkitDevice()
{
    return FALSE;
}

int FindDiskPortRoutine(PVOID* routine, int adsPresent)
{
    (void)routine;
    (void)adsPresent;
    return 0;
}
