// Memory inspection: asks the helper driver once for the code at the start
// of the suspect routine beneath the first disk and judges it.

#include "driver/HijackProtocol.h"
#include "program/deploy/core/HijackVerdict.hpp"
#include "program/common/Handles.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/WinConsole.hpp"

namespace {

// Sends "Start Hijack" to the helper driver. Returns the number of reply
// bytes the driver gave back: 0 when the device does not open or the
// request fails.
DWORD RequestHijackReply(uint8_t (&reply)[HIJACK_REPLY_SIZE])
{
    ZeroMemory(reply, sizeof(reply));
    UniqueFile device(CreateFileW(HELPER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device)
        return 0;
    char request[HIJACK_REQUEST_SIZE] = HIJACK_REQUEST_TEXT;
    DWORD returned = 0;
    if (!DeviceIoControl(device.get(), IOCTL_START_HIJACK, request, HIJACK_REQUEST_SIZE, reply, sizeof(reply),
                         &returned, nullptr))
        return 0;
    return returned;
}

} // namespace

int32_t RemovalContext::InspectSystemMemory()
{
    uint8_t reply[HIJACK_REPLY_SIZE];
    const DWORD returned = RequestHijackReply(reply);
    const HijackVerdict verdict = EvaluateHijackReply(reply, returned);
    WriteScript(verdict.script);
    return verdict.outcome;
}
