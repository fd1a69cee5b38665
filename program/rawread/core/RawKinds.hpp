// The raw reader's numeric codes, shared by the core and the Win32 layer:
// the kind of file system a volume carries and the steps that a raw copy
// reports to its caller.
#pragma once

#include <cstdint>

enum FileSystemKind : int32_t {
    FsOther = 0, // opens, but the raw reader refuses to use it
    FsNtfs = 1,
    FsExFat = 2,
    FsFat12 = 3,
    FsFat16 = 4,
    FsFat32 = 5,
    FsHpfs = 6,
    FsCdfs = 7,
};

enum RawCopyStep : uint32_t {
    StepVolume = 1,        // the source's volume was opened
    StepSourceFile = 2,    // the source file was resolved and opened
    StepClusterRuns = 3,   // the source's cluster runs were fetched
    StepResidentData = 4,  // the source's resident data was read
    StepDestination = 5,   // the destination was created (or refused)
    StepResidentWrite = 6, // the resident data was written
    StepProgress = 7,      // the cluster copy started, advanced, or failed
};
