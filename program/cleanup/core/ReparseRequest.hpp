// Reparse data as FSCTL_GET_REPARSE_POINT returns it, and the request that
// FSCTL_DELETE_REPARSE_POINT takes. Both are read and written at the
// offsets of the REPARSE_GUID_DATA_BUFFER header, whatever the tag.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

constexpr std::size_t ReparseDataBufferSize = 16384;  // MAXIMUM_REPARSE_DATA_BUFFER_SIZE
constexpr std::size_t DeleteRequestSize = 24;         // REPARSE_GUID_DATA_BUFFER_HEADER_SIZE
constexpr std::size_t ReparseTagOffset = 0;
constexpr std::size_t ReparseDataLengthOffset = 4;
constexpr std::size_t ReparseReservedOffset = 6;
constexpr std::size_t ReparseGuidOffset = 8;

using ReparseGuid = std::array<uint8_t, 16>;

// The tag (offset 0) and the 16 bytes at offset 8 of reparse data. For a
// Microsoft tag those bytes are the start of the tag's own data rather than
// a GUID; they are taken all the same. Bytes the data does not hold read as 0.
uint32_t ReparseTagOf(std::span<const uint8_t> data);
ReparseGuid ReparseGuidOf(std::span<const uint8_t> data);

// Writes the delete request into `request`: the tag, a data length of 0,
// reserved 0, and the given 16 GUID bytes.
void FillDeleteRequest(std::span<uint8_t, DeleteRequestSize> request, uint32_t tag,
                       const ReparseGuid& guid);

// Sends one FSCTL_DELETE_REPARSE_POINT request; true when it was accepted.
using SendDeleteRequest = std::function<bool(std::span<const uint8_t, DeleteRequestSize>)>;

// The deletion in two attempts, in `request` (which the caller owns): first
// with a zero GUID; if that is refused, once more with `guid`. The result is
// that of the last request sent.
bool DeleteReparseTwoAttempts(std::span<uint8_t, DeleteRequestSize> request, uint32_t tag,
                              const ReparseGuid& guid, const SendDeleteRequest& send);
