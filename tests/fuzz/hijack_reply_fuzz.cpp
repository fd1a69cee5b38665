// The program's verdict on reply bytes that come from the kernel, and the
// signature matcher over arbitrary code bytes and signature texts.

#include "driver/HijackProtocol.h"
#include "program/deploy/core/HijackVerdict.hpp"
#include "program/deploy/core/Signature.hpp"
#include "program/run/core/RunSequence.hpp"
#include "tests/fuzz/Reached.hpp"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

std::string Text(const ConsoleScript& script)
{
    std::string text;
    for (const ConsolePiece& piece : script)
        text += piece.isColour ? "<c" + std::to_string(piece.colour) + ">" : piece.text;
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The reply exactly as long as the bytes returned, so that any read past
    // them is caught.
    std::vector<uint8_t> reply(data, data + size);
    const HijackVerdict verdict = EvaluateHijackReply(reply.empty() ? nullptr : reply.data(), reply.size());
    const std::string text = Text(verdict.script);
    if (size < HIJACK_REPLY_SIZE) {
        Check(verdict.outcome == ScanError && text == ScanErrorText);
    } else {
        uint32_t type;
        std::memcpy(&type, data + 56, sizeof(type));
        if (type == 0 || type == 1) {
            const bool matches = MatchSignature(data, HIJACK_SIG_SIZE, type == 0 ? CreateDispatchSignature
                                                                               : DriverInitSignature);
            if (matches)
                fuzzreach::Reached();
            Check(verdict.outcome == (matches ? static_cast<int32_t>(type) : Clean));
            Check(text == (matches ? "\nSystem Memory: <c12>Infected<c15> By QuorVallin!\n\n"
                                   : "\nSystem Memory: <c10>Clean\n\n<c15>"));
        } else if (type == 3) {
            Check(verdict.outcome == ScanError && text == ScanErrorText);
        } else {
            Check(verdict.outcome == static_cast<int32_t>(type) && verdict.script.empty());
        }
    }

    // Signature text and code bytes from the input: first byte splits it.
    if (size > 1) {
        const size_t split = 1 + data[0] % (size - 1);
        const std::string signature(reinterpret_cast<const char*>(data + 1), split - 1);
        std::vector<uint8_t> code(data + split, data + size);
        const bool matches = MatchSignature(code.empty() ? nullptr : code.data(), code.size(), signature);
        if (signature.size() / 2 > code.size())
            Check(!matches);
    }
    return 0;
}
