#include "driver/core/HijackReply.hpp"

namespace {

void FillBytes(uint8_t* to, uint8_t value, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        to[i] = value;
}

void CopyBytes(uint8_t* to, const uint8_t* from, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        to[i] = from[i];
}

char16_t FoldCase(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

} // namespace

HijackRequestKind ClassifyHijackRequest(const uint8_t* buffer, uint32_t inputLength,
                                        uint32_t outputLength)
{
    if (buffer == nullptr || inputLength < HIJACK_REQUEST_SIZE || outputLength < HIJACK_REPLY_SIZE)
        return HijackRequestTooSmall;
    // strcmp of NUL-terminated texts: equal exactly when the first 13 bytes
    // are the text and its terminator.
    const char* text = HIJACK_REQUEST_TEXT;
    for (uint32_t i = 0; i < HIJACK_REQUEST_SIZE; ++i) {
        if (buffer[i] != static_cast<uint8_t>(text[i]))
            return HijackRequestOther;
    }
    return HijackRequestStart;
}

uint32_t BuildEchoReply(uint8_t* buffer, uint32_t inputLength)
{
    if (inputLength < HIJACK_REPLY_SIZE)
        FillBytes(buffer + inputLength, 0, HIJACK_REPLY_SIZE - inputLength);
    return HIJACK_REPLY_SIZE;
}

uint32_t BuildHijackReply(int adsPresent, int found, const uint8_t* code, HIJACK_REPLY* reply)
{
    FillBytes(reinterpret_cast<uint8_t*>(reply), 0, HIJACK_REPLY_SIZE);
    if (found == 1 && code != nullptr) {
        CopyBytes(reply->SigBuff, code, HIJACK_SIG_SIZE);
        reply->AdsType = adsPresent == 1 ? HIJACK_TYPE_ADS : HIJACK_TYPE_PLAIN;
    } else {
        reply->AdsType = HIJACK_TYPE_NOT_FOUND;
    }
    return HIJACK_REPLY_SIZE;
}

bool NameEndsWithDr0(const char16_t* name)
{
    if (name == nullptr)
        return false;
    uint32_t n = 0;
    while (name[n] != 0)
        ++n;
    const char16_t ending[] = u"\\DR0";
    const uint32_t endingLength = 4;
    if (n <= endingLength) // position 0 is never tried
        return false;
    for (uint32_t i = 0; i < endingLength; ++i) {
        if (FoldCase(name[n - endingLength + i]) != ending[i])
            return false;
    }
    return true;
}
