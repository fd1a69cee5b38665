// How the quarantine keeps what it stores inert: every byte XORed with one
// fixed byte, so that a stored executable neither runs nor starts with
// "MZ", and a resident scanner sees no known pattern in it. XOR with the
// same byte reads it back.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint8_t InertByte = 0xA5;

// In place; applying it twice gives the bytes back.
inline void ToggleInert(uint8_t* bytes, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] ^= InertByte;
}
