// The record of an automatic restart: a run with switches that repaired the
// machine and restarts it by itself writes down when and after which
// driver's repair, so that a later run that finds the infection again does
// not restart the machine once more (a startup script would otherwise
// repair and restart at every boot).
#pragma once

#include <optional>
#include <string>

// "2026-12-10T11:40:05Z (ndis.sys)", or nothing when no restart is recorded.
std::optional<std::u16string> PreviousAutomaticRestart();
bool RecordAutomaticRestart(const std::wstring& repairedDriver);
void ForgetAutomaticRestart();
