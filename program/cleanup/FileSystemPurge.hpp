// The purge walk's operations on the real file system: SetFileAttributesW,
// FindFirstFileW / FindNextFileW, DeleteFileW (after a copy is kept), and
// the console report.
#pragma once

#include "program/cleanup/core/PurgeWalk.hpp"

struct RemovalContext;

// A deleted file is kept in `context`'s quarantine first.
PurgeOperations FileSystemPurgeOperations(RemovalContext& context);
