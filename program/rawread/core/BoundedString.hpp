// Bounded copy and formatting of null-terminated UTF-16 text into a buffer of
// fixed size: never writes past the buffer, always leaves it terminated, and
// reports a cut. Result codes are HRESULTs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

constexpr int32_t BoundedOk = 0;
constexpr int32_t BoundedInsufficientBuffer = static_cast<int32_t>(0x8007007A);
constexpr int32_t BoundedInvalidArg = static_cast<int32_t>(0x80070057);
constexpr std::size_t BoundedMaxChars = 2147483647; // largest buffer accepted, in characters

// Copies source into destination (destinationChars characters, terminator
// included). A source that does not fit is cut, terminated, and reported
// with BoundedInsufficientBuffer. A zero or oversized destinationChars gives
// BoundedInvalidArg and writes nothing.
int32_t BoundedCopy(char16_t* destination, std::size_t destinationChars, const char16_t* source);

// Formats into destination. The format knows %s, %ls and %ws (each takes the
// next wide string of args) and %%; any other conversion, or too few args,
// gives BoundedInvalidArg with an empty (terminated) destination. Cuts are
// reported as by BoundedCopy.
int32_t BoundedFormat(char16_t* destination, std::size_t destinationChars, const char16_t* format,
                      std::initializer_list<const char16_t*> args);
