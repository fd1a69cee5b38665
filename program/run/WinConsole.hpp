// The console as the run writes it: standard output through the narrow
// stream, wide text converted to the console's code page, colours set on
// the standard output handle after all earlier text is flushed.
#pragma once

#include "program/run/core/Console.hpp"
#include "program/run/core/RunLog.hpp"

void SetConsoleColour(int colour);
const ConsoleSink& StandardConsole();
// From now on the standard console also writes to `log` (nothing when null),
// which must stay alive until the next call.
void SetConsoleLog(RunLog* log);
void WriteScript(const ConsoleScript& script);
