// Who may use the helper driver's device. Its name can be opened from any
// process, so the dispatch routine decides, for each request that runs in
// the requesting thread, whether that caller may be served at all: a
// request from kernel mode, or one from a process whose token has the
// debug privilege enabled (administrators and SYSTEM hold it; the program
// enables it when a run starts). A holder of that privilege can already
// take over any process of the machine, so the device gives it nothing new.
// Freestanding: compiled into the kernel driver and into the native tests.
#pragma once

#include <stdint.h>

#define HELPER_MJ_CREATE 0x00u
#define HELPER_MJ_CLOSE 0x02u
#define HELPER_MJ_DEVICE_CONTROL 0x0Eu

#define HELPER_STATUS_ACCESS_DENIED 0xC0000022u

// What the dispatch routine knows of the caller of one request.
struct HelperCaller {
    bool kernelMode; // the request's requestor mode
    // Asks the requesting thread's token whether the debug privilege is
    // enabled; called only when the answer decides.
    bool (*privilegeEnabled)(void* context);
    void* context;
};

// 0 when a request of `majorFunction` may be served; otherwise the status
// it is refused with before anything else is done. Opens and control
// requests are decided by the caller's standing; a close is never refused
// (it may arrive in any thread, and the handle it ends was already
// admitted).
uint32_t AdmitHelperRequest(uint32_t majorFunction, const HelperCaller& caller);
