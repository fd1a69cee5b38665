#include "program/run/core/RunLog.hpp"

#include "program/run/core/Switches.hpp"

#include <cstdio>

namespace {

void AppendUtf8(std::string& out, uint32_t code)
{
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | code >> 6));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | code >> 12));
        out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | code >> 18));
        out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

} // namespace

std::string Utf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            AppendUtf8(out, 0x10000 + ((c - 0xD800u) << 10) + (text[i + 1] - 0xDC00u));
            ++i;
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

std::string UtcTimeText(const LogFacts& facts)
{
    char time[64];
    std::snprintf(time, sizeof(time), "%04u-%02u-%02uT%02u:%02u:%02uZ", unsigned{facts.year},
                  unsigned{facts.month}, unsigned{facts.day}, unsigned{facts.hour}, unsigned{facts.minute},
                  unsigned{facts.second});
    return time;
}

std::string UtcStampText(const LogFacts& facts)
{
    char stamp[64];
    std::snprintf(stamp, sizeof(stamp), "%04u%02u%02uT%02u%02u%02uZ", unsigned{facts.year}, unsigned{facts.month},
                  unsigned{facts.day}, unsigned{facts.hour}, unsigned{facts.minute}, unsigned{facts.second});
    return stamp;
}

std::string LogHeaderLine(const LogFacts& facts)
{
    std::string line = "=== KorvaleNoQuorVallin ";
    line.append(ToolVersion).append(" run at ").append(UtcTimeText(facts));
    line.append(" on computer ").append(Utf8(facts.computerName));
    line.append(", Windows ")
        .append(std::to_string(facts.majorVersion))
        .append(".")
        .append(std::to_string(facts.minorVersion))
        .append(" build ")
        .append(std::to_string(facts.buildNumber));
    if (!facts.servicePack.empty())
        line.append(" ").append(Utf8(facts.servicePack));
    return line.append(" ===");
}

std::string LogClosingLine(int exitCode)
{
    return "=== Exit code " + std::to_string(exitCode) + ": " + ExitCodeMeaning(exitCode) + " ===";
}

void AppendLogText(RunLog& log, std::string_view text)
{
    std::string& record = log.record;
    record.reserve(record.size() + text.size() + 8);
    for (char c : text) {
        if (c == '\n' && (record.empty() || record.back() != '\r'))
            record.push_back('\r');
        record.push_back(c);
    }
}

void AppendLogLine(RunLog& log, std::string_view line)
{
    if (!log.record.empty() && log.record.back() != '\n')
        AppendLogText(log, "\n");
    AppendLogText(log, line);
    AppendLogText(log, "\n");
}

std::string LogRecordBytes(const RunLog& log, bool logIsEmpty)
{
    return logIsEmpty ? log.record : "\r\n" + log.record;
}

LogRefusal JudgeLogFile(const LogFileFacts& facts)
{
    if (!facts.diskFile)
        return LogRefusal::NotADiskFile;
    if (!facts.examined)
        return LogRefusal::NotExamined;
    if (facts.reparsePoint)
        return LogRefusal::ReparsePoint;
    if (facts.links > 1)
        return LogRefusal::SeveralNames;
    if (!facts.ownerTrusted)
        return LogRefusal::ForeignOwner;
    return LogRefusal::None;
}

std::u16string LogRefusalWarning(std::u16string_view path, LogRefusal refusal)
{
    const char16_t* reason = u"";
    switch (refusal) {
    case LogRefusal::None:
        return u"";
    case LogRefusal::NotADiskFile:
        reason = u"is not a file on a disk";
        break;
    case LogRefusal::ReparsePoint:
        reason = u"is a link (a reparse point)";
        break;
    case LogRefusal::SeveralNames:
        reason = u"has more than one name (hard links)";
        break;
    case LogRefusal::ForeignOwner:
        reason = u"is owned by another account";
        break;
    case LogRefusal::NotExamined:
        reason = u"cannot be examined (its attributes or owner cannot be read)";
        break;
    }
    return u"Warning: The log file " + std::u16string(path) + u" " + reason + u" and is not written.\n";
}

ConsoleSink TeeConsole(const ConsoleSink& console, RunLog& log)
{
    return ConsoleSink{
        [console, &log](std::string_view text) {
            console.write(text);
            AppendLogText(log, text);
        },
        [console, &log](std::u16string_view text) {
            console.writeWide(text);
            AppendLogText(log, Utf8(text));
        },
        console.colour,
    };
}
