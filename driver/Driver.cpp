// KorvaleNoQuorVallin.sys: one device, one link, one dispatch routine that
// answers create, close and the one control request. Only a caller with the
// debug privilege enabled (or the kernel) is served; the device is
// secure-open and not exclusive.

#include "driver/Inspection.h"
#include "driver/core/HelperAccess.hpp"
#include "driver/core/HijackReply.hpp"

namespace {

// Asks the requesting thread's token (the caller's, or the one it
// impersonates) whether the debug privilege is enabled. `context` points to
// the request's requestor mode.
bool DebugPrivilegeEnabled(void* context)
{
#ifdef HELPER_REFUSES_EVERY_CALLER
    // Test builds only: every user-mode caller counts as unprivileged.
    (void)context;
    return false;
#else
    const KPROCESSOR_MODE mode = *static_cast<const KPROCESSOR_MODE*>(context);
    return SeSinglePrivilegeCheck(RtlConvertLongToLuid(SE_DEBUG_PRIVILEGE), mode) != FALSE;
#endif
}

// Copies `count` bytes of kernel code from `from` only when every page they
// touch is resident; code may lie in a discarded or paged-out section.
bool CopyResidentBytes(uint8_t* to, const uint8_t* from, ULONG count)
{
    if (from == nullptr || !IsRangeResident(from, count))
        return false;
    for (ULONG i = 0; i < count; ++i)
        to[i] = from[i];
    return true;
}

// Answers a "Start Hijack" request in the system buffer; returns Information.
ULONG_PTR AnswerStartHijack(uint8_t* systemBuffer)
{
    const int adsPresent = ProbeRootkitDevice() ? 1 : 0;
    PVOID routine = nullptr;
    int found = FindDiskPortRoutine(&routine, adsPresent);
    DbgPrint("sigbuff is %x\n", routine);

    uint8_t code[HIJACK_SIG_SIZE];
    if (found == 1) {
        DbgPrint("sigbuff is %x\n", routine);
        if (!CopyResidentBytes(code, static_cast<const uint8_t*>(routine), HIJACK_SIG_SIZE))
            found = 0;
    }
    HIJACK_REPLY reply;
    const ULONG_PTR information = BuildHijackReply(adsPresent, found, code, &reply);
#ifdef HELPER_REPORTS_PROBE
    // Test builds only: the first reserved byte tells the probe's answer
    // (0x80 absent, 0x81 present), so a test can observe the probe even
    // where the walk finds no disk. The shipped driver leaves it zero.
    reply.Reserved[0] = static_cast<uint8_t>(0x80 | adsPresent);
#endif
    if (reply.AdsType == HIJACK_TYPE_ADS)
        DbgPrint("ADS_Type%x\n", 1);
    if (reply.AdsType == HIJACK_TYPE_NOT_FOUND)
        DbgPrint("result ==0\n");
    RtlCopyMemory(systemBuffer, &reply, HIJACK_REPLY_SIZE);
    return information;
}

NTSTATUS DeviceControl(PIRP irp, PIO_STACK_LOCATION stack)
{
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code != IOCTL_START_HIJACK)
        return STATUS_SUCCESS;
    DbgPrint("Control Code in kernel\n");

    uint8_t* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    switch (ClassifyHijackRequest(buffer, inputLength, stack->Parameters.DeviceIoControl.OutputBufferLength)) {
    case HijackRequestTooSmall:
        return STATUS_BUFFER_TOO_SMALL;
    case HijackRequestOther:
        irp->IoStatus.Information = BuildEchoReply(buffer, inputLength);
        return STATUS_SUCCESS;
    case HijackRequestStart:
        irp->IoStatus.Information = AnswerStartHijack(buffer);
        return STATUS_SUCCESS;
    }
    return STATUS_SUCCESS;
}

} // namespace

extern "C" {

NTSTATUS NTAPI HelperDispatch(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    (void)deviceObject;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    irp->IoStatus.Information = 0;
    KPROCESSOR_MODE requestorMode = irp->RequestorMode;
    const HelperCaller caller{requestorMode == KernelMode, DebugPrivilegeEnabled, &requestorMode};
    const uint32_t refusal = AdmitHelperRequest(stack->MajorFunction, caller);
    if (refusal != 0) {
        status = static_cast<NTSTATUS>(refusal);
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        status = DeviceControl(irp, stack);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID NTAPI HelperUnload(PDRIVER_OBJECT driverObject)
{
    DbgPrint("Unload Called \r\n");
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, HELPER_LINK_NAME);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(driverObject->DeviceObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    (void)registryPath;
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, HELPER_DEVICE_NAME);
    DbgPrint("start\n\n");

    // Secure-open: the device's security also governs opens of names
    // beneath it. Not exclusive: the I/O manager counts an open of an
    // exclusive device against it before the create request reaches the
    // dispatch routine, so opens from an unprivileged account, each refused
    // there, would still keep the program's own open out while they last.
    // Who is served is decided by the privilege check alone.
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(driverObject, 0, &deviceName, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;

    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, HELPER_LINK_NAME);
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }

    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = HelperDispatch;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = HelperDispatch;
    driverObject->MajorFunction[IRP_MJ_CREATE] = HelperDispatch;
    driverObject->DriverUnload = HelperUnload;
    return STATUS_SUCCESS;
}

} // extern "C"
