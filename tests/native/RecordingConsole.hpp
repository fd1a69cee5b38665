// A console that records what a run writes, as one transcript in which
// colour changes appear as "<c10>", "<c12>", "<c15>".
#pragma once

#include "program/run/core/Console.hpp"

#include <string>

struct RecordingConsole {
    std::string transcript;
    ConsoleSink sink{
        [this](std::string_view text) { transcript += text; },
        [this](std::u16string_view text) {
            for (char16_t c : text)
                transcript += static_cast<char>(c < 0x80 ? c : '?');
        },
        [this](int colour) { transcript += "<c" + std::to_string(colour) + ">"; },
    };
};
