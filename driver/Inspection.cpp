// The kernel-side inspection: the probe for the rootkit's own device and the
// walk from the disk class driver to the driver beneath the first disk.

#include "driver/Inspection.h"
#include "driver/SehGuard.h"
#include "driver/core/HijackReply.hpp"
#include "driver/core/KernelRanges.hpp"

// The kernel exports the variable that holds the driver object type. Declared
// as the variable itself: the import goes through the import slot once, and
// reading the variable gives the type. (Declared as a pointer to it, the
// code would read one level further, into the type object's first field.)
extern "C" __declspec(dllimport) POBJECT_TYPE IoDriverObjectType;

namespace {

const wchar_t RootkitDeviceName[] = L"\\DosDevices\\ACPI#PNP0303#2&da1a3ff&0";
const wchar_t DiskDriverName[] = L"\\Driver\\Disk";
// The status by which the rootkit's device answers an open.
const NTSTATUS RootkitDeviceStatus = static_cast<NTSTATUS>(0xC0000271); // STATUS_VALIDATE_CONTINUE
const ULONG NameBufferTag = 0x20736649; // "Ifs "
const ULONG ProbeCreateOptions = 0x10000;
const ULONG PageSize = 0x1000;
// The disk class driver's device extension begins with its common
// extension: a version word, the device itself, then the device below.
const ULONG LowerDeviceOffset = 8;
// The disk class driver has a device per disk and partition. A list longer
// than any machine has is not the kernel's own (a ring made by whatever
// controls the kernel) and ends the walk instead of holding the request
// for ever.
const ULONG MaxDevicesWalked = 4096;

struct ProbeState {
    BOOLEAN found;
};

// The probe's own code, run under the guard. The guard covers this code
// only: ZwCreateFile enters the system-service dispatcher, which starts an
// exception chain of its own, so an exception raised inside the open (in
// the code that answers it) never reaches the guard.
void ProbeBody(void* context)
{
    ProbeState* state = static_cast<ProbeState*>(context);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, RootkitDeviceName);
    // A kernel handle: the open runs in the requesting process, and a handle
    // in that process's own table could be taken by another of its threads
    // before it is closed.
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus;
    HANDLE handle = nullptr;
    const NTSTATUS status = ZwCreateFile(&handle, GENERIC_READ, &attributes, &ioStatus, nullptr,
                                         FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN, ProbeCreateOptions,
                                         nullptr, 0);
#ifdef HELPER_PROBE_FAULTS
    // Test builds only: fault in the probe's own code once the open is
    // done, so that the guard is exercised inside the kernel.
    *static_cast<volatile ULONG*>(nullptr) = status;
#endif
    if (NT_SUCCESS(status)) {
        // The name opened normally: whatever sits there is not the rootkit.
        ZwClose(handle);
        return;
    }
    DbgPrint("Status is : %x\r\n", status);
    if (status == RootkitDeviceStatus) {
        DbgPrint("QuorVallin Device is found on your System!!!\r\n");
        state->found = TRUE;
    } else {
        DbgPrint("No QuorVallin Device is found on your System!!!\r\n");
    }
}

enum NameCheck {
    NameIsFirstDisk,
    NameIsOther,
    NameStopsTheWalk, // no buffer, a failed query, or a device without a name
};

