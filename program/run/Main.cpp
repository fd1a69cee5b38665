// KorvaleNoQuorVallin.exe: the entry point of a removal run.

#include "program/run/ProgramRun.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/Wide.hpp"

int wmain(int argc, wchar_t** argv)
{
    std::vector<std::u16string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.push_back(ToU16(argv[i]));
    RemovalContext context;
    return RunProgram(arguments, ProgramPhases(context));
}
