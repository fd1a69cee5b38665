// Zero-filled memory from GlobalAlloc(GPTR), released with GlobalFree on
// every way out.
#pragma once

#include "program/run/Handles.hpp"

#include <windows.h>

struct GlobalMemoryTraits {
    using Value = HGLOBAL;
    static Value Invalid() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Value v) { GlobalFree(v); }
};
using UniqueGlobal = UniqueOwner<GlobalMemoryTraits>;

inline UniqueGlobal AllocateZeroed(SIZE_T bytes) { return UniqueGlobal(GlobalAlloc(GPTR, bytes)); }
