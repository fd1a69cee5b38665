// The structured-exception guard of the helper driver, exercised in user
// mode, where the x86 frame mechanism at fs:[0] is the same as in the kernel.

#include "driver/SehGuard.h"

#include <windows.h>

#include <gtest/gtest.h>

// Calls SehGuardedCall with known values in ebx, esi and edi and reports
// what those registers, and esp relative to ebp, hold after it returns.
extern "C" int GuardWithMarkedRegisters(SehGuardedRoutine routine, void* context, uint32_t* code,
                                        uint32_t* after);
asm(R"(
    .intel_syntax noprefix
    .text
    .globl _GuardWithMarkedRegisters
_GuardWithMarkedRegisters:
    push ebp
    mov ebp, esp
    push ebx
    push esi
    push edi
    mov ebx, 0x0B0B0B0B
    mov esi, 0x05050505
    mov edi, 0x0D0D0D0D
    push dword ptr [ebp+16]
    push dword ptr [ebp+12]
    push dword ptr [ebp+8]
    call _SehGuardedCall
    add esp, 12
    mov ecx, dword ptr [ebp+20]
    mov dword ptr [ecx], ebx
    mov dword ptr [ecx+4], esi
    mov dword ptr [ecx+8], edi
    mov edx, ebp
    sub edx, esp
    mov dword ptr [ecx+12], edx
    pop edi
    pop esi
    pop ebx
    pop ebp
    ret
    .att_syntax prefix
)");

namespace {

void* CurrentFrame()
{
    void* frame;
    asm volatile("movl %%fs:0, %0" : "=r"(frame));
    return frame;
}

struct Calls {
    int count = 0;
};

void Returns(void* context)
{
    ++static_cast<Calls*>(context)->count;
}

// Changes every callee-saved register but ebp and pushes onto the stack
// before it faults, as a compiled callee may.
void ClobbersAndFaults(void* context)
{
    ++static_cast<Calls*>(context)->count;
    asm volatile(R"(
        pushl $0x11111111
        pushl $0x22222222
        movl $0xDEAD0001, %%ebx
        movl $0xDEAD0002, %%esi
        movl $0xDEAD0003, %%edi
        std
        movl $1, (%%eax)
    )" ::"a"(0x10) : "ebx", "esi", "edi", "memory");
}

void Raises(void* context)
{
    ++static_cast<Calls*>(context)->count;
    RaiseException(0xE0C0FFEE, 0, 0, nullptr);
}

void DividesByZero(void* context)
{
    ++static_cast<Calls*>(context)->count;
    volatile int zero = 0;
    volatile int numerator = 1000;
    volatile int result = numerator / zero;
    (void)result;
}

TEST(SehGuard, ARoutineThatReturnsIsRunOnceAndReportsNoException)
{
    Calls calls;
    uint32_t code = 0x12345678;
    void* before = CurrentFrame();
    EXPECT_EQ(SehGuardedCall(Returns, &calls, &code), 1);
    EXPECT_EQ(calls.count, 1);
    EXPECT_EQ(code, 0x12345678u) << "the code is written only for an exception";
    EXPECT_EQ(CurrentFrame(), before) << "the frame is unlinked";
}

TEST(SehGuard, CatchesEachKindOfExceptionAndTheCallerGoesOn)
{
    struct Case {
        const char* what;
        SehGuardedRoutine routine;
        uint32_t code;
    } cases[] = {
        {"access violation", ClobbersAndFaults, 0xC0000005},
        {"raised exception", Raises, 0xE0C0FFEE},
        {"integer division by zero", DividesByZero, 0xC0000094},
    };
    for (const Case& c : cases) {
        Calls calls;
        uint32_t code = 0;
        void* before = CurrentFrame();
        EXPECT_EQ(SehGuardedCall(c.routine, &calls, &code), 0) << c.what;
        EXPECT_EQ(calls.count, 1) << c.what;
        EXPECT_EQ(code, c.code) << c.what;
        EXPECT_EQ(CurrentFrame(), before) << c.what << ": the frame is unlinked";
    }
}

TEST(SehGuard, ResumesWithTheCallersRegistersAndStack)
{
    Calls calls;
    uint32_t code = 0;
    uint32_t after[4] = {};
    EXPECT_EQ(GuardWithMarkedRegisters(ClobbersAndFaults, &calls, &code, after), 0);
    EXPECT_EQ(code, 0xC0000005u);
    EXPECT_EQ(after[0], 0x0B0B0B0Bu) << "ebx";
    EXPECT_EQ(after[1], 0x05050505u) << "esi";
    EXPECT_EQ(after[2], 0x0D0D0D0Du) << "edi";
    EXPECT_EQ(after[3], 12u) << "esp back where it was before the call";

    uint32_t direction;
    asm volatile("pushfl; popl %0" : "=r"(direction));
    EXPECT_EQ(direction & 0x400, 0u) << "the direction flag is clear again";
}

TEST(SehGuard, NullCodePointerIsAllowed)
{
    Calls calls;
    EXPECT_EQ(SehGuardedCall(ClobbersAndFaults, &calls, nullptr), 0);
    EXPECT_EQ(calls.count, 1);
}

// A frame registered by the guarded routine and left behind by the fault
// must be unwound (its handler called with the unwinding flag) before the
// guard resumes, as its termination handler would be.
struct InnerFrame {
    InnerFrame* next;
    void* handler;
    int* unwinds;
    int* exceptions;
};

extern "C" EXCEPTION_DISPOSITION __cdecl InnerHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT*, void*)
{
    InnerFrame* inner = static_cast<InnerFrame*>(frame);
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        ++*inner->unwinds;
    else
        ++*inner->exceptions;
    return ExceptionContinueSearch;
}

