// What the program makes of the helper driver's reply: the outcome on which
// the run branches and the lines written to the console.
#pragma once

#include "program/run/core/Console.hpp"

#include <cstddef>
#include <cstdint>

struct HijackVerdict {
    int32_t outcome;
    ConsoleScript script;
};

extern const char* const ScanErrorText; // "\nError while scanning for QuorVallin\n\n"

// Judges the reply bytes that came back from the driver. `length` is the
// number of bytes the driver returned; 0 when the driver could not be
// reached. Anything short of a full 60-byte reply is a scan that did not
// happen: outcome 3 and the error line, never "Clean".
// Type 0 is matched against the create dispatch signature, type 1 against
// the DriverInit signature (outcome = type on a match, 2 otherwise); type 3
// gives the error line; any other type is returned unchanged with no output.
HijackVerdict EvaluateHijackReply(const uint8_t* reply, std::size_t length);
