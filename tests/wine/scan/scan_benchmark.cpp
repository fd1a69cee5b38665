// Not a test: the time one scan of the drivers folder takes with the raw
// copy substitute, for scripts/bench-scan.sh. Disabled, so it runs only
// when asked for with --gtest_also_run_disabled_tests.

#include "program/run/RemovalContext.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

TEST(ScanBenchmark, DISABLED_ScanTheDriversFolder)
{
    RemovalContext context;
    std::ostringstream lines;
    std::streambuf* original = std::cout.rdbuf(lines.rdbuf());
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    context.ScanSystemDrivers();
    QueryPerformanceCounter(&end);
    std::cout.rdbuf(original);

    std::size_t judged = 0;
    for (char c : lines.str())
        judged += c == '\n';
    std::printf("scan-seconds %.3f judged %zu\n",
                static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart), judged);

    // For the breakdown: one digest of every driver, as the scan makes two.
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    const std::wstring drivers = std::wstring(folder) + L"\\drivers\\";
    WIN32_FIND_DATAW entry{};
    HANDLE search = FindFirstFileW((drivers + L"*.sys").c_str(), &entry);
    QueryPerformanceCounter(&start);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            char digest[33];
            context.ComputeFileDigest((drivers + entry.cFileName).c_str(), digest);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    QueryPerformanceCounter(&end);
    std::printf("one-digest-pass-seconds %.3f\n",
                static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
}
