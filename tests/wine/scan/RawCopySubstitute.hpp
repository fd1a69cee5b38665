// A stand-in for the raw copy engine, linked into the scan's Wine test
// binary in place of the real one: Wine cannot read a volume raw, so the
// real engine always fails there after creating its destination.
//
// The substitute plays the engine's callback protocol in short (source
// file, volume, destination, progress) and writes what the test planned
// for the source's file name: the file's ordinary content (the default, a
// clean driver), chosen bytes (an infected one), or a failure before or
// after the destination is created. It records every call.
//
// The chosen bytes stand for what the disk holds of the infected file:
// once another file stands under the name (the driver was replaced), the
// disk holds that file's content, which the substitute then copies, unless
// the plan says the rootkit writes its bytes back; the infected file itself,
// under whatever name it is moved to, is still copied as the chosen bytes.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

enum class SubstituteCopy {
    Ordinary,         // the source's content as the file system serves it
    Bytes,            // the planned bytes, while the file first copied stands under the name
    BytesAlways,      // the planned bytes, whichever file stands under the name
    FailBeforeCreate, // fails before the destination exists
    FailAfterCreate,  // creates an empty destination, then fails
};

struct SubstitutePlan {
    SubstituteCopy copy = SubstituteCopy::Ordinary;
    std::string bytes;
    DWORD attributes = FILE_ATTRIBUTE_ARCHIVE; // what the source file step reports
    DWORD fileSystemFlags = 0x000700FF;        // what the volume step reports
};

struct SubstituteCall {
    std::wstring source;
    std::wstring destination;
    bool callbackIsScans = false;   // the record's callback is OnRawCopyEvent
    bool cancelEventUnsignalled = false;
    bool contextIsSource = false;   // the context is the source path's text
};

// Plans the copy of the file with this name (compared without case).
void PlanRawCopy(const std::wstring& fileName, SubstitutePlan plan);
// Forgets every plan and every recorded call.
void ResetRawCopySubstitute();
const std::vector<SubstituteCall>& RawCopyCalls();
// Called at the start of every copy with its source path; none after a reset.
void ObserveRawCopies(std::function<void(const std::wstring& source)> observer);
