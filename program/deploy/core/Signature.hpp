// The two code signatures of the rootkit and the anchored matcher that
// compares code bytes with a signature text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Bytes of the driver initialization routine that the rootkit installs
// beneath the first disk (matched against replies of type 1).
extern const char* const DriverInitSignature;
// Bytes of the create dispatch routine that the rootkit installs beneath
// the first disk (matched against replies of type 0).
extern const char* const CreateDispatchSignature;

// A signature text is a run of two-character pairs; pair k describes byte k
// of the code: "??" accepts any byte, two hexadecimal digits (either case)
// must equal it. A last single character is ignored. The match is anchored
// at data[0]. A text with more pairs than `length` never matches; a pair
// that is neither "??" nor two hexadecimal digits is a mismatch.
bool MatchSignature(const uint8_t* data, std::size_t length, std::string text);
