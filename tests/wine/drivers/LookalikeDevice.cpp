// Test-only kernel driver, never shipped: publishes a device under the name
// that the rootkit's own device uses, so that the helper driver's probe can
// be exercised inside a real (Wine's) kernel. Built twice:
//  - with ANSWER_LIKE_THE_ROOTKIT, every open fails with the rootkit's
//    tell-tale status 0xC0000271;
//  - without it, every open succeeds (a harmless device of that name).

#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndComplement

extern "C" {
#include <ntifs.h>
}

namespace {

const wchar_t DeviceName[] = L"\\DosDevices\\ACPI#PNP0303#2&da1a3ff&0";

#ifdef ANSWER_LIKE_THE_ROOTKIT
const NTSTATUS CreateStatus = static_cast<NTSTATUS>(0xC0000271);
#else
const NTSTATUS CreateStatus = STATUS_SUCCESS;
#endif

} // namespace

extern "C" {

NTSTATUS NTAPI LookalikeDispatch(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    (void)deviceObject;
    const NTSTATUS status =
        IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE ? CreateStatus : STATUS_SUCCESS;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID NTAPI LookalikeUnload(PDRIVER_OBJECT driverObject)
{
    IoDeleteDevice(driverObject->DeviceObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    (void)registryPath;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, DeviceName);
    PDEVICE_OBJECT device = nullptr;
    const NTSTATUS status = IoCreateDevice(driverObject, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    driverObject->MajorFunction[IRP_MJ_CREATE] = LookalikeDispatch;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = LookalikeDispatch;
    driverObject->DriverUnload = LookalikeUnload;
    return STATUS_SUCCESS;
}

} // extern "C"
