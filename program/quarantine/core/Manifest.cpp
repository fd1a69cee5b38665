#include "program/quarantine/core/Manifest.hpp"

#include "program/quarantine/core/Inert.hpp"
#include "program/quarantine/core/QuarantineText.hpp"

#include <set>

const char16_t* const ManifestFileName = u"Manifest.txt";
const char16_t* const LocalMachinePrefix = u"HKEY_LOCAL_MACHINE\\";

namespace {

const std::string_view Title = "KorvaleNoQuorVallin quarantine manifest, format 2";
const std::string_view TitleOfFormat1 = "KorvaleNoQuorVallin quarantine manifest, format 1";
const std::string_view StoredSuffix = ".quarantine";
constexpr std::size_t StoredNameMaxChars = 128;
constexpr uint64_t SizeLimit = 0x7FFFFFFFFFFFFFFFull;

std::string EncodingLine()
{
    static const char digits[] = "0123456789ABCDEF";
    std::string line = "every stored byte is XORed with 0x";
    line.push_back(digits[InertByte >> 4]);
    line.push_back(digits[InertByte & 0xF]);
    return line;
}

struct KindName {
    QuarantineKind kind;
    std::string_view name;
};

constexpr KindName KindNames[] = {
    {QuarantineKind::File, "file"},
    {QuarantineKind::DataStream, "data stream"},
    {QuarantineKind::RegistryKey, "registry key"},
};

std::string_view NameOf(QuarantineKind kind)
{
    for (const KindName& k : KindNames)
        if (k.kind == kind)
            return k.name;
    return "file";
}

std::optional<QuarantineKind> KindNamed(std::string_view name)
{
    for (const KindName& k : KindNames)
        if (k.name == name)
            return k.kind;
    return std::nullopt;
}

std::optional<std::string_view> NumberField(CrlfLines& lines, std::string_view name, unsigned expected)
{
    const std::optional<std::string_view> value = NextField(lines, name);
    if (!value || value != std::to_string(expected))
        return std::nullopt;
    return value;
}

// `format1Verdict`: the header's verdict of a format 1 manifest, whose
// objects have none of their own; nothing for format 2.
std::optional<ManifestEntry> ParseEntry(CrlfLines& lines, unsigned number,
                                        const std::optional<std::u16string>& format1Verdict)
{
    ManifestEntry entry;
    if (!NumberField(lines, "Object", number))
        return std::nullopt;
    const std::optional<std::string_view> kind = NextField(lines, "Kind");
    const std::optional<QuarantineKind> parsedKind = kind ? KindNamed(*kind) : std::nullopt;
    if (!parsedKind)
        return std::nullopt;
    entry.kind = *parsedKind;

    std::optional<std::u16string> original = NextTextField(lines, "Original");
    if (!original || !IsRestorablePath(entry.kind, *original))
        return std::nullopt;
    entry.originalPath = std::move(*original);
    std::optional<std::u16string> stored = NextTextField(lines, "Stored");
    if (!stored || !IsStoredFileName(*stored))
        return std::nullopt;
    entry.storedName = std::move(*stored);

    const std::optional<std::string_view> size = NextField(lines, "Size");
    const std::optional<uint64_t> parsedSize = size ? ParseDecimal(*size, SizeLimit) : std::nullopt;
    if (!parsedSize)
        return std::nullopt;
    entry.size = *parsedSize;
    const std::optional<std::string_view> sha256 = NextField(lines, "SHA-256");
    if (!sha256 || !IsLowerHexOfLength(*sha256, 64))
        return std::nullopt;
    entry.sha256 = std::string(*sha256);
    const std::optional<std::string_view> md5 = NextField(lines, "MD5");
    if (!md5 || !IsLowerHexOfLength(*md5, 32))
        return std::nullopt;
    entry.md5 = std::string(*md5);

    std::optional<std::u16string> action = NextTextField(lines, "Action");
    std::optional<std::u16string> reason = action ? NextTextField(lines, "Reason") : std::nullopt;
    if (!reason)
        return std::nullopt;
    entry.action = std::move(*action);
    entry.reason = std::move(*reason);
    std::optional<std::u16string> memory = format1Verdict ? format1Verdict : NextTextField(lines, "Memory");
    if (!memory)
        return std::nullopt;
    entry.memoryVerdict = std::move(*memory);
    if (!NumberField(lines, "End of object", number))
        return std::nullopt;
    return entry;
}

} // namespace

