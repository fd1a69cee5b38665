// Builds FILE_STREAM_INFORMATION chains as a file system returns them:
// records at 8-byte boundaries, the unnamed data stream first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace streambytes {

inline void PutUint32(std::vector<uint8_t>& bytes, std::size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

struct Chain {
    std::vector<uint8_t> bytes;
    std::vector<std::size_t> offsets;  // where each record begins
};

// One record per name, linked in order; the last has NextEntryOffset 0.
inline Chain MakeChain(const std::vector<std::u16string>& names)
{
    Chain chain;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::size_t at = chain.bytes.size();
        chain.offsets.push_back(at);
        const std::size_t nameBytes = names[i].size() * 2;
        std::size_t recordSize = 24 + nameBytes;
        if (i + 1 < names.size())
            recordSize = (recordSize + 7) & ~std::size_t{7};
        chain.bytes.resize(at + recordSize, 0);
        PutUint32(chain.bytes, at + 4, static_cast<uint32_t>(nameBytes));
        PutUint32(chain.bytes, at + 8, 1234);  // StreamSize, low part
        for (std::size_t c = 0; c < names[i].size(); ++c) {
            chain.bytes[at + 24 + 2 * c] = static_cast<uint8_t>(names[i][c]);
            chain.bytes[at + 24 + 2 * c + 1] = static_cast<uint8_t>(names[i][c] >> 8);
        }
    }
    for (std::size_t i = 0; i + 1 < chain.offsets.size(); ++i)
        PutUint32(chain.bytes, chain.offsets[i], static_cast<uint32_t>(chain.offsets[i + 1] - chain.offsets[i]));
    return chain;
}

} // namespace streambytes
