// The log file named by "/log:PATH": opened for appending beside other runs
// that append to the same file, examined before anything is written to it,
// and written once, with the whole record of the run, when the run ends.
#pragma once

#include "program/common/Handles.hpp"
#include "program/run/core/RunLog.hpp"

#include <string>

struct OpenedLog {
    // Absent when the log could not be opened (`error`) or is not to be
    // written (`refusal`).
    UniqueFile file;
    LogRefusal refusal = LogRefusal::None;
    DWORD error = 0;
};

// Opens the log, creating it when absent (a relative path is taken from the
// current folder), and examines the file behind the handle: a disk file, not
// a reparse point, one name only, and owned by SYSTEM, the administrators,
// this account or, on a file server, this computer's account.
OpenedLog OpenRunLog(const std::u16string& path);

// Appends the record at the end of the file in a single write; false (with
// GetLastError) when it was not written whole.
bool WriteRunLogRecord(HANDLE file, const RunLog& log);
