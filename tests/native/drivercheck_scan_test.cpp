// The system driver scan's decisions: the raw copy callback's answer for
// each step and attribute combination, the name field, the verdict lines
// and the judgement of a driver from its raw copy and its two digests.

#include "program/drivercheck/core/DigestJudgement.hpp"
#include "program/drivercheck/core/ScanDecisions.hpp"
#include "tests/native/RecordingConsole.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

struct EventCase {
    const char* name;
    uint32_t step;
    int32_t status;
    uint32_t attributes;
    uint32_t volumeFlags;
    int32_t answer;
    const char16_t* warning;
};

const EventCase EventCases[] = {
    {"file ok", StepSourceFile, 1, 0x20, 0, 1, nullptr},
    {"file failed", StepSourceFile, 0, 0, 0, 0, nullptr},
    {"file compressed", StepSourceFile, 1, 0x800, 0, 0, CompressedFileWarning},
    {"file sparse", StepSourceFile, 1, 0x200, 0, 0, CompressedFileWarning},
    {"file compressed and sparse", StepSourceFile, 1, 0xA20, 0, 0, CompressedFileWarning},
    // A failed open filled the record only partly: no warning for what it holds.
    {"file failed but compressed bits", StepSourceFile, 0, 0x800, 0, 0, nullptr},
    // Volume flags mean nothing at the file step, and other attribute bits
    // (encrypted 0x4000, reparse point 0x400) are let through.
    {"file with volume flag", StepSourceFile, 1, 0, 0x8000, 1, nullptr},
    {"file encrypted", StepSourceFile, 1, 0x4000, 0, 1, nullptr},
    {"file reparse point", StepSourceFile, 1, 0x400, 0, 1, nullptr},
    {"volume ok", StepVolume, 1, 0, 0x000700FF, 1, nullptr},
    {"volume failed", StepVolume, 0, 0, 0, 0, nullptr},
    {"volume compressed", StepVolume, 1, 0, 0x8000, 0, CompressedVolumeWarning},
    {"volume compressed among others", StepVolume, 1, 0, 0x000780FF, 0, CompressedVolumeWarning},
    {"volume failed and compressed", StepVolume, 0, 0, 0x8000, 0, nullptr},
    {"volume with file attributes", StepVolume, 1, 0xA00, 0, 1, nullptr},
    {"cluster runs ok", StepClusterRuns, 1, 0xA00, 0x8000, 1, nullptr},
    {"cluster runs failed", StepClusterRuns, 0, 0, 0, 0, nullptr},
    {"resident data ok", StepResidentData, 1, 0, 0, 1, nullptr},
    {"resident data failed", StepResidentData, 0, 0, 0, 0, nullptr},
    {"destination ok", StepDestination, 1, 0, 0, 1, nullptr},
    {"destination refused", StepDestination, 0, 0, 0, 0, nullptr},
    {"resident write ok", StepResidentWrite, 1, 0, 0, 1, nullptr},
    {"resident write short", StepResidentWrite, 0, 0, 0, 0, nullptr},
    {"progress", StepProgress, 1, 0, 0, 1, nullptr},
    {"progress failed", StepProgress, 0, 0, 0, 0, nullptr},
    // The engine passes its BOOL through: any nonzero status continues as given.
    {"progress status 2", StepProgress, 2, 0, 0, 2, nullptr},
    {"step 0", 0, 1, 0, 0, 0, nullptr},
    {"step 8", 8, 1, 0, 0, 0, nullptr},
    {"step far out", 0xFFFFFFFFu, 1, 0xA00, 0x8000, 0, nullptr},
};

TEST(RawCopyEvent, AnswersEveryStepAndAttributeCombination)
{
    for (const EventCase& c : EventCases) {
        SCOPED_TRACE(c.name);
        const RawCopyEventDecision d = DecideRawCopyEvent(c.step, c.status, c.attributes, c.volumeFlags);
        EXPECT_EQ(d.answer, c.answer);
        EXPECT_EQ(d.warning, c.warning);
    }
}

TEST(RawCopyEvent, WarningsAreTheSystemsTexts)
{
    EXPECT_EQ(std::u16string(CompressedFileWarning), u"Warning: Compressed files are not supported!\n");
    EXPECT_EQ(std::u16string(CompressedVolumeWarning), u"Warning: Compressed volumes are not supported!\n");
}

TEST(DriverSize, OnlyDriversAbove59392BytesAreJudged)
{
    EXPECT_FALSE(IsJudgedDriverSize(0));
    EXPECT_FALSE(IsJudgedDriverSize(59391));
    EXPECT_FALSE(IsJudgedDriverSize(59392));
    EXPECT_TRUE(IsJudgedDriverSize(59393));
    EXPECT_TRUE(IsJudgedDriverSize(0xFFFFFFFFu));
}