bool IsRestorablePath(QuarantineKind kind, std::u16string_view path)
{
    if (path.find(u'\0') != std::u16string_view::npos)
        return false;
    if (kind == QuarantineKind::RegistryKey) {
        const std::u16string_view prefix = LocalMachinePrefix;
        return path.size() > prefix.size() && path.substr(0, prefix.size()) == prefix;
    }
    const bool drive = path.size() > 3 && ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'));
    return drive && path[1] == u':' && path[2] == u'\\';
}

bool IsStoredNameCharacter(char16_t c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'.' || c == u'_' ||
           c == u'-';
}

bool IsStoredFileName(std::u16string_view name)
{
    if (name.size() <= StoredSuffix.size() || name.size() > StoredNameMaxChars)
        return false;
    for (char16_t c : name)
        if (!IsStoredNameCharacter(c))
            return false;
    const std::u16string_view tail = name.substr(name.size() - StoredSuffix.size());
    for (std::size_t i = 0; i < tail.size(); ++i)
        if (tail[i] != static_cast<char16_t>(StoredSuffix[i]))
            return false;
    return true;
}

std::string ManifestHeaderText(const ManifestHeader& header)
{
    std::string out;
    out.append(Title).append("\r\n");
    AppendTextField(out, "Run", header.runTime);
    AppendTextField(out, "Computer", header.computerName);
    AppendTextField(out, "Computer SID", header.computerSid);
    AppendTextField(out, "Tool", header.toolVersion);
    AppendField(out, "Encoding", EncodingLine());
    return out.append("\r\n");
}

std::string ManifestEntryText(const ManifestEntry& entry, unsigned number)
{
    std::string out;
    AppendField(out, "Object", std::to_string(number));
    AppendField(out, "Kind", NameOf(entry.kind));
    AppendTextField(out, "Original", entry.originalPath);
    AppendTextField(out, "Stored", entry.storedName);
    AppendField(out, "Size", std::to_string(entry.size));
    AppendField(out, "SHA-256", entry.sha256);
    AppendField(out, "MD5", entry.md5);
    AppendTextField(out, "Action", entry.action);
    AppendTextField(out, "Reason", entry.reason);
    AppendTextField(out, "Memory", entry.memoryVerdict);
    AppendField(out, "End of object", std::to_string(number));
    return out.append("\r\n");
}

std::optional<Manifest> ParseManifest(std::string_view text)
{
    CrlfLines lines(text);
    Manifest manifest;
    const std::optional<std::string_view> title = lines.next();
    const bool format1 = title == TitleOfFormat1;
    if (title != Title && !format1)
        return std::nullopt;
    std::optional<std::u16string> runTime = NextTextField(lines, "Run");
    std::optional<std::u16string> computer = runTime ? NextTextField(lines, "Computer") : std::nullopt;
    std::optional<std::u16string> sid =
        !computer ? std::nullopt : format1 ? std::optional<std::u16string>(u"") : NextTextField(lines, "Computer SID");
    std::optional<std::u16string> tool = sid ? NextTextField(lines, "Tool") : std::nullopt;
    std::optional<std::u16string> format1Verdict;
    if (tool && format1) {
        format1Verdict = NextTextField(lines, "Memory");
        if (!format1Verdict)
            return std::nullopt;
    }
    if (!tool || NextField(lines, "Encoding") != EncodingLine())
        return std::nullopt;
    manifest.header = ManifestHeader{std::move(*runTime), std::move(*computer), std::move(*sid), std::move(*tool)};

    // Every block, the header's included, ends with an empty line.
    std::set<std::u16string> storedNames;
    while (lines.next() == std::string_view()) {
        if (lines.atEnd())
            return manifest;
        std::optional<ManifestEntry> entry = ParseEntry(lines, static_cast<unsigned>(manifest.entries.size() + 1), format1Verdict);
        if (!entry || !storedNames.insert(entry->storedName).second)
            return std::nullopt;
        manifest.entries.push_back(std::move(*entry));
    }
    return std::nullopt;
}
