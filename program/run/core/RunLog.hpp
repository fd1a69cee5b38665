// The log of a run started with "/log:PATH": a header line, the text the
// console shows without its colours, and a closing line with the exit code.
// The log is UTF-8 with the console's line ends: the console's text mode
// writes every "\n" as "\r\n", and so does the log.
#pragma once

#include "program/run/core/Console.hpp"

#include <cstdint>
#include <functional>
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

// The header line's text, e.g. "=== KorvaleNoQuorVallin v1.0 run at
// 2026-01-31T23:59:58Z on computer PC-17, Windows 5.1 build 2600 Service Pack 3 ===".
std::string LogHeaderLine(const LogFacts& facts);

// The closing line's text, e.g. "=== Exit code 1: infection found, nothing removed ===".
std::string LogClosingLine(int exitCode);

// UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8(std::u16string_view text);

// Where the log's bytes go, and whether the last byte written ended a line.
struct RunLog {
    std::function<void(std::string_view)> append;
    bool atLineStart = true;
};

// Appends console text (narrow, or UTF-8) with the console's line ends.
void AppendLogText(RunLog& log, std::string_view text);

// Appends a line of its own: a line end first if the text before did not end one.
void AppendLogLine(RunLog& log, std::string_view line);

// A console that writes to `console` and, without colours, to `log`, which
// must outlive it.
ConsoleSink TeeConsole(const ConsoleSink& console, RunLog& log);
