#include "program/run/core/Console.hpp"

void PlayScript(const ConsoleScript& script, const ConsoleSink& sink)
{
    for (const ConsolePiece& piece : script) {
        if (piece.isColour)
            sink.colour(piece.colour);
        else
            sink.write(piece.text);
    }
}

ConsoleScript DisinfectedReport(std::string_view what)
{
    std::string lead = "\n";
    lead.append(what).append(": ");
    return {
        TextPiece(std::move(lead)),
        ColourPiece(ColourGood),
        TextPiece("Disinfected\n\n"),
        ColourPiece(ColourNormal),
    };
}
