// Test-only kernel driver, never shipped: stands in for the disk class
// driver where the kernel has none (Wine), so that the helper driver's walk
// runs in a real kernel. Registered as the service "Disk", its driver object
// is "\Driver\Disk". It creates an unnamed device standing for the port
// device below the first disk, then a device named "...\DR0" whose
// extension begins like the disk class driver's (version, own device, lower
// device). Its create dispatch entry points at 53 bytes that stand for the
// rootkit's create dispatch routine. Nothing ever opens these devices.
// Built in variants:
//  - by default the bytes are those of the rootkit's routine;
//  - LAST_CODE_BYTE_DIFFERS changes the last of the 53 bytes;
//  - EXTENSION_POINTS_ELSEWHERE puts a pointer to something that is not a
//    device object where the lower device belongs;
//  - UNNAMED_DEVICE_AHEAD puts a device without a name ahead of "...\DR0"
//    on the driver's device list;
//  - DEVICE_RING_AHEAD puts a named device ahead of "...\DR0" whose next
//    device is itself, so the list never ends.

#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndComplement

extern "C" {
#include <ntifs.h>
}

namespace {

#ifdef LAST_CODE_BYTE_DIFFERS
const unsigned char LastByte = 0x1f;
#else
const unsigned char LastByte = 0x1e;
#endif

// Bytes 12 to 14 are an address in the rootkit's image: any value.
const unsigned char CreateDispatchCode[53] = {
    0x51, 0x8b, 0x44, 0x24, 0x08, 0x53, 0x55, 0x56, 0x57, 0x3b, 0x05, 0x04, 0x9a, 0x5e, 0xf8,
    0x75, 0x11, 0x8b, 0x5c, 0x24, 0x1c, 0xe8, 0xa6, 0xfc, 0xff, 0xff, 0x5f, 0x5e, 0x5d, 0x5b,
    0x59, 0xc2, 0x08, 0x00, 0x8b, 0x40, 0x28, 0x8b, 0x74, 0x24, 0x1c, 0x8b, 0x7e, 0x60, 0x8b,
    0x68, 0x04, 0x8a, 0x07, 0x3c, 0x16, 0x75, LastByte};

#ifdef DEVICE_RING_AHEAD
PDEVICE_OBJECT ring = nullptr;
PDEVICE_OBJECT afterRing = nullptr;
#endif

} // namespace

extern "C" {

VOID NTAPI StandInUnload(PDRIVER_OBJECT driverObject)
{
#ifdef DEVICE_RING_AHEAD
    if (ring != nullptr)
        ring->NextDevice = afterRing;
#endif
    while (driverObject->DeviceObject != nullptr)
        IoDeleteDevice(driverObject->DeviceObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    (void)registryPath;
    PDEVICE_OBJECT port = nullptr;
    NTSTATUS status = IoCreateDevice(driverObject, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &port);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\DR0");
    PDEVICE_OBJECT disk = nullptr;
    status = IoCreateDevice(driverObject, 4 * sizeof(PVOID), &name, FILE_DEVICE_DISK, 0, FALSE, &disk);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(port);
        return status;
    }
    // Windows marks every device and driver object with its type; Wine 8
    // leaves the field zero, so the stand-in marks its own objects as
    // Windows would.
    port->Type = IO_TYPE_DEVICE;
    disk->Type = IO_TYPE_DEVICE;
    driverObject->Type = IO_TYPE_DRIVER;

    PVOID* extension = static_cast<PVOID*>(disk->DeviceExtension);
    extension[0] = nullptr;
    extension[1] = disk;
#ifdef EXTENSION_POINTS_ELSEWHERE
    extension[2] = driverObject;
#else
    extension[2] = port;
#endif
    extension[3] = nullptr;
    driverObject->MajorFunction[IRP_MJ_CREATE] = reinterpret_cast<PDRIVER_DISPATCH>(
        reinterpret_cast<ULONG_PTR>(CreateDispatchCode));
    driverObject->DriverUnload = StandInUnload;
#ifdef UNNAMED_DEVICE_AHEAD
    // Created last, so it heads the driver's device list.
    PDEVICE_OBJECT ahead = nullptr;
    status = IoCreateDevice(driverObject, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &ahead);
    if (!NT_SUCCESS(status)) {
        StandInUnload(driverObject);
        return status;
    }
    ahead->Type = IO_TYPE_DEVICE;
#endif
#ifdef DEVICE_RING_AHEAD
    // Created last, so it heads the driver's device list.
    UNICODE_STRING ringName;
    RtlInitUnicodeString(&ringName, L"\\Device\\KorvaleTestRing");
    status = IoCreateDevice(driverObject, 0, &ringName, FILE_DEVICE_DISK, 0, FALSE, &ring);
    if (!NT_SUCCESS(status)) {
        StandInUnload(driverObject);
        return status;
    }
    ring->Type = IO_TYPE_DEVICE;
    afterRing = ring->NextDevice;
    ring->NextDevice = ring;
#endif
    return STATUS_SUCCESS;
}

} // extern "C"
