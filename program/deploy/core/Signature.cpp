#include "program/deploy/core/Signature.hpp"

const char* const DriverInitSignature =
    "81EC0C040000578BBC2414040000??????????83C738B91C000000F3AB????????????8B118D44240C506A006A00526A006A006A40";
const char* const CreateDispatchSignature =
    "518b442408535556573b0504??????75118b5c241ce8a6fcffff5f5e5d5b59c208008b40288b74241c8b7e608b68048a073c16751e";

namespace {

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool MatchSignature(const uint8_t* data, std::size_t length, std::string text)
{
    const std::size_t pairs = text.size() / 2;
    if (length < pairs)
        return false;
    for (std::size_t k = 0; k < pairs; ++k) {
        const char high = text[2 * k];
        const char low = text[2 * k + 1];
        if (high == '?' && low == '?')
            continue;
        const int h = HexDigitValue(high);
        const int l = HexDigitValue(low);
        if (h < 0 || l < 0)
            return false;
        if (data[k] != static_cast<uint8_t>(h * 16 + l))
            return false;
    }
    return true;
}
