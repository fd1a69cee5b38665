// The log of a run started with "/log:PATH": a header line, the text the
// console shows without its colours, and a closing line with the exit code.
// The log is UTF-8 with Windows line ends: a "\n" becomes "\r\n" as in the
// console's text mode, and one that already follows a "\r" stays as it is.
// A run's record is gathered in memory and appended to the log in one
// write when the run ends, so that runs sharing a log never interleave.
#pragma once

#include "program/run/core/Console.hpp"

#include <cstdint>
#include <string>
#include <string_view>

// What the header line names.
struct LogFacts {
    // The time the run started, UTC.
    uint16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    std::u16string computerName;
    // The Windows version as GetVersionExW reports it.
    uint32_t majorVersion = 0, minorVersion = 0, buildNumber = 0;
    std::u16string servicePack;
};

// The run's time as text, UTC: "2026-01-31T23:59:58Z" (ISO 8601), and the
// same without separators, for names of files and folders: "20260131T235958Z".
std::string UtcTimeText(const LogFacts& facts);
std::string UtcStampText(const LogFacts& facts);

// The header line's text, e.g. "=== KorvaleNoQuorVallin v1.0 run at
// 2026-01-31T23:59:58Z on computer PC-17, Windows 5.1 build 2600 Service Pack 3 ===".
std::string LogHeaderLine(const LogFacts& facts);

// The closing line's text, e.g. "=== Exit code 1: infection found, nothing removed ===".
std::string LogClosingLine(int exitCode);

// UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8(std::u16string_view text);

// One run's record, as it will be written to the log.
struct RunLog {
    std::string record;
};

// Appends console text (narrow, or UTF-8) with Windows line ends.
void AppendLogText(RunLog& log, std::string_view text);

// Appends a line of its own: a line end first if the text before did not end one.
void AppendLogLine(RunLog& log, std::string_view line);

// The bytes that append the record to a log: in a log that already holds
// something, after a line end, which makes the empty line between two
// records (or ends the last line of one that was cut off).
std::string LogRecordBytes(const RunLog& log, bool logIsEmpty);

// Why a log file that could be opened is not written.
enum class LogRefusal {
    None,
    NotADiskFile,    // a device, pipe or console
    ReparsePoint,    // a symbolic link, junction or other reparse point
    SeveralNames,    // more than one hard link: it may be another name for a system file
    ForeignOwner,    // owned by an account other than SYSTEM, the administrators, this one and this computer
    NotExamined,     // its attributes or its owner could not be read
};

// What the Win32 layer found out about an opened log file.
struct LogFileFacts {
    bool diskFile = false;
    bool examined = false; // attributes, links and owner were read
    bool reparsePoint = false;
    uint32_t links = 1;
    bool ownerTrusted = false;
};

LogRefusal JudgeLogFile(const LogFileFacts& facts);

// The console's line for a log that is not written.
std::u16string LogRefusalWarning(std::u16string_view path, LogRefusal refusal);

// A console that writes to `console` and, without colours, to `log`, which
// must outlive it.
ConsoleSink TeeConsole(const ConsoleSink& console, RunLog& log);
