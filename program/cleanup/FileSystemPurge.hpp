// The purge walk's operations on the real file system: SetFileAttributesW,
// FindFirstFileW / FindNextFileW, DeleteFileW, and the console report.
#pragma once

#include "program/cleanup/core/PurgeWalk.hpp"

PurgeOperations FileSystemPurgeOperations();
