// The run's private work folder: every file the run writes in a temporary
// place (the driver image, the raw copies) goes into a folder made new for
// this run under the temporary folder, with access for SYSTEM and the
// administrators only. Under SYSTEM the temporary folder is the Windows
// directory's Temp, where every account may create files; a name planted
// there beforehand cannot be one of this run's files.

#include "program/deploy/core/DriverPath.hpp"
#include "program/common/Handles.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/Wide.hpp"
#include "program/run/WinConsole.hpp"
#include "program/trust/Trust.hpp"

#include <cwchar>
#include <string>
#include <vector>

namespace {

// GetTempPath2W where kernel32 has it (a temporary folder of SYSTEM's own
// for SYSTEM), GetTempPathW otherwise; bound by name, since older systems
// lack it.
DWORD TemporaryFolder(wchar_t* buffer, DWORD size)
{
    using GetTempPath2Function = DWORD(WINAPI*)(DWORD, LPWSTR);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto getTempPath2 = kernel == nullptr ? nullptr
        : reinterpret_cast<GetTempPath2Function>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetTempPath2W")));
    return getTempPath2 != nullptr ? getTempPath2(size, buffer) : GetTempPathW(size, buffer);
}

// A name no earlier run used and nobody can foresee: the counter, the
// process and the moment.
std::wstring FolderName(unsigned attempt)
{
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    const unsigned long long mixed = (static_cast<unsigned long long>(counter.QuadPart) * 0x9E3779B97F4A7C15ull)
        ^ (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^ GetTickCount() ^ attempt;
    wchar_t name[64];
    std::swprintf(name, 64, L"KorvaleNoQuorVallin-%08lx%08lx", static_cast<unsigned long>(mixed >> 32),
                  static_cast<unsigned long>(mixed & 0xFFFFFFFFu));
    return name;
}

} // namespace

bool RemovalContext::MakeWorkFolder()
{
    if (!workFolder.empty())
        return true;
    wchar_t temporary[MAX_PATH + 1] = {};
    const DWORD length = TemporaryFolder(temporary, MAX_PATH + 1);
    DWORD error = ERROR_PATH_NOT_FOUND;
    if (length != 0 && length <= MAX_PATH) {
        for (unsigned attempt = 0; attempt < 16; ++attempt) {
            const std::wstring folder = std::wstring(temporary) + FolderName(attempt);
            // The driver's path in it must still fit its buffer.
            if (!DriverFilePath(ToU16(folder + L"\\"))) {
                error = ERROR_FILENAME_EXCED_RANGE;
                break;
            }
            if (MakePrivateFolder(folder.c_str())) {
                // Held without delete sharing, and taken only when it is
                // still the folder just made: a real folder, not a link put
                // in its place, owned and changeable by nobody but SYSTEM
                // and the administrators (on a volume that keeps owners and
                // access lists; FAT keeps neither).
                if (OpenTrusted(folder, true, FILE_LIST_DIRECTORY | SYNCHRONIZE, workFolderHandle)
                    == Trust::Trusted) {
                    workFolder = folder + L"\\";
                    return true;
                }
                error = ERROR_ACCESS_DENIED;
                RemoveDirectoryW(folder.c_str());
                break;
            }
            error = GetLastError();
            if (error != ERROR_ALREADY_EXISTS)
                break;
        }
    }
    const std::string number = std::to_string(error);
    StandardConsole().write("The program's work folder cannot be made in the temporary folder ");
    StandardConsole().writeWide(AsU16(temporary));
    StandardConsole().write(" (error " + number + ").\n");
    return false;
}

void RemovalContext::RemoveWorkFolder()
{
    if (workFolder.empty())
        return;
    // Whatever is left in it; the driver image last.
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW entry{};
    UniqueFind search(FindFirstFileW((workFolder + L"*").c_str(), &entry));
    if (search) {
        do {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                files.push_back(workFolder + entry.cFileName);
        } while (FindNextFileW(search.get(), &entry));
        search.reset();
    }
    const std::wstring driverFile = workFolder + AsWide(DriverFileName);
    for (const std::wstring& file : files) {
        if (lstrcmpiW(file.c_str(), driverFile.c_str()) != 0)
            DeleteFileW(file.c_str());
    }
    driverImage.reset();
    DeleteFileW(driverFile.c_str());
    workFolderHandle.reset();
    if (RemoveDirectoryW(workFolder.c_str()))
        workFolder.clear();
}

RemovalContext::~RemovalContext()
{
    RemoveWorkFolder();
}
