// The reparse-point delete request and its two attempts, with a sender
// that records every request instead of reaching a file system.

#include "program/cleanup/core/ReparseRequest.hpp"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

using Request = std::array<uint8_t, DeleteRequestSize>;

ReparseGuid SampleGuid()
{
    ReparseGuid guid{};
    for (std::size_t i = 0; i < guid.size(); ++i)
        guid[i] = static_cast<uint8_t>(0xA0 + i);
    return guid;
}

// Reparse data as FSCTL_GET_REPARSE_POINT leaves it in its zero-filled buffer.
std::vector<uint8_t> ReparseData(uint32_t tag, const ReparseGuid& bytesAt8)
{
    std::vector<uint8_t> data(ReparseDataBufferSize, 0);
    for (int i = 0; i < 4; ++i)
        data[i] = static_cast<uint8_t>(tag >> (8 * i));
    data[4] = 0x20;  // ReparseDataLength, not read
    data[6] = 0x77;  // Reserved, not read
    std::copy(bytesAt8.begin(), bytesAt8.end(), data.begin() + 8);
    data[24] = 0x55;  // the tag's own data beyond the header
    return data;
}

struct RecordingSender {
    std::vector<Request> sent;
    std::vector<bool> answers;  // one per request, in order
    SendDeleteRequest send()
    {
        return [this](std::span<const uint8_t, DeleteRequestSize> request) {
            Request copy{};
            std::copy(request.begin(), request.end(), copy.begin());
            sent.push_back(copy);
            return sent.size() <= answers.size() ? static_cast<bool>(answers[sent.size() - 1]) : false;
        };
    }
};

Request ExpectedRequest(uint32_t tag, const ReparseGuid& guid)
{
    Request r{};
    r[0] = static_cast<uint8_t>(tag);
    r[1] = static_cast<uint8_t>(tag >> 8);
    r[2] = static_cast<uint8_t>(tag >> 16);
    r[3] = static_cast<uint8_t>(tag >> 24);
    std::copy(guid.begin(), guid.end(), r.begin() + 8);
    return r;
}

TEST(ReparseData, TagAtOffsetZeroAndGuidBytesAtOffsetEightWhateverTheTag)
{
    const ReparseGuid guid = SampleGuid();
    // A Microsoft tag (mount point): the 16 bytes at offset 8 are the start
    // of its own data, and they are taken all the same.
    const std::vector<uint8_t> data = ReparseData(0xA0000003u, guid);
    EXPECT_EQ(ReparseTagOf(data), 0xA0000003u);
    EXPECT_EQ(ReparseGuidOf(data), guid);
}

TEST(ReparseData, BytesTheDataDoesNotHoldReadAsZero)
{
    const std::vector<uint8_t> shortData = {0x01, 0x02, 0x00, 0x80, 0, 0, 0, 0, 0xEE, 0xEE};
    EXPECT_EQ(ReparseTagOf(shortData), 0x80000201u);
    ReparseGuid expected{};
    expected[0] = 0xEE;
    expected[1] = 0xEE;
    EXPECT_EQ(ReparseGuidOf(shortData), expected);
    EXPECT_EQ(ReparseTagOf({}), 0u);
}

TEST(DeleteRequest, TwentyFourBytesTagThenZeroLengthReservedAndGuid)
{
    Request request;
    request.fill(0xCC);  // whatever the memory held before
    FillDeleteRequest(request, 0x8000001Bu, SampleGuid());
    EXPECT_EQ(request, ExpectedRequest(0x8000001Bu, SampleGuid()));
    EXPECT_EQ(request[4], 0);
    EXPECT_EQ(request[5], 0);
    EXPECT_EQ(request[6], 0);
    EXPECT_EQ(request[7], 0);
}

TEST(DeleteTwoAttempts, FirstAcceptedSendsOneRequestWithAZeroGuid)
{
    RecordingSender sender;
    sender.answers = {true};
    Request request{};
    EXPECT_TRUE(DeleteReparseTwoAttempts(request, 0xA000000Cu, SampleGuid(), sender.send()));
    ASSERT_EQ(sender.sent.size(), 1u);
    EXPECT_EQ(sender.sent[0], ExpectedRequest(0xA000000Cu, ReparseGuid{}));
}

TEST(DeleteTwoAttempts, FirstRefusedSendsTheGuidBytesAndTakesTheSecondResult)
{
    for (bool second : {true, false}) {
        SCOPED_TRACE(second ? "second accepted" : "second refused");
        RecordingSender sender;
        sender.answers = {false, second};
        Request request{};
        EXPECT_EQ(DeleteReparseTwoAttempts(request, 0x00000099u, SampleGuid(), sender.send()), second);
        ASSERT_EQ(sender.sent.size(), 2u);
        EXPECT_EQ(sender.sent[0], ExpectedRequest(0x00000099u, ReparseGuid{}));
        EXPECT_EQ(sender.sent[1], ExpectedRequest(0x00000099u, SampleGuid()));
    }
}

TEST(DeleteTwoAttempts, TheGuidComesFromOffsetEightOfTheReadData)
{
    const ReparseGuid atEight = SampleGuid();
    const std::vector<uint8_t> data = ReparseData(0x9000F00Du, atEight);
    RecordingSender sender;
    sender.answers = {false, true};
    Request request{};
    EXPECT_TRUE(DeleteReparseTwoAttempts(request, ReparseTagOf(data), ReparseGuidOf(data), sender.send()));
    ASSERT_EQ(sender.sent.size(), 2u);
    EXPECT_EQ(sender.sent[1], ExpectedRequest(0x9000F00Du, atEight));
}

} // namespace
