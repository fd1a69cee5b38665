// The decision who may use the helper driver's device.

#include "driver/core/HelperAccess.hpp"

uint32_t AdmitHelperRequest(uint32_t majorFunction, const HelperCaller& caller)
{
    if (majorFunction != HELPER_MJ_CREATE && majorFunction != HELPER_MJ_DEVICE_CONTROL)
        return 0;
    if (caller.kernelMode)
        return 0;
    if (caller.privilegeEnabled != nullptr && caller.privilegeEnabled(caller.context))
        return 0;
    return HELPER_STATUS_ACCESS_DENIED;
}
