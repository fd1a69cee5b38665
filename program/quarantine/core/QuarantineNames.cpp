#include "program/quarantine/core/QuarantineNames.hpp"

#include <cstdio>

const char16_t* const QuarantineFolderName = u"KorvaleQuarantine";

namespace {

constexpr std::size_t StoredStemMaxChars = 48;

std::u16string Widen(std::string_view text) { return std::u16string(text.begin(), text.end()); }

std::u16string_view LastPart(std::u16string_view path)
{
    const std::size_t slash = path.rfind(u'\\');
    return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

} // namespace

std::u16string RunFolderName(const LogFacts& time, unsigned attempt)
{
    std::u16string folder = Widen(UtcStampText(time));
    if (attempt > 1)
        folder += u"-" + Widen(std::to_string(attempt));
    return folder;
}

std::u16string IsoUtcTime(const LogFacts& time)
{
    return Widen(UtcTimeText(time));
}

std::u16string StoredFileName(unsigned number, QuarantineKind kind, std::u16string_view originalPath)
{
    char prefix[16];
    std::snprintf(prefix, sizeof(prefix), "%03u-", number);
    std::u16string stem(LastPart(originalPath).substr(0, StoredStemMaxChars));
    for (char16_t& c : stem)
        if (!IsStoredNameCharacter(c))
            c = u'_';
    if (stem.empty())
        stem = u"object";
    if (kind == QuarantineKind::RegistryKey)
        stem += u".key";
    return Widen(prefix) + stem + u".quarantine";
}

bool IsDataStreamPath(std::u16string_view path)
{
    const std::u16string_view last = LastPart(path);
    // "C:x" has no backslash; its colon is the drive's.
    const std::size_t from = last.size() == path.size() && path.size() > 1 && path[1] == u':' ? 2 : 0;
    return last.find(u':', from) != std::u16string_view::npos;
}

std::u16string RestoreWorkPath(std::u16string_view target, unsigned attempt)
{
    return std::u16string(target) + u"." + Widen(std::to_string(attempt)) + u".restoring";
}
