// The kernel headers, included once for every driver source file.
#pragma once

#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndComplement

extern "C" {
#include <ntifs.h>
}
