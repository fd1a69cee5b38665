// Stream records as a hostile file system could return them: the walk must
// stay inside the bytes, move forward, and build only names that fit.

#include "program/cleanup/core/StreamRecords.hpp"
#include "tests/fuzz/Reached.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size > StreamBufferSize)
        size = StreamBufferSize;
    // An exact-size copy, so that any read past the returned bytes is caught.
    std::vector<uint8_t> returned(data, data + size);
    const std::vector<std::u16string> names = WalkStreamRecords(returned.data(), returned.size());

    // Each record takes at least its 24-byte header, so the walk cannot
    // yield more names than headers fit after the first.
    if (names.size() > size / StreamRecordNameOffset)
        std::abort();
    const auto candidates = StreamCandidates(returned.data(), returned.size(), u"C:\\windows\\abc.dll", u"abc.dll");
    if (!candidates.empty())
        fuzzreach::Reached();
    if (candidates.size() > names.size())
        std::abort();
    for (const StreamCandidate& c : candidates) {
        if (c.streamPath.size() > ScanPathMaxChars || c.candidateName.size() > ScanPathMaxChars)
            std::abort();
        if (c.candidateName.find(u'\0') != std::u16string::npos)
            std::abort();
    }
    return 0;
}
