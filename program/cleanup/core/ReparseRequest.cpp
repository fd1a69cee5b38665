#include "program/cleanup/core/ReparseRequest.hpp"

#include <algorithm>

uint32_t ReparseTagOf(std::span<const uint8_t> data)
{
    uint32_t tag = 0;
    for (std::size_t i = 0; i < 4 && ReparseTagOffset + i < data.size(); ++i)
        tag |= static_cast<uint32_t>(data[ReparseTagOffset + i]) << (8 * i);
    return tag;
}

ReparseGuid ReparseGuidOf(std::span<const uint8_t> data)
{
    ReparseGuid guid{};
    for (std::size_t i = 0; i < guid.size() && ReparseGuidOffset + i < data.size(); ++i)
        guid[i] = data[ReparseGuidOffset + i];
    return guid;
}

void FillDeleteRequest(std::span<uint8_t, DeleteRequestSize> request, uint32_t tag,
                       const ReparseGuid& guid)
{
    std::fill(request.begin(), request.end(), uint8_t{0});
    for (std::size_t i = 0; i < 4; ++i)
        request[ReparseTagOffset + i] = static_cast<uint8_t>(tag >> (8 * i));
    // ReparseDataLength and Reserved stay 0.
    std::copy(guid.begin(), guid.end(), request.begin() + ReparseGuidOffset);
}

bool DeleteReparseTwoAttempts(std::span<uint8_t, DeleteRequestSize> request, uint32_t tag,
                              const ReparseGuid& guid, const SendDeleteRequest& send)
{
    FillDeleteRequest(request, tag, ReparseGuid{});
    if (send(request))
        return true;
    FillDeleteRequest(request, tag, guid);
    return send(request);
}
