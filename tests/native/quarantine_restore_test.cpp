// The restore's decisions, its console lines, the judgement of a folder it
// did not make, and the run of /restore: up to the restore itself.

#include "program/quarantine/core/RestoreDecision.hpp"
#include "program/quarantine/core/RestoreRun.hpp"
#include "tests/native/RecordingConsole.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using A = RestoreAction;

TEST(RestoreDecision, EveryCombination)
{
    // stored matches, target exists, target equals stored, overwrite -> action
    const struct {
        bool matches, exists, equals, overwrite;
        RestoreAction action;
    } table[] = {
        {false, false, false, false, A::RefuseDamaged}, {false, false, false, true, A::RefuseDamaged},
        {false, true, false, false, A::RefuseDamaged},  {false, true, false, true, A::RefuseDamaged},
        {false, true, true, false, A::RefuseDamaged},   {false, true, true, true, A::RefuseDamaged},
        {true, false, false, false, A::Create},         {true, false, false, true, A::Create},
        {true, true, true, false, A::LeaveInPlace},     {true, true, true, true, A::LeaveInPlace},
        {true, true, false, false, A::RefuseDiffers},   {true, true, false, true, A::Replace},
    };
    for (const auto& row : table)
        EXPECT_EQ(DecideRestore({row.matches, row.exists, row.equals, row.overwrite}), row.action)
            << row.matches << row.exists << row.equals << row.overwrite;
}

TEST(RestoreDecision, ConsoleLines)
{
    const std::u16string path = u"C:\\WINDOWS\\x.sys";
    EXPECT_EQ(RestoreLine(RestoreOutcome::Restored, path), u"Restored: C:\\WINDOWS\\x.sys\n");
    EXPECT_EQ(RestoreLine(RestoreOutcome::AlreadyInPlace, path), u"Already in place: C:\\WINDOWS\\x.sys\n");
    EXPECT_EQ(RestoreLine(RestoreOutcome::Differs, path),
              u"Not restored: C:\\WINDOWS\\x.sys (it now differs; /overwrite replaces it)\n");
    EXPECT_EQ(RestoreLine(RestoreOutcome::Damaged, path), u"Not restored: C:\\WINDOWS\\x.sys (the stored copy is damaged)\n");
    EXPECT_EQ(RestoreLine(RestoreOutcome::Missing, path), u"Not restored: C:\\WINDOWS\\x.sys (the stored copy is missing)\n");
    EXPECT_EQ(RestoreLine(RestoreOutcome::Failed, path, u"it cannot be replaced (error 5)"),
              u"Not restored: C:\\WINDOWS\\x.sys (it cannot be replaced (error 5))\n");
}

// --- the run of /restore: ------------------------------------------------------------

struct RestoreScenario {
    const char* name;
    OsVersion version{2, 5};
    bool admin = true;
    int expectedExit;
    std::vector<std::string> expectedCalls;
    std::string expectedLine;
    std::optional<std::u16string> fat; // the system volume, when it keeps no access lists
};

TEST(RestoreRun, RefusesAsARemovalRunDoesAndOtherwiseOnlyRestores)
{
    const RestoreScenario scenarios[] = {
        {"an administrator", {2, 5}, true, 4, {"title", "version", "admin", "restore"}, ""},
        {"an administrator on FAT32", {2, 5}, true, 4, {"title", "version", "admin", "restore"},
         "Warning: The system volume C:\\ (FAT32) keeps no owners or access lists: other accounts can change the "
         "program's files there while it runs.\n",
         u"C:\\ (FAT32)"},
        {"not an administrator", {2, 6}, false, 5, {"title", "version", "admin"},
         "Administrator privileges is required for this removal to work!\n"},
        {"64-bit Windows", {2, 6, true}, true, 5, {"title", "version"}, "This removal tool runs on 32-bit Windows only.\n"},
        {"Windows 9x", {1, 4}, true, 5, {"title", "version"}, "Windows XP SP3 or later is required!\n"},
    };
    for (const RestoreScenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        std::vector<std::string> calls;
        RunPhases phases; // a phase the restore run must not call stays empty and throws when called
        phases.setConsoleTitle = [&](std::u16string_view) { calls.push_back("title"); };
        phases.getVersion = [&] { calls.push_back("version"); return s.version; };
        phases.isUserAnAdmin = [&] { calls.push_back("admin"); return s.admin; };
        phases.systemVolumeWithoutAccessLists = [&] { return s.fat; };
        RecordingConsole console;
        const int code = RunRestore(phases, console.sink, [&] {
            calls.push_back("restore");
            return 4;
        });
        EXPECT_EQ(code, s.expectedExit);
        EXPECT_EQ(calls, s.expectedCalls);
        EXPECT_EQ(console.transcript,
                  "Korvale Antivirus QuorVallin Removal - v1.0\nKorvale Antivirus Research Labs\n\n" + s.expectedLine);
    }
}

TEST(RestoreRun, ClosingLineOfTheLog)
{
    EXPECT_EQ(RestoreClosingLine(0), "=== Exit code 0: everything restored or already in place ===");
    EXPECT_EQ(RestoreClosingLine(4), "=== Exit code 4: some objects were not restored ===");
    EXPECT_EQ(RestoreClosingLine(5), "=== Exit code 5: cannot run ===");
}

} // namespace
