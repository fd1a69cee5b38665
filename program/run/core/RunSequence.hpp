// The run of one removal, top to bottom: which phase follows which result,
// and which message and colour follow which outcome. The phases themselves
// are callables, so the run's decisions can be exercised without Windows.
#pragma once

#include "program/run/core/Console.hpp"

#include <cstdint>
#include <functional>
#include <istream>
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

// What GetVersionExW reported (all zero when it failed).
struct OsVersion {
    uint32_t platformId = 0;
    uint32_t majorVersion = 0;
};

constexpr uint32_t PlatformWin32Nt = 2;

// The phases of a run, in the order the run calls them.
struct RunPhases {
    std::function<void()> enableDebugPrivilege;
    std::function<void(std::u16string_view)> setConsoleTitle;
    std::function<OsVersion()> getVersion;
    std::function<bool()> isUserAnAdmin;
    std::function<bool()> extractDriver;
    std::function<ServiceHandles()> installAndStartDriver;
    std::function<int32_t()> inspectSystemMemory;
    std::function<bool(ServiceHandles)> stopAndDeleteDriver;
    std::function<bool()> scanSystemDrivers;
    std::function<bool()> askRestartConsent;
    std::function<void()> scanWindowsDirectoryStreams;
    std::function<void()> removeRootkitFolder;
    std::function<bool()> replaceInfectedDriver;
    std::function<void()> cleanServiceRegistry;
    std::function<bool()> restartWindows;
    std::function<void(uint32_t)> sleep;
    std::function<void()> waitForKey;
    std::function<bool()> deleteDriverFile;
};

extern const char16_t* const BannerText;
extern const char16_t* const ConsoleTitleText;

// Runs the removal with the given phases and console; returns the exit code (always 0).
int RunRemoval(const RunPhases& phases, const ConsoleSink& console);

// The [y/n] restart question: reads whitespace-delimited words from `in`
// until one is exactly "y" (true) or "n" (false), and leaves the rest of
// that answer's line unread. End of input or a failed read counts as "n".
bool AskRestartConsentOn(std::istream& in, const ConsoleSink& console);
