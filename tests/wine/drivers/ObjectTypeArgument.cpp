// Test-only kernel driver, never shipped: linked with the helper driver's
// inspection, it checks at load time that the object type the inspection
// passes when it looks up the disk class driver by name is the kernel's
// driver object type. The reference is read through the export's own
// address, as the kernel resolves it by name (MmGetSystemRoutineAddress),
// independently of how the inspection declares the import. DriverEntry
// fails, so the service does not start, when the two differ:
//  - STATUS_OBJECT_TYPE_MISMATCH: the inspection passes something else;
//  - STATUS_PROCEDURE_NOT_FOUND: the kernel does not export the type.

#include "driver/Inspection.h"

namespace {

POBJECT_TYPE ExportedDriverObjectType()
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"IoDriverObjectType");
    // The export is the kernel's variable that holds the type.
    POBJECT_TYPE* variable = static_cast<POBJECT_TYPE*>(MmGetSystemRoutineAddress(&name));
    return variable != nullptr ? *variable : nullptr;
}

} // namespace

extern "C" {

VOID NTAPI ObjectTypeArgumentUnload(PDRIVER_OBJECT driverObject)
{
    (void)driverObject;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    (void)registryPath;
    const POBJECT_TYPE exported = ExportedDriverObjectType();
    if (exported == nullptr)
        return STATUS_PROCEDURE_NOT_FOUND;
    const POBJECT_TYPE passed = DriverObjectType();
    DbgPrint("driver object type: exported %p, passed %p\n", exported, passed);
    if (passed != exported)
        return STATUS_OBJECT_TYPE_MISMATCH;
    driverObject->DriverUnload = ObjectTypeArgumentUnload;
    return STATUS_SUCCESS;
}

} // extern "C"
