// Phases of a run that answer as a test plans and record every call by
// name, for the tests of the run's decisions.
#pragma once

#include "program/run/core/RunSequence.hpp"

#include <optional>
#include <string>
#include <vector>

struct PhaseAnswers {
    OsVersion version{2, 6};
    bool admin = true;
    bool debugPrivilege = true;
    bool workFolderMade = true;
    bool extracted = true;
    ServiceHandles handles{reinterpret_cast<void*>(1), reinterpret_cast<void*>(2)};
    int32_t outcome = Clean;
    DriverScanFindings findings{};
    bool consent = false;
    bool streamFound = true;
    CleanupResult folder = CleanupResult::Done;
    bool replaced = true;
    ReplacedDriverCheck verified = ReplacedDriverCheck::Clean;
    CleanupResult registry = CleanupResult::Done;
    std::u16string quarantine;
    std::optional<std::u16string> previousRestart;
    bool restartRecorded = true;
    bool restarted = true;
    std::optional<std::u16string> volumeWithoutAccessLists; // the system volume, when it is FAT
};

// Calls are recorded as "debug", "title", "version", "admin", "journal",
// "work folder" (only when it is not made), "extract", "install", "inspect", "stop", "scan", "ask", "streams",
// "folder", "replace", "verify", "registry", "record restart",
// "forget restart", "sleep", "restart", "key", "delete". The questions
// that change nothing (the quarantine's folder, an earlier restart, the
// system volume's kind) are not recorded.
struct RecordingPhases {
    std::vector<std::string> calls;
    RunPhases phases;

    explicit RecordingPhases(const PhaseAnswers& a)
    {
        auto note = [this](const char* name) { calls.emplace_back(name); };
        phases.enableDebugPrivilege = [=] { note("debug"); return a.debugPrivilege; };
        phases.setConsoleTitle = [=](std::u16string_view) { note("title"); };
        phases.getVersion = [=] { note("version"); return a.version; };
        phases.isUserAnAdmin = [=] { note("admin"); return a.admin; };
        phases.systemVolumeWithoutAccessLists = [=] { return a.volumeWithoutAccessLists; };
        phases.completeInterruptedReplacement = [=] { note("journal"); };
        phases.makeWorkFolder = [=] {
            if (!a.workFolderMade)
                note("work folder");
            return a.workFolderMade;
        };
        phases.extractDriver = [=] { note("extract"); return a.extracted; };
        phases.installAndStartDriver = [=] { note("install"); return a.handles; };
        phases.inspectSystemMemory = [=] { note("inspect"); return a.outcome; };
        phases.stopAndDeleteDriver = [=](ServiceHandles h) {
            note("stop");
            return h.manager == a.handles.manager && h.service == a.handles.service && h.manager != nullptr
                && h.service != nullptr;
        };
        phases.scanSystemDrivers = [=] { note("scan"); return a.findings; };
        phases.askRestartConsent = [=] { note("ask"); return a.consent; };
        phases.scanWindowsDirectoryStreams = [=] { note("streams"); return a.streamFound; };
        phases.removeRootkitFolder = [=] { note("folder"); return a.folder; };
        phases.replaceInfectedDriver = [=] { note("replace"); return a.replaced; };
        phases.verifyReplacedDriver = [=] { note("verify"); return a.verified; };
        phases.cleanServiceRegistry = [=] { note("registry"); return a.registry; };
        phases.quarantineFolder = [=] { return a.quarantine; };
        phases.previousAutomaticRestart = [=] { return a.previousRestart; };
        phases.recordAutomaticRestart = [=] { note("record restart"); return a.restartRecorded; };
        phases.forgetAutomaticRestart = [=] { note("forget restart"); };
        phases.restartWindows = [=] { note("restart"); return a.restarted; };
        phases.sleep = [=](uint32_t) { note("sleep"); };
        phases.waitForKey = [=] { note("key"); };
        phases.deleteDriverFile = [=] { note("delete"); return true; };
    }
};

// Findings of a scan: whether a driver was infected, how many were judged,
// how many of those could not be verified.
inline DriverScanFindings Found(bool infected, uint32_t judged = 3, uint32_t notVerified = 0)
{
    return DriverScanFindings{infected, judged, notVerified};
}
