#include "program/run/RestartRecord.hpp"

#include "program/run/ProgramKey.hpp"
#include "program/run/ProgramRun.hpp"
#include "program/run/Wide.hpp"

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
    const std::string time = UtcTimeText(CurrentLogFacts());
    return WriteProgramValue(RestartValue, std::wstring(time.begin(), time.end()) + L" (" + repairedDriver + L")");
}

void ForgetAutomaticRestart()
{
    DeleteProgramValue(RestartValue);
}
