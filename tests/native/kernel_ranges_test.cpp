// The driver's address arithmetic: the pages a read touches and whether a
// returned name lies inside its buffer.

#include "driver/core/KernelRanges.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(PagesTouched, FirstAndLastPage)
{
    struct Case {
        uintptr_t address;
        uint32_t count;
        uintptr_t first;
        uintptr_t last;
    } cases[] = {
        {0x80501000, 53, 0x80501000, 0x80501000},
        {0x80501FCB, 53, 0x80501000, 0x80501000}, // ends on the last byte of the page
        {0x80501FCC, 53, 0x80501000, 0x80502000}, // one byte into the next page
        {0x80501FFF, 1, 0x80501000, 0x80501000},
        {0x80501FFF, 2, 0x80501000, 0x80502000},
        {0x80501234, 0x2000, 0x80501000, 0x80503000},
    };
    for (const Case& c : cases) {
        PageSpan span{};
        ASSERT_TRUE(PagesTouched(c.address, c.count, 0x1000, &span)) << std::hex << c.address;
        EXPECT_EQ(span.first, c.first) << std::hex << c.address;
        EXPECT_EQ(span.last, c.last) << std::hex << c.address;
    }
}

TEST(PagesTouched, NothingToReadOrARangePastTheEnd)
{
    PageSpan span{};
    EXPECT_FALSE(PagesTouched(0x80501000, 0, 0x1000, &span));
    const uintptr_t top = UINTPTR_MAX;
    EXPECT_TRUE(PagesTouched(top - 52, 53, 0x1000, &span)); // the very last 53 bytes
    EXPECT_EQ(span.last, top & ~static_cast<uintptr_t>(0xFFF));
    EXPECT_FALSE(PagesTouched(top - 51, 53, 0x1000, &span)); // wraps to address 0
    EXPECT_FALSE(PagesTouched(top, 2, 0x1000, &span));
}

TEST(CountedTextFits, InsideTheBufferAfterTheHeaderWithRoomForATerminator)
{
    const uintptr_t buffer = 0x1000;
    const uint32_t header = 8;
    struct Case {
        const char* what;
        uint32_t bufferSize;
        uintptr_t text;
        uint32_t textBytes;
        bool fits;
    } cases[] = {
        {"right after the header", 60, buffer + 8, 40, true},
        {"exactly room for the terminator", 50, buffer + 8, 40, true},
        {"no room for the terminator", 49, buffer + 8, 40, false},
        {"text fills the buffer", 48, buffer + 8, 40, false},
        {"empty text", 10, buffer + 8, 0, true},
        {"empty text, no terminator room", 8, buffer + 8, 0, false},
        {"inside the header", 60, buffer + 6, 8, false},
        {"before the buffer", 60, buffer - 2, 8, false},
        {"past the buffer", 60, buffer + 62, 0, false},
        {"far past the buffer", 60, buffer + 0x10000, 2, false},
        {"odd address", 60, buffer + 9, 8, false},
        {"odd length", 60, buffer + 8, 7, false},
        {"length that would wrap", 60, buffer + 8, 0xFFFFFFFE, false},
        {"buffer smaller than the header", 4, buffer + 8, 0, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CountedTextFits(buffer, c.bufferSize, header, c.text, c.textBytes), c.fits) << c.what;
}

} // namespace
