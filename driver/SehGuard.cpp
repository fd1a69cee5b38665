// The guard's frame, built on the stack by SehGuardedCall and linked at
// fs:[0] for the length of the call (offsets from the frame's address):
//    0  next frame (the previous fs:[0])
//    4  handler (SehGuardHandler)
//    8  ebp of SehGuardedCall, to resume with
//   12  the exception code, once one is caught
// Above it lie the saved edi, esi, ebx and ebp of the caller.
//
// The handler is called by the system's exception dispatcher. For an
// exception (not an unwind) it records the code, has the system unwind
// every frame registered above ours (RtlUnwind, which also removes the
// dispatcher's own frame), and then does not return: it puts esp back at
// the frame and ebp as saved and jumps to the continuation, which unlinks
// the frame, restores the callee-saved registers and returns 0.

#include "driver/SehGuard.h"

#if defined(__i386__) && defined(_WIN32)

asm(R"(
    .intel_syntax noprefix
    .text
    .p2align 4
    .globl _SehGuardedCall
_SehGuardedCall:
    push ebp
    mov ebp, esp
    push ebx
    push esi
    push edi
    push 0
    push ebp
    push offset _SehGuardHandler
    push dword ptr fs:[0]
    mov dword ptr fs:[0], esp
    push dword ptr [ebp+12]
    call dword ptr [ebp+8]
    add esp, 4
    mov eax, dword ptr [esp]
    mov dword ptr fs:[0], eax
    mov eax, 1
    jmp SehGuardReturn

SehGuardResume:
    cld
    mov eax, dword ptr [esp]
    mov dword ptr fs:[0], eax
    mov ecx, dword ptr [ebp+16]
    test ecx, ecx
    jz SehGuardNoCode
    mov eax, dword ptr [esp+12]
    mov dword ptr [ecx], eax
SehGuardNoCode:
    xor eax, eax
SehGuardReturn:
    lea esp, [ebp-12]
    pop edi
    pop esi
    pop ebx
    pop ebp
    ret

    .p2align 4
_SehGuardHandler:
    mov eax, dword ptr [esp+4]
    test dword ptr [eax+4], 6
    jnz SehGuardContinueSearch
    mov edx, dword ptr [esp+8]
    mov ecx, dword ptr [eax]
    mov dword ptr [edx+12], ecx
    push 0
    push eax
    push offset SehGuardUnwound
    push edx
    call _RtlUnwind@16
SehGuardUnwound:
    mov edx, dword ptr [esp+8]
    mov ebp, dword ptr [edx+8]
    mov esp, edx
    jmp SehGuardResume
SehGuardContinueSearch:
    mov eax, 1
    ret
    .att_syntax prefix
)");

#endif
