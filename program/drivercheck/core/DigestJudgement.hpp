// The judgement of one driver from the outcome of its raw copy and its two
// digest texts: the raw copy's and the one of the file read the ordinary
// way.
#pragma once

#include <cstddef>

// A digest text: 32 lower-case hexadecimal characters and a NUL.
constexpr std::size_t DigestTextBytes = 33;

enum class DriverVerdict {
    NotVerified, // the raw copy or a digest failed: nothing to compare
    Clean,
    Infected,
};

// A driver is judged only when its raw copy succeeded and both digests
// covered the whole file; then the two 33-byte texts are compared byte for
// byte. A failed raw copy or digest is never taken for an infection,
// whatever an (empty or partial) copy's digest says.
DriverVerdict JudgeDriver(bool rawCopyOk, bool rawOk, const char* rawText, bool plainOk, const char* plainText);
