// Win32 error codes the raw reader's core decides on. The core has no
// Windows headers, so it spells the few it needs here.
#pragma once

#include <cstdint>

namespace RawError {
constexpr uint32_t Success = 0;
constexpr uint32_t InvalidHandle = 6;
constexpr uint32_t InvalidData = 13;
constexpr uint32_t OutOfMemory = 14;
constexpr uint32_t HandleEof = 38;
constexpr uint32_t NotSupported = 50;
constexpr uint32_t InvalidParameter = 87;
constexpr uint32_t DiskFull = 112;
constexpr uint32_t BadArguments = 160;
constexpr uint32_t BadPathname = 161;
constexpr uint32_t FilenameExcedRange = 206;
constexpr uint32_t InvalidAddress = 487;
} // namespace RawError
