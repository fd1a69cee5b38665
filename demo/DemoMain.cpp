// KorvaleDemo.exe: the program as `make demo` runs it in a throwaway Wine
// prefix. Never shipped: it is built only on demand, apart from
// KorvaleNoQuorVallin.exe, and links the Wine tests' stand-ins for what
// Wine lacks, so that a simulated infection takes the program's infected
// road:
//   - the raw copy: tests/wine/scan/RawCopySubstitute.cpp is linked in
//     place of the engine; the planned driver's copy gives the bytes that
//     the demo says its clusters hold, every other driver's its content;
//   - the memory inspection (tests/wine/scan/WholeRun.hpp): the helper
//     driver is really deployed, started, stopped and removed, and the
//     reply that the helper driver gives on a machine infected by the
//     chosen variant is judged in place of the device conversation;
//   - the stream query: NtQueryInformationFile, which the stream scan binds
//     by name, lists one named stream for the demo's file (Wine does not
//     list streams; it keeps "file:stream" as a file of its own, so the
//     stream opens and a process runs from it);
//   - the restart request, which would end the Wine session.
// Everything else is the program's own: its command line, its run, its
// output, its exit code.
//
// What to simulate comes from the environment:
//   KORVALE_DEMO_MEMORY       data-stream, driver-file or clean: the reply judged
//   KORVALE_DEMO_DRIVER       file name of the driver whose raw copy differs
//   KORVALE_DEMO_CLUSTERS     a file holding what that driver's clusters hold
//   KORVALE_DEMO_WRITES_BACK  1: the rootkit writes those bytes back over any
//                             file that replaces the driver
//   KORVALE_DEMO_STREAM_HOST  the file whose streams the query stand-in lists
//   KORVALE_DEMO_STREAM       the one named stream it lists there

#include "program/deploy/core/Signature.hpp"
#include "program/run/ProgramRun.hpp"
#include "program/run/RemovalContext.hpp"
#include "program/run/Wide.hpp"
#include "tests/native/StreamRecordBytes.hpp"
#include "tests/wine/DriverCheckFiles.hpp"
#include "tests/wine/ImportPatch.hpp"
#include "tests/wine/scan/RawCopySubstitute.hpp"
#include "tests/wine/scan/WholeRun.hpp"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

std::wstring Environment(const wchar_t* name)
{
    wchar_t value[1024] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

// The helper driver's reply on a machine in the chosen state.
std::optional<std::vector<uint8_t>> MemoryReply(const std::wstring& memory)
{
    if (memory == L"data-stream")
        return wholerun::Reply(HIJACK_TYPE_ADS, DriverInitSignature);
    if (memory == L"driver-file")
        return wholerun::Reply(HIJACK_TYPE_PLAIN, CreateDispatchSignature);
    if (memory == L"clean")
        return wholerun::Reply(HIJACK_TYPE_PLAIN, nullptr);
    return std::nullopt;
}

// --- the stream query stand-in ------------------------------------------------

struct QueryIoStatus {
    union {
        LONG Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
using QueryRoutine = LONG(NTAPI*)(HANDLE, QueryIoStatus*, PVOID, ULONG, ULONG);
using GetProcAddressRoutine = FARPROC(WINAPI*)(HMODULE, LPCSTR);

constexpr ULONG FileStreamInformationClass = 22;
constexpr LONG StatusBufferOverflow = static_cast<LONG>(0x80000005);

GetProcAddressRoutine realGetProcAddress = nullptr;
QueryRoutine realQuery = nullptr;
uint64_t streamHostFile = 0;         // the file system's number of the host file
std::vector<uint8_t> streamRecords;  // what Windows lists for it

uint64_t FileNumber(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        return 0;
    return (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

LONG NTAPI QueryStandIn(HANDLE file, QueryIoStatus* io, PVOID buffer, ULONG length, ULONG infoClass)
{
    if (infoClass != FileStreamInformationClass || streamHostFile == 0 || FileNumber(file) != streamHostFile)
        return realQuery(file, io, buffer, length, infoClass);
    const std::size_t copied = std::min<std::size_t>(length, streamRecords.size());
    std::memcpy(buffer, streamRecords.data(), copied);
    io->Status = copied == streamRecords.size() ? 0 : StatusBufferOverflow;
    io->Information = copied;
    return io->Status;
}

FARPROC WINAPI GetProcAddressStandIn(HMODULE module, LPCSTR name)
{
    const FARPROC found = realGetProcAddress(module, name);
    const bool byName = (reinterpret_cast<ULONG_PTR>(name) >> 16) != 0;
    if (found != nullptr && byName && module == GetModuleHandleA("ntdll")
        && std::strcmp(name, "NtQueryInformationFile") == 0) {
        realQuery = reinterpret_cast<QueryRoutine>(reinterpret_cast<void*>(found));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&QueryStandIn));
    }
    return found;
}

// Plans the stand-ins from the environment; a line on standard error and
// false when the plan cannot be followed.
bool PlanStandIns()
{
    const std::wstring driver = Environment(L"KORVALE_DEMO_DRIVER");
    if (!driver.empty()) {
        const std::string clusters = drivercheck_test::ReadWholeFile(Environment(L"KORVALE_DEMO_CLUSTERS"));
        if (clusters == "<missing>") {
            std::fprintf(stderr, "KorvaleDemo.exe: KORVALE_DEMO_CLUSTERS names no file that can be read\n");
            return false;
        }
        const bool writesBack = Environment(L"KORVALE_DEMO_WRITES_BACK") == L"1";
        PlanRawCopy(driver, {writesBack ? SubstituteCopy::BytesAlways : SubstituteCopy::Bytes, clusters});
    }
    const std::wstring host = Environment(L"KORVALE_DEMO_STREAM_HOST");
    const std::wstring stream = Environment(L"KORVALE_DEMO_STREAM");
    if (!host.empty()) {
        streamHostFile = drivercheck_test::FileIndex(host);
        if (streamHostFile == 0 || stream.empty()) {
            std::fprintf(stderr, "KorvaleDemo.exe: KORVALE_DEMO_STREAM_HOST names no file, or no stream is named\n");
            return false;
        }
        streamRecords = streambytes::MakeChain({u"::$DATA", u":" + ToU16(stream) + u":$DATA"}).bytes;
    }
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::optional<std::vector<uint8_t>> reply = MemoryReply(Environment(L"KORVALE_DEMO_MEMORY"));
    if (!reply) {
        std::fprintf(stderr, "KorvaleDemo.exe is the demo build of KorvaleNoQuorVallin, with test stand-ins; "
                             "`make demo` runs it (KORVALE_DEMO_MEMORY: data-stream, driver-file or clean).\n");
        return 5;
    }
    realGetProcAddress = &GetProcAddress;
    const winetest::ImportPatch patch("kernel32.dll", "GetProcAddress",
                                      reinterpret_cast<void*>(&GetProcAddressStandIn));
    if (!patch.active()) {
        std::fprintf(stderr, "KorvaleDemo.exe: the stream query stand-in could not be put in place\n");
        return 5;
    }
    if (!PlanStandIns())
        return 5;

    std::vector<std::u16string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.push_back(ToU16(argv[i]));
    RemovalContext context;
    return RunProgram(arguments, wholerun::SubstitutedPhases(context, *reply));
}
