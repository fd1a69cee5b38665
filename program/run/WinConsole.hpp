// The console as the run writes it: standard output through the narrow
// stream, wide text converted to the console's code page, colours set on
// the standard output handle after all earlier text is flushed.
#pragma once

#include "program/run/core/Console.hpp"

void SetConsoleColour(int colour);
const ConsoleSink& StandardConsole();
void WriteScript(const ConsoleScript& script);
