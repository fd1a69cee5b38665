// The memory inspection as the run performs it, against the real device
// namespace of the system.

#include "program/run/RemovalContext.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace {

// Collects what is written to the narrow standard output stream while alive.
class CapturedOutput {
public:
    CapturedOutput() : previous_(std::cout.rdbuf(captured_.rdbuf())) {}
    ~CapturedOutput() { std::cout.rdbuf(previous_); }
    std::string text() const { return captured_.str(); }

private:
    std::ostringstream captured_;
    std::streambuf* previous_;
};

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
