#include "program/run/RestartRecord.hpp"

#include "program/run/ProgramKey.hpp"
#include "program/run/Wide.hpp"

#include <windows.h>

#include <cwchar>

namespace {

const wchar_t* const RestartValue = L"AutomaticRestart";

} // namespace

std::optional<std::u16string> PreviousAutomaticRestart()
{
    const std::optional<std::wstring> text = ReadProgramValue(RestartValue);
    if (!text || text->empty())
        return std::nullopt;
    return ToU16(*text);
}

bool RecordAutomaticRestart(const std::wstring& repairedDriver)
{
    SYSTEMTIME now{};
    GetSystemTime(&now);
    wchar_t time[32];
    std::swprintf(time, 32, L"%04u-%02u-%02uT%02u:%02u:%02uZ", unsigned{now.wYear}, unsigned{now.wMonth},
                  unsigned{now.wDay}, unsigned{now.wHour}, unsigned{now.wMinute}, unsigned{now.wSecond});
    return WriteProgramValue(RestartValue, std::wstring(time) + L" (" + repairedDriver + L")");
}

void ForgetAutomaticRestart()
{
    DeleteProgramValue(RestartValue);
}
