// Console output as data: a run writes narrow and wide text and switches
// the console text attribute. The core describes what to write; the Win32
// layer performs it on standard output.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Console text attributes used by every report.
enum ConsoleColour : int {
    ColourGood = 10,        // bright green: good news, "Disinfected", "Clean"
    ColourInfected = 12,    // bright red: "Infected"
    ColourNotVerified = 14, // bright yellow: "Not verified"
    ColourNormal = 15,      // bright white: everything else
};

// One step of console output: either a text or a colour change.
struct ConsolePiece {
    bool isColour = false;
    int colour = ColourNormal;
    std::string text;
};

using ConsoleScript = std::vector<ConsolePiece>;

inline ConsolePiece TextPiece(std::string text) { return ConsolePiece{false, 0, std::move(text)}; }
inline ConsolePiece ColourPiece(int colour) { return ConsolePiece{true, colour, {}}; }

// Where the run writes. `write` takes narrow text, `writeWide` UTF-16 text,
// `colour` sets the text attribute. The performer flushes all text written
// so far before it changes the colour.
struct ConsoleSink {
    std::function<void(std::string_view)> write;
    std::function<void(std::u16string_view)> writeWide;
    std::function<void(int)> colour;
};

void PlayScript(const ConsoleScript& script, const ConsoleSink& sink);

// The report of one thing repaired: "\n<what>: ", then "Disinfected" in
// green and a blank line.
ConsoleScript DisinfectedReport(std::string_view what);
