// The raw copy callback of the system driver scan.
#pragma once

#include "program/rawread/RawRead.hpp"

// Answers the raw copy engine after each step: a failed step stops the copy,
// and so does a compressed or sparse source or a compressed volume, with a
// warning on the console. `context` is the source path; it is not used.
BOOL WINAPI OnRawCopyEvent(ULONG_PTR context, RawCopyStep step, BOOL status, ULONG_PTR argument, LONG extra);
