// A structured-exception guard for 32-bit x86 Windows code built with GCC,
// which has no __try/__except. Freestanding: usable in the kernel driver and
// in user-mode code alike (the mechanism is the same in both modes).
#pragma once

#include <stdint.h>

extern "C" {

typedef void (*SehGuardedRoutine)(void* context);

// Runs routine(context) under an exception registration frame (at fs:[0])
// that catches every exception dispatched along this thread's exception
// chain while the routine runs (in its own code and in what it calls
// directly), as __except(EXCEPTION_EXECUTE_HANDLER) would. A system service
// called from kernel code (a Zw routine) runs under a new chain that the
// system-service dispatcher starts, so an exception raised inside the
// service never reaches this frame. On an exception the frames the
// routine registered are unwound (their termination handlers run), the
// code is stored through `exceptionCode` (when not null), and execution
// resumes here with esp, ebp, ebx, esi and edi as they were at the call.
// Returns 1 when the routine returned normally, 0 when an exception was
// caught.
int SehGuardedCall(SehGuardedRoutine routine, void* context, uint32_t* exceptionCode);
}
