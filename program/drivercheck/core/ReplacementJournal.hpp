// The journal of a driver replacement. Before the infected driver is moved
// aside, the run records which driver it replaces and under which names the
// clean copy and the infected file stand meanwhile; a run cut short in the
// middle (a power cut, a crash, a forced reset) leaves the journal behind,
// and the next run finds out from it and from the drivers folder what to
// finish or undo, so that a file always ends up under the driver's name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ReplacementJournal {
    std::u16string driverName; // the driver's file name in the drivers folder
    std::u16string stamp;      // the run's UTC time, "20261210T114005Z"
    std::string cleanDigest;   // digest text of the clean copy (32 hexadecimal characters)
    std::string infectedDigest; // digest text of the infected driver's raw copy, or empty
};

// A file name of its own, usable in the drivers folder as it stands: not
// empty, no folder separators, drive or stream colons, wildcards, control
// characters, no "." or "..", no trailing dot or blank, and short enough to
// leave room for the journal's suffixes within a 260-character path.
bool IsPlainFileName(std::u16string_view name);

// The journal as one line of text, and back. The parser takes only what
// the formatter writes: names that are plain file names, a stamp of the
// form above, digest texts of 32 lower-case hexadecimal characters.
std::u16string FormatJournal(const ReplacementJournal& journal);
std::optional<ReplacementJournal> ParseJournal(std::u16string_view text);

// The names in the drivers folder during the replacement: the clean copy
// before it takes the driver's name, and the infected file once moved aside.
std::u16string StagedName(const ReplacementJournal& journal);
std::u16string AsideName(const ReplacementJournal& journal);

// What the drivers folder holds when a run finds the journal.
struct ReplacementState {
    bool driverExists = false;  // a file stands under the driver's name
    bool driverIsClean = false; // it has the journal's clean digest
    bool stagedExists = false;
    bool stagedIsClean = false; // the staged copy has the journal's clean digest
    bool asideExists = false;
};

enum class RecoveryStep {
    DeleteStaged,     // the staged copy is not needed
    MoveStagedIn,     // the clean copy takes the driver's name
    MoveAsideBack,    // the infected file takes its name back
    QuarantineAside,  // the infected file is kept in the quarantine and removed
};

struct RecoveryPlan {
    std::vector<RecoveryStep> steps;
    const char* outcome; // what the run's line says was found and done
};

// A file under the driver's name is never touched. Without one, the clean
// copy is put in place when it is whole; otherwise the infected file is
// put back, which leaves the machine as it was before the replacement.
RecoveryPlan PlanRecovery(const ReplacementState& state);
