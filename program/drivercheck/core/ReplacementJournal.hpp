// The journal of a driver replacement. Before anything is made in the
// drivers folder, the run records which driver it replaces and under which
// names the clean copy and the infected file set aside stand meanwhile; once
// the clean copy has taken the driver's name, the journal says so. A run cut
// short in the middle (a power cut, a crash, a forced reset) leaves the
// journal behind, and the next run finds out from it and from the drivers
// folder what to finish or undo. The driver's name holds a file at every
// moment of the replacement: the infected file is set aside under a second
// name while the first still holds it, and the clean copy takes the name in
// one replacing move.
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
    bool replaced = false;      // the clean copy has taken the driver's name
};

// A file name of its own, usable in the drivers folder as it stands: not
// empty, no folder separators, drive or stream colons, wildcards, control
// characters, no "." or "..", no trailing dot or blank, no reserved device
// name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, in any case, with or
// without an extension: "nul.sys" opens the null device), and short enough
// to leave room for the journal's suffixes within a 260-character path.
bool IsPlainFileName(std::u16string_view name);

// The journal as one line of text, and back. The parser takes only what
// the formatter writes: names that are plain file names, a stamp of the
// form above, digest texts of 32 lower-case hexadecimal characters.
std::u16string FormatJournal(const ReplacementJournal& journal);
std::optional<ReplacementJournal> ParseJournal(std::u16string_view text);

// The names in the drivers folder during the replacement: the clean copy
// before it takes the driver's name, and the infected file set aside (a
// second name of the same file where the volume has hard links, a copy of
// it where it has none).
std::u16string StagedName(const ReplacementJournal& journal);
std::u16string AsideName(const ReplacementJournal& journal);

// What the drivers folder holds when a run finds the journal.
struct ReplacementState {
    bool replaced = false;      // the journal says the clean copy took the name
    bool driverExists = false;  // a file stands under the driver's name
    bool stagedExists = false;
    bool stagedIsClean = false; // the staged copy has the journal's clean digest
    bool asideExists = false;
    bool asideIsDriver = false; // the set-aside name is a hard link of the file under the driver's name
};

enum class RecoveryStep {
    DeleteStaged,     // the staged copy is not needed
    DeleteAside,      // the set-aside name or copy of a driver still in place is not needed
    MoveStagedIn,     // the clean copy takes the empty driver's name
    MoveAsideBack,    // the infected file takes its empty name back
    QuarantineAside,  // the infected file, no longer under the name, is kept in the quarantine and removed
};

struct RecoveryPlan {
    std::vector<RecoveryStep> steps;
    const char* outcome; // what the run's line says was found and done
};

// A file under the driver's name is never moved or written over: the
// replacement is finished only where the clean copy had already taken the
// name, and undone where it had not. A name found empty (an older run's
// two-move replacement, or a file removed by someone else) gets the clean
// copy when it is whole, the infected file back otherwise.
RecoveryPlan PlanRecovery(const ReplacementState& state);
