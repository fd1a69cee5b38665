// Helpers of the whole-run tests: the reply an infected machine's helper
// driver gives, and a record of the phases a run calls.
#pragma once

#include "driver/HijackProtocol.h"
#include "program/deploy/core/Signature.hpp"

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

// A reply of type 1 whose code bytes are the DriverInit signature, any
// byte where the signature accepts any.
inline std::vector<uint8_t> InfectedAdsReply()
{
    std::vector<uint8_t> reply(HIJACK_REPLY_SIZE, 0);
    const std::string text = DriverInitSignature;
    for (std::size_t i = 0; i + 1 < text.size() && i / 2 < HIJACK_SIG_SIZE; i += 2) {
        const std::string pair = text.substr(i, 2);
        reply[i / 2] = pair == "??" ? 0xCC : static_cast<uint8_t>(std::stoul(pair, nullptr, 16));
    }
    const uint32_t type = HIJACK_TYPE_ADS;
    std::memcpy(reply.data() + 56, &type, sizeof(type));
    return reply;
}

// Records the phase's name in `calls` each time the run calls it.
template <typename Result, typename... Args>
void Logged(std::function<Result(Args...)>& phase, const std::string& name, std::vector<std::string>& calls)
{
    phase = [inner = phase, name, &calls](Args... args) {
        calls.push_back(name);
        return inner(args...);
    };
}

