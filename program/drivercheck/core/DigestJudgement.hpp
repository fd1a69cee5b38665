// The judgement of one driver from its two digest texts: the raw copy's
// and the one of the file read the ordinary way.
#pragma once

#include <cstddef>

// A digest text: 32 lower-case hexadecimal characters and a NUL.
constexpr std::size_t DigestTextBytes = 33;

enum class DriverVerdict {
    NotJudged, // a digest failed: the driver gets no line
    Clean,
    Infected,
};

// Compares the two 33-byte texts byte for byte when both digests succeeded.
DriverVerdict JudgeDigests(bool rawOk, const char* rawText, bool plainOk, const char* plainText);