struct NestedCounts {
    int unwinds = 0;
    int exceptions = 0;
};

void RegistersAFrameAndFaults(void* context)
{
    NestedCounts* counts = static_cast<NestedCounts*>(context);
    InnerFrame inner{static_cast<InnerFrame*>(CurrentFrame()), reinterpret_cast<void*>(InnerHandler),
                     &counts->unwinds, &counts->exceptions};
    asm volatile("movl %0, %%fs:0" ::"r"(&inner) : "memory");
    *static_cast<volatile int*>(reinterpret_cast<void*>(0x10)) = 1;
    asm volatile("movl %0, %%fs:0" ::"r"(inner.next) : "memory"); // not reached
}

TEST(SehGuard, UnwindsTheFramesTheRoutineLeftBehind)
{
    NestedCounts counts;
    uint32_t code = 0;
    void* before = CurrentFrame();
    EXPECT_EQ(SehGuardedCall(RegistersAFrameAndFaults, &counts, &code), 0);
    EXPECT_EQ(code, 0xC0000005u);
    EXPECT_EQ(counts.exceptions, 1) << "the inner frame saw the exception first";
    EXPECT_EQ(counts.unwinds, 1) << "and was unwound once";
    EXPECT_EQ(CurrentFrame(), before);
}

TEST(SehGuard, GuardsNest)
{
    struct Outer {
        int inner = -1;
        uint32_t innerCode = 0;
    } outer;
    auto routine = [](void* context) {
        Outer* o = static_cast<Outer*>(context);
        Calls calls;
        o->inner = SehGuardedCall(ClobbersAndFaults, &calls, &o->innerCode);
        RaiseException(0xE0000001, 0, 0, nullptr); // then the outer guard catches this one
    };
    uint32_t code = 0;
    EXPECT_EQ(SehGuardedCall(routine, &outer, &code), 0);
    EXPECT_EQ(outer.inner, 0);
    EXPECT_EQ(outer.innerCode, 0xC0000005u);
    EXPECT_EQ(code, 0xE0000001u);
}

} // namespace
