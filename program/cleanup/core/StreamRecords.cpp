#include "program/cleanup/core/StreamRecords.hpp"

#include "program/cleanup/core/PurgeWalk.hpp"

namespace {

uint32_t ReadUint32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A record at `pos` whose header and name lie within the bytes, and whose
// name ends before the next record begins.
struct Record {
    uint32_t next = 0;
    uint32_t nameBytes = 0;
};

std::optional<Record> ReadRecord(const uint8_t* data, std::size_t size, std::size_t pos)
{
    if (pos > size || size - pos < StreamRecordNameOffset)
        return std::nullopt;
    Record record;
    record.next = ReadUint32(data + pos + StreamRecordNextOffset);
    record.nameBytes = ReadUint32(data + pos + StreamRecordNameLength);
    if (record.nameBytes % 2 != 0)
        return std::nullopt;
    const std::size_t room = size - pos - StreamRecordNameOffset;
    if (record.nameBytes > room)
        return std::nullopt;
    if (record.next != 0 && record.next < StreamRecordNameOffset + static_cast<std::size_t>(record.nameBytes))
        return std::nullopt;
    return record;
}

std::u16string RecordName(const uint8_t* data, std::size_t pos, uint32_t nameBytes)
{
    std::u16string name(nameBytes / 2, u'\0');
    const uint8_t* p = data + pos + StreamRecordNameOffset;
    for (std::size_t i = 0; i < name.size(); ++i)
        name[i] = static_cast<char16_t>(p[2 * i] | p[2 * i + 1] << 8);
    return name;
}

bool EndsWith(std::u16string_view text, std::u16string_view suffix)
{
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

} // namespace

std::vector<std::u16string> WalkStreamRecords(const uint8_t* data, std::size_t size)
{
    std::vector<std::u16string> names;
    if (data == nullptr)
        return names;
    std::size_t pos = 0;
    std::optional<Record> record = ReadRecord(data, size, pos);
    // The first record is the unnamed data stream: only its link is used.
    while (record && record->next != 0) {
        if (record->next > size - pos)
            break;
        pos += record->next;  // next is not 0, so the walk always moves forward
        record = ReadRecord(data, size, pos);
        if (!record)
            break;
        names.push_back(RecordName(data, pos, record->nameBytes));
    }
    return names;
}

std::optional<StreamCandidate> MakeStreamCandidate(std::u16string_view entryPath,
                                                   std::u16string_view entryName,
                                                   std::u16string_view streamName)
{
    // A NUL inside the name would cut the path short where Windows reads it.
    if (!EndsWith(streamName, DataStreamSuffix) || streamName.find(u'\0') != std::u16string_view::npos)
        return std::nullopt;
    const std::u16string_view bare = streamName.substr(0, streamName.size() - DataStreamSuffix.size());
    if (entryPath.size() + streamName.size() > ScanPathMaxChars ||
        entryName.size() + bare.size() > ScanPathMaxChars)
        return std::nullopt;
    StreamCandidate candidate;
    candidate.streamPath.append(entryPath).append(streamName);
    candidate.candidateName.append(entryName).append(bare);
    return candidate;
}

std::vector<StreamCandidate> StreamCandidates(const uint8_t* data, std::size_t size,
                                              std::u16string_view entryPath,
                                              std::u16string_view entryName)
{
    std::vector<StreamCandidate> candidates;
    for (const std::u16string& name : WalkStreamRecords(data, size)) {
        if (auto candidate = MakeStreamCandidate(entryPath, entryName, name))
            candidates.push_back(std::move(*candidate));
    }
    return candidates;
}

std::optional<std::u16string> FindHiddenImage(const uint8_t* data, std::size_t size,
                                              std::u16string_view entryPath, std::u16string_view entryName,
                                              const StreamTests& tests)
{
    for (const StreamCandidate& candidate : StreamCandidates(data, size, entryPath, entryName)) {
        if (tests.isExecutable(candidate.streamPath) && tests.isProcessRunning(candidate.candidateName))
            return candidate.candidateName;
    }
    return std::nullopt;
}

std::optional<std::u16string> ScanEntryPath(std::u16string_view windowsDirectory,
                                            std::u16string_view entryName)
{
    return ChildPath(windowsDirectory, entryName, ScanPathMaxChars);
}

bool IsDotEntry(std::u16string_view name)
{
    return name == u"." || name == u"..";
}

bool LooksExecutable(bool readSucceeded, uint32_t streamSize, const uint8_t* bytes,
                     std::size_t bytesRead)
{
    return readSucceeded && streamSize != 0 && bytes != nullptr && bytesRead >= 2 &&
           bytes[0] == 0x4D && bytes[1] == 0x5A;
}
