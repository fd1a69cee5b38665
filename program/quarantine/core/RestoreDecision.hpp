// The restore's decisions: what to do with one stored object, the console
// line that reports it, and the run's exit code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What is known about one object when the restore decides.
struct RestoreFacts {
    bool storedMatches = false;     // the stored bytes decode to the manifest's size and digests
    bool targetExists = false;      // a file, stream or key stands at the original path
    bool targetEqualsStored = false; // and holds exactly what was stored
    bool overwrite = false;         // "/overwrite" was given
};

enum class RestoreAction {
    Create,         // the target is absent: write it new
    Replace,        // the target differs and /overwrite was given
    LeaveInPlace,   // the target already holds what was stored
    RefuseDiffers,  // the target differs; without /overwrite it stays
    RefuseDamaged,  // the stored copy is not what the manifest describes
};

RestoreAction DecideRestore(const RestoreFacts& facts);

// How one object ended.
enum class RestoreOutcome {
    Restored,
    AlreadyInPlace,
    Differs,
    Damaged,
    Missing,  // the stored file is not in the folder
    Failed,   // it could not be put back; the detail says why
};

// "Restored: PATH", "Already in place: PATH", "Not restored: PATH (it now
// differs; /overwrite replaces it)", "Not restored: PATH (the stored copy is
// damaged)", "... (the stored copy is missing)", "... (DETAIL)"; each with "\n".
std::u16string RestoreLine(RestoreOutcome outcome, std::u16string_view path, std::u16string_view detail = {});

// Exit codes of a run started with /restore:FOLDER.
enum RestoreExitCode : int {
    RestoreComplete = 0,   // every object restored or already in place
    RestoreIncomplete = 4, // some object was not
    RestoreCannotRun = 5,  // not an administrator, no such folder, unreadable manifest
};

// The code's meaning in a few words, for the log's closing line.
const char* RestoreExitMeaning(int exitCode);
