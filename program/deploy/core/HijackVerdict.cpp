#include "program/deploy/core/HijackVerdict.hpp"

#include "driver/HijackProtocol.h"
#include "program/deploy/core/Signature.hpp"
#include "program/run/core/RunSequence.hpp"

const char* const ScanErrorText = "\nError while scanning for QuorVallin\n\n";

namespace {

uint32_t ReadLittleEndian32(const uint8_t* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

HijackVerdict ErrorVerdict()
{
    return HijackVerdict{ScanError, {TextPiece(ScanErrorText)}};
}

HijackVerdict SignatureVerdict(int32_t type, const uint8_t* code, const char* signature)
{
    if (MatchSignature(code, HIJACK_SIG_SIZE, signature)) {
        return HijackVerdict{type,
                             {TextPiece("\nSystem Memory: "), ColourPiece(ColourInfected), TextPiece("Infected"),
                              ColourPiece(ColourNormal), TextPiece(" By QuorVallin!\n\n")}};
    }
    return HijackVerdict{Clean,
                         {TextPiece("\nSystem Memory: "), ColourPiece(ColourGood), TextPiece("Clean\n\n"),
                          ColourPiece(ColourNormal)}};
}

} // namespace

HijackVerdict EvaluateHijackReply(const uint8_t* reply, std::size_t length)
{
    if (reply == nullptr || length < HIJACK_REPLY_SIZE)
        return ErrorVerdict();
    const uint32_t type = ReadLittleEndian32(reply + __builtin_offsetof(HIJACK_REPLY, AdsType));
    switch (type) {
    case HIJACK_TYPE_PLAIN:
        return SignatureVerdict(Infected, reply, CreateDispatchSignature);
    case HIJACK_TYPE_ADS:
        return SignatureVerdict(InfectedAds, reply, DriverInitSignature);
    case HIJACK_TYPE_NOT_FOUND:
        return ErrorVerdict();
    default:
        return HijackVerdict{static_cast<int32_t>(type), {}};
    }
}
