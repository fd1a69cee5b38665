// Address arithmetic of the driver's inspection, with no kernel call: which
// pages a read touches, and whether a name the kernel returned lies inside
// the buffer it was given. Freestanding: compiled into the kernel driver
// and into the native tests.
#pragma once

#include <stdint.h>

struct PageSpan {
    uintptr_t first; // base address of the first page touched
    uintptr_t last;  // base address of the last page touched
};

// The pages that the `count` bytes at `address` touch (`pageSize` a power
// of two). False when `count` is 0 or the range runs past the end of the
// address space.
bool PagesTouched(uintptr_t address, uint32_t count, uint32_t pageSize, PageSpan* span);

// True when a counted UTF-16 text of `textBytes` bytes at `text` lies in
// the `bufferSize`-byte buffer at `buffer`, after its `headerSize`-byte
// header, is aligned for UTF-16, and leaves room for a terminator after it.
bool CountedTextFits(uintptr_t buffer, uint32_t bufferSize, uint32_t headerSize, uintptr_t text,
                     uint32_t textBytes);
