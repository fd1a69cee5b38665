// The driver's protocol logic with no kernel call: what to do with a
// control request, and the reply built from the inspection's results.
// Freestanding: compiled into the kernel driver and into the native tests.
#pragma once

#include "driver/HijackProtocol.h"

#include <stdint.h>

enum HijackRequestKind {
    HijackRequestTooSmall, // input < 13 or output < 60 bytes: refused, nothing read or written
    HijackRequestOther,    // not "Start Hijack": the caller's bytes go back, 60 of them
    HijackRequestStart,    // "Start Hijack": inspect and reply
};

// Classifies a buffered request: `buffer` holds `inputLength` bytes of input
// and has room for max(inputLength, outputLength) bytes.
HijackRequestKind ClassifyHijackRequest(const uint8_t* buffer, uint32_t inputLength,
                                        uint32_t outputLength);

// Prepares the echo of a request that is not "Start Hijack": the bytes past
// the caller's input, up to the 60 returned, are zeroed so that no stale
// memory goes back. Returns the Information count (60).
uint32_t BuildEchoReply(uint8_t* buffer, uint32_t inputLength);

// Fills `reply` for a "Start Hijack" request. `code` holds the 53 bytes
// read at the reported routine when `found` is 1, and is ignored otherwise.
// Returns the Information count (60).
uint32_t BuildHijackReply(int adsPresent, int found, const uint8_t* code, HIJACK_REPLY* reply);

// True when `name` (NUL-terminated UTF-16) ends in "\DR0" in any letter case
// and has at least one character before that ending.
bool NameEndsWithDr0(const char16_t* name);
