// The helper driver's handling of a buffered control request whose bytes
// and lengths the caller chooses: classification, echo and reply.

#include "driver/core/HijackReply.hpp"
#include "tests/fuzz/Reached.hpp"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // The I/O manager's system buffer has room for the larger of the two
    // lengths and holds the caller's input at its start.
    const uint32_t outputLength = data[0] % 72;
    const uint8_t flags = data[1];
    const uint8_t* input = data + 2;
    const uint32_t inputLength = static_cast<uint32_t>(size - 2);
    const size_t bufferSize = inputLength > outputLength ? inputLength : outputLength;
    std::vector<uint8_t> buffer(bufferSize);
    if (inputLength != 0)
        std::memcpy(buffer.data(), input, inputLength);

    const HijackRequestKind kind =
        ClassifyHijackRequest(buffer.empty() ? nullptr : buffer.data(), inputLength, outputLength);
    const bool isStart = inputLength >= 13 && std::memcmp(input, "Start Hijack", 13) == 0;
    if (inputLength < 13 || outputLength < 60) {
        Check(kind == HijackRequestTooSmall);
        return 0;
    }
    Check(kind == (isStart ? HijackRequestStart : HijackRequestOther));
    if (kind == HijackRequestOther) {
        Check(BuildEchoReply(buffer.data(), inputLength) == 60);
        for (uint32_t i = 0; i < 60; ++i)
            Check(buffer[i] == (i < inputLength ? input[i] : 0));
        return 0;
    }

    HIJACK_REPLY reply;
    std::memset(&reply, 0xEE, sizeof(reply));
    const int adsPresent = flags & 1;
    const int found = (flags >> 1) & 1;
    const uint8_t* code = inputLength >= 13 + HIJACK_SIG_SIZE ? input + 13 : nullptr;
    Check(BuildHijackReply(adsPresent, found, code, &reply) == 60);
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&reply);
    if (found && code != nullptr) {
        fuzzreach::Reached();
        Check(std::memcmp(reply.SigBuff, code, HIJACK_SIG_SIZE) == 0);
        Check(reply.AdsType == static_cast<uint32_t>(adsPresent));
    } else {
        for (int i = 0; i < 56; ++i)
            Check(raw[i] == 0);
        Check(reply.AdsType == HIJACK_TYPE_NOT_FOUND);
    }
    Check(raw[53] == 0 && raw[54] == 0 && raw[55] == 0);
    return 0;
}