TEST(PathBuffer, HoldsAt259CharactersAndTheTerminator)
{
    EXPECT_TRUE(FitsPathBuffer(std::u16string(259, u'a')));
    EXPECT_FALSE(FitsPathBuffer(std::u16string(260, u'a')));
    EXPECT_TRUE(FitsPathBuffer(u""));
}

TEST(DriverNameField, PadsToTenAndKeepsLongerNamesWhole)
{
    EXPECT_EQ(DriverNameField(u""), u"          ");
    EXPECT_EQ(DriverNameField(u"a.sys"), u"a.sys     ");
    EXPECT_EQ(DriverNameField(u"atapi.sys"), u"atapi.sys ");
    EXPECT_EQ(DriverNameField(u"ndis2.sys0"), u"ndis2.sys0");
    EXPECT_EQ(DriverNameField(u"mountmgr.sys"), u"mountmgr.sys");
    EXPECT_EQ(DriverNameField(u"\u00e9t\u00e9.sys"), u"\u00e9t\u00e9.sys   ");
}

struct VerdictLineCase {
    const char* name;
    const char16_t* driver;
    DriverVerdict verdict;
    const char* transcript;
};

const VerdictLineCase VerdictLineCases[] = {
    {"clean", u"disk.sys", DriverVerdict::Clean, "disk.sys  \t : Clean \n"},
    {"infected: red, then white", u"atapi.sys", DriverVerdict::Infected, "atapi.sys \t : <c12>Infected !\n<c15>"},
    {"not verified: yellow, then white", u"ndis.sys", DriverVerdict::NotVerified,
     "ndis.sys  \t : <c14>Not verified\n<c15>"},
    {"long name written whole", u"serialport.sys", DriverVerdict::Infected,
     "serialport.sys\t : <c12>Infected !\n<c15>"},
};

TEST(DriverVerdictLine, EachVerdictWritesItsLine)
{
    for (const VerdictLineCase& c : VerdictLineCases) {
        SCOPED_TRACE(c.name);
        RecordingConsole console;
        WriteDriverVerdict(console.sink, c.driver, c.verdict);
        EXPECT_EQ(console.transcript, c.transcript);
    }
}

// Every combination of the raw copy's outcome, the two digests' outcomes
// and their texts. A failed raw copy leaves an empty or partial copy whose
// digest differs from the driver's, and a failed ordinary read would leave
// a digest of part of the file: neither is ever an infection, and the
// driver still gets its "Not verified" line.
TEST(DriverJudgement, DecisionTable)
{
    const char a[33] = "d41d8cd98f00b204e9800998ecf8427e";
    const char same[33] = "d41d8cd98f00b204e9800998ecf8427e";
    const char other[33] = "d41d8cd98f00b204e9800998ecf8427f";
    const struct {
        bool copied, rawOk, plainOk;
        const char* plain;
        DriverVerdict verdict;
    } cases[] = {
        {true, true, true, same, DriverVerdict::Clean},
        {true, true, true, other, DriverVerdict::Infected},
        {true, false, true, same, DriverVerdict::NotVerified},
        {true, false, true, other, DriverVerdict::NotVerified},
        {true, true, false, same, DriverVerdict::NotVerified},
        {true, true, false, other, DriverVerdict::NotVerified},
        {true, false, false, other, DriverVerdict::NotVerified},
        {false, true, true, same, DriverVerdict::NotVerified},
        {false, true, true, other, DriverVerdict::NotVerified},
        {false, false, true, other, DriverVerdict::NotVerified},
        {false, true, false, other, DriverVerdict::NotVerified},
        {false, false, false, other, DriverVerdict::NotVerified},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "copied " << c.copied << " raw " << c.rawOk << " plain " << c.plainOk
                                        << " texts " << (c.plain == same ? "equal" : "differ"));
        EXPECT_EQ(JudgeDriver(c.copied, c.rawOk, a, c.plainOk, c.plain), c.verdict);
    }
    const char firstDiffers[33] = "e41d8cd98f00b204e9800998ecf8427e";
    EXPECT_EQ(JudgeDriver(true, true, firstDiffers, true, a), DriverVerdict::Infected);
}

TEST(DriverJudgement, TheTerminatorTakesPart)
{
    // All 33 bytes are compared, so a text whose NUL is missing never
    // passes for its terminated twin.
    const char terminated[33] = "0123456789abcdef0123456789abcdef";
    char unterminated[33];
    std::copy(terminated, terminated + 32, unterminated);
    unterminated[32] = 'x';
    EXPECT_EQ(JudgeDriver(true, true, terminated, true, unterminated), DriverVerdict::Infected);
}

} // namespace
