// KorvaleNoQuorVallin.exe: the entry point of a removal run.

#include "program/run/RemovalContext.hpp"
#include "program/run/WinConsole.hpp"

int wmain(int, wchar_t**)
{
    RemovalContext context;
    return RunRemoval(ProgramPhases(context), StandardConsole());
}
