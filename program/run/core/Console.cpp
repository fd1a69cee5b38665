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
