// The memory inspection as the run performs it, against the real device
// namespace of the system.

#include "program/run/RemovalContext.hpp"
#include "tests/wine/CleanupWine.hpp"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

using cleanupwine::CapturedOutput;

TEST(InspectSystemMemory, WithoutTheDriverReportsAScanErrorNotAClean)
{
    // The helper's device is absent when its service is not running.
    HANDLE device = CreateFileW(L"\\\\.\\KorvaleNoQuorvallin", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_EQ(device, INVALID_HANDLE_VALUE) << "a helper driver is already running";

    RemovalContext context;
    int32_t outcome;
    std::string written;
    {
        CapturedOutput output;
        outcome = context.InspectSystemMemory();
        written = output.text();
    }
    EXPECT_EQ(outcome, ScanError);
    EXPECT_EQ(written, "\nError while scanning for QuorVallin\n\n");
}

} // namespace
