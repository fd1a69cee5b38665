// The kernel-side inspection that fills a "Start Hijack" reply.
#pragma once

#include "driver/Kernel.h"

// TRUE exactly when opening the rootkit's device name failed with the
// rootkit's tell-tale status. A fault in the probe's own code is caught and
// ends the probe with the answer reached by then; a fault inside the open
// itself is beyond the guard (the open is a system service, which runs
// under an exception chain of its own).
BOOLEAN ProbeRootkitDevice();

// Walks the disk class driver's devices to the first disk and stores the
// address of a routine of the driver beneath it: DriverInit when
// `adsPresent` is 1, else MajorFunction[IRP_MJ_CREATE]. Returns 1 after
// storing, 0 when nothing is stored.
int FindDiskPortRoutine(PVOID* routine, int adsPresent);

// TRUE when every page of the `count` bytes at `address` is resident, so
// that reading them cannot fault.
BOOLEAN IsRangeResident(const void* address, ULONG count);

// The kernel's driver object type, as the walk passes it to the lookup of
// the disk class driver by name.
POBJECT_TYPE DriverObjectType();