// Asks the kernel for the device's name and tests whether it ends in "\DR0".
NameCheck CheckDeviceName(PDEVICE_OBJECT device)
{
    ULONG length = 0;
    ObQueryNameString(device, nullptr, 0, &length);
    // Room for the record and a terminator that is written below.
    if (length < sizeof(OBJECT_NAME_INFORMATION) || length > 0xFFFF)
        return NameStopsTheWalk;
    const ULONG size = length + sizeof(WCHAR);
    POBJECT_NAME_INFORMATION info =
        static_cast<POBJECT_NAME_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, size, NameBufferTag));
    if (info == nullptr)
        return NameStopsTheWalk;

    NameCheck result = NameStopsTheWalk;
    const NTSTATUS status = ObQueryNameString(device, info, length, &length);
    if (NT_SUCCESS(status) && info->Name.Buffer != nullptr) {
        // Test only what lies inside the buffer, terminated here by us
        // rather than trusting the terminator to be there.
        if (CountedTextFits(reinterpret_cast<ULONG_PTR>(info), size, sizeof(OBJECT_NAME_INFORMATION),
                            reinterpret_cast<ULONG_PTR>(info->Name.Buffer), info->Name.Length)) {
            info->Name.Buffer[info->Name.Length / sizeof(WCHAR)] = 0;
            result = NameEndsWithDr0(reinterpret_cast<const char16_t*>(info->Name.Buffer)) ? NameIsFirstDisk
                                                                                            : NameIsOther;
        }
    }
    ExFreePoolWithTag(info, 0);
    return result;
}

// Reads the routine of the driver beneath the first disk's device, after
// checking that every structure on the way is resident and of its kind.
int ReadLowerRoutine(PDEVICE_OBJECT disk, PVOID* routine, int adsPresent)
{
    DbgPrint("DR0\n");
    const uint8_t* extension = static_cast<const uint8_t*>(disk->DeviceExtension);
    if (extension == nullptr || !IsRangeResident(extension, LowerDeviceOffset + sizeof(PVOID)))
        return 0;
    PDEVICE_OBJECT lower = *reinterpret_cast<PDEVICE_OBJECT const*>(extension + LowerDeviceOffset);
    DbgPrint("Device Object is : %x\n", lower);
    if (lower == nullptr || !IsRangeResident(lower, sizeof(DEVICE_OBJECT)) || lower->Type != IO_TYPE_DEVICE)
        return 0;
    PDRIVER_OBJECT driver = lower->DriverObject;
    DbgPrint("Driver Object is : %x\n", driver);
    if (driver == nullptr || !IsRangeResident(driver, sizeof(DRIVER_OBJECT)) || driver->Type != IO_TYPE_DRIVER)
        return 0;
    DbgPrint("Infected by QuorVallin(No Name Buffer) and DriverInit is : %x \n", driver->DriverInit);
    *routine = adsPresent == 1 ? reinterpret_cast<PVOID>(driver->DriverInit)
                               : reinterpret_cast<PVOID>(driver->MajorFunction[IRP_MJ_CREATE]);
    return 1;
}

} // namespace

BOOLEAN IsRangeResident(const void* address, ULONG count)
{
    if (count == 0)
        return TRUE;
    PageSpan span;
    if (!PagesTouched(reinterpret_cast<ULONG_PTR>(address), count, PageSize, &span))
        return FALSE;
    for (ULONG_PTR page = span.first;; page += PageSize) {
        if (!MmIsAddressValid(reinterpret_cast<PVOID>(page)))
            return FALSE;
        if (page == span.last)
            return TRUE;
    }
}

POBJECT_TYPE DriverObjectType()
{
    return IoDriverObjectType;
}

BOOLEAN ProbeRootkitDevice()
{
    ProbeState state{FALSE};
    uint32_t code = 0;
    if (!SehGuardedCall(ProbeBody, &state, &code))
        DbgPrint("Exception is occured!!!!\n");
    return state.found;
}

int FindDiskPortRoutine(PVOID* routine, int adsPresent)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, DiskDriverName);
    PVOID object = nullptr;
    const NTSTATUS status =
        ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, nullptr, 0, DriverObjectType(), KernelMode, nullptr,
                                &object);
    if (!NT_SUCCESS(status) || object == nullptr)
        return 0;

    PDRIVER_OBJECT driver = static_cast<PDRIVER_OBJECT>(object);
    int found = 0;
    ULONG walked = 0;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr && walked < MaxDevicesWalked;
         device = device->NextDevice, ++walked) {
        const NameCheck check = CheckDeviceName(device);
        if (check == NameStopsTheWalk)
            break;
        if (check == NameIsFirstDisk) {
            found = ReadLowerRoutine(device, routine, adsPresent);
            break;
        }
    }
    ObDereferenceObject(driver);
    return found;
}
