#include "driver/core/KernelRanges.hpp"

bool PagesTouched(uintptr_t address, uint32_t count, uint32_t pageSize, PageSpan* span)
{
    if (count == 0 || pageSize == 0)
        return false;
    const uintptr_t end = address + (count - 1);
    if (end < address)
        return false;
    const uintptr_t mask = ~static_cast<uintptr_t>(pageSize - 1);
    span->first = address & mask;
    span->last = end & mask;
    return true;
}

bool CountedTextFits(uintptr_t buffer, uint32_t bufferSize, uint32_t headerSize, uintptr_t text,
                     uint32_t textBytes)
{
    if (headerSize > bufferSize || text < buffer || (text & 1) != 0 || (textBytes & 1) != 0)
        return false;
    const uintptr_t offset = text - buffer;
    if (offset < headerSize || offset > bufferSize)
        return false;
    const uintptr_t room = bufferSize - offset; // bytes from the text to the end of the buffer
    return room >= 2 && textBytes <= room - 2;
}
