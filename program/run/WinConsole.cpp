#include "program/run/WinConsole.hpp"

#include <windows.h>

#include <iostream>
#include <string>

namespace {

void WriteNarrow(std::string_view text)
{
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::cout.flush();
}

void WriteWide(std::u16string_view text)
{
    if (text.empty())
        return;
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    const UINT codePage = GetConsoleOutputCP() != 0 ? GetConsoleOutputCP() : CP_ACP;
    const int needed = WideCharToMultiByte(codePage, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return;
    std::string narrow(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(codePage, 0, wide, length, narrow.data(), needed, nullptr, nullptr);
    WriteNarrow(narrow);
}

} // namespace

void SetConsoleColour(int colour)
{
    std::cout.flush();
    SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), static_cast<WORD>(colour));
}

namespace {

const ConsoleSink& PlainConsole()
{
    static const ConsoleSink sink{WriteNarrow, WriteWide, SetConsoleColour};
    return sink;
}

ConsoleSink& CurrentConsole()
{
    static ConsoleSink sink = PlainConsole();
    return sink;
}

} // namespace

const ConsoleSink& StandardConsole()
{
    return CurrentConsole();
}

void SetConsoleLog(RunLog* log)
{
    CurrentConsole() = log != nullptr ? TeeConsole(PlainConsole(), *log) : PlainConsole();
}

void WriteScript(const ConsoleScript& script)
{
    PlayScript(script, StandardConsole());
}
