// The run of one removal, top to bottom: which phase follows which result,
// and which message and colour follow which outcome. The phases themselves
// are callables, so the run's decisions can be exercised without Windows.
#pragma once

#include "program/run/core/Console.hpp"

#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <string>

// The verdict of the memory inspection; any other value gets no reaction.
enum MemoryScanOutcome : int32_t {
    Infected = 0,
    InfectedAds = 1,
    Clean = 2,
    ScanError = 3,
};

// The service control manager handle and the driver service handle, owned
// by the run between installation and removal of the helper driver.
struct ServiceHandles {
    void* manager = nullptr;
    void* service = nullptr;
};

// What GetVersionExW reported (all zero when it failed), and whether this
// 32-bit process runs under WOW64, that is on 64-bit Windows.
struct OsVersion {
    uint32_t platformId = 0;
    uint32_t majorVersion = 0;
    bool wow64 = false;
};

constexpr uint32_t PlatformWin32Nt = 2;

// What the system driver scan found.
struct DriverScanFindings {
    bool infected = false;    // at least one driver's raw and ordinary digests differ
    uint32_t judged = 0;      // drivers large enough to be judged: each got a line
    uint32_t notVerified = 0; // of those, the ones that could not be compared
};

// How a cleanup step of the repair ended.
enum class CleanupResult {
    Done,     // it found what it looks for and removed it
    NotFound, // it found nothing to remove
    Failed,   // it found it, but could not remove all of it
};

// What the raw re-read of the driver after a replacement found.
enum class ReplacedDriverCheck {
    Clean,      // the clean content the replacement put in place
    Infected,   // the infected content the scan read
    Other,      // neither
    Unreadable, // the driver could not be read straight from the disk
};

// The phases of a run, in the order the run calls them.
struct RunPhases {
    // True when the debug privilege is now enabled.
    std::function<bool()> enableDebugPrivilege;
    std::function<void(std::u16string_view)> setConsoleTitle;
    std::function<OsVersion()> getVersion;
    std::function<bool()> isUserAnAdmin;
    // The system volume and its file system ("C:\ (FAT32)") when it keeps
    // no owners or access lists; nothing when it keeps them.
    std::function<std::optional<std::u16string>()> systemVolumeWithoutAccessLists;
    // Finishes a driver replacement that an earlier run left half done
    // (its journal says so), before anything else changes; writes a line
    // when it found one.
    std::function<void()> completeInterruptedReplacement;
    // The run's private work folder; writes its line when it cannot be made.
    std::function<bool()> makeWorkFolder;
    std::function<bool()> extractDriver;
    std::function<ServiceHandles()> installAndStartDriver;
    std::function<int32_t()> inspectSystemMemory;
    std::function<bool(ServiceHandles)> stopAndDeleteDriver;
    std::function<DriverScanFindings()> scanSystemDrivers;
    std::function<bool()> askRestartConsent;
    // True when the executable hidden in a data stream was found.
    std::function<bool()> scanWindowsDirectoryStreams;
    std::function<CleanupResult()> removeRootkitFolder;
    std::function<bool()> replaceInfectedDriver;
    // What a raw copy of the driver now on the disk holds.
    std::function<ReplacedDriverCheck()> verifyReplacedDriver;
    std::function<CleanupResult()> cleanServiceRegistry;
    // The folder that holds what this run's repair removed; empty for none.
    std::function<std::u16string()> quarantineFolder;
    // An automatic restart requested by an earlier run after its repair:
    // its description (time and driver), or nothing.
    std::function<std::optional<std::u16string>()> previousAutomaticRestart;
    // Records the automatic restart about to be requested; false when it
    // could not be recorded.
    std::function<bool()> recordAutomaticRestart;
    // Forgets a recorded automatic restart: the machine was found clean.
    std::function<void()> forgetAutomaticRestart;
    std::function<bool()> restartWindows;
    std::function<void(uint32_t)> sleep;
    std::function<void()> waitForKey;
    std::function<bool()> deleteDriverFile;
};

extern const char16_t* const BannerText;
extern const char16_t* const ConsoleTitleText;
extern const char* const ToolVersion;

// Who decides about a repair when both findings agree.
enum class RepairConsent {
    Ask,    // the [y/n] restart question
    Never,  // detection only
    Given,  // given in advance: proceed as if the answer were y
};

// How a run goes. The defaults are the interactive run.
struct RunOptions {
    // Started with switches: no exit prompt and no key wait at the end,
    // and a failed driver replacement is warned of in both repair branches.
    bool switches = false;
    RepairConsent consent = RepairConsent::Ask;
    // false: after a repair, tell the user to restart instead of restarting.
    bool restart = true;
};

// What a run found and did.
struct RunReport {
    bool refused = true;           // ended before the helper driver was deployed
    int32_t outcome = ScanError;   // the memory inspection's verdict
    bool driverInfected = false;   // the driver scan's finding
    bool repairAttempted = false;
    bool repairStepFailed = false; // a step of the repair did not do its work
    uint32_t driversJudged = 0;
    uint32_t driversNotVerified = 0; // judged drivers that could not be compared
};

// The title, the banner and the start-up checks of every run: an unsupported
// Windows (or a 64-bit one) and a user who is not an administrator are
// refused with their line. True when the run may go on.
bool PassStartUpChecks(const RunPhases& phases, const ConsoleSink& console);

// With switches, the one line of a run on a system volume that keeps no
// owners or access lists: every account can change the program's files
// there. Without switches nothing is said.
void WarnOfVolumeWithoutAccessLists(const RunPhases& phases, const ConsoleSink& console, bool switches);

// Runs the removal with the given phases and console; returns the exit code (always 0).
int RunRemoval(const RunPhases& phases, const ConsoleSink& console);

// Runs the removal as the options say and reports what it found and did.
RunReport RunRemovalWith(const RunPhases& phases, const ConsoleSink& console, const RunOptions& options);

// The [y/n] restart question: reads whitespace-delimited words from `in`
// until one is exactly "y" (true) or "n" (false), and leaves the rest of
// that answer's line unread. End of input or a failed read counts as "n".
bool AskRestartConsentOn(std::istream& in, const ConsoleSink& console);
