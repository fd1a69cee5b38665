// The journal of a driver replacement: its text, and what a run that finds
// it does with the drivers folder as it finds it.

#include "program/drivercheck/core/ReplacementJournal.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const ReplacementJournal Journal{u"ndis.sys", u"20261210T114005Z", "0123456789abcdef0123456789abcdef",
                                 "fedcba9876543210fedcba9876543210"};

TEST(ReplacementJournal, RoundTripsAndNamesItsFiles)
{
    const std::u16string text = FormatJournal(Journal);
    EXPECT_EQ(text, u"ndis.sys|20261210T114005Z|0123456789abcdef0123456789abcdef|fedcba9876543210fedcba9876543210");
    const std::optional<ReplacementJournal> back = ParseJournal(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->driverName, Journal.driverName);
    EXPECT_EQ(back->stamp, Journal.stamp);
    EXPECT_EQ(back->cleanDigest, Journal.cleanDigest);
    EXPECT_EQ(back->infectedDigest, Journal.infectedDigest);
    EXPECT_EQ(StagedName(Journal), u"ndis.sys.20261210T114005Z.new");
    EXPECT_EQ(AsideName(Journal), u"ndis.sys.20261210T114005Z.bad");

    ReplacementJournal noInfectedDigest = Journal;
    noInfectedDigest.infectedDigest.clear();
    EXPECT_TRUE(ParseJournal(FormatJournal(noInfectedDigest)));
}

// The journal's names are joined to the drivers folder: a journal that
// could lead anywhere else, or that is damaged, is not taken.
TEST(ReplacementJournal, RefusesWhatItDoesNotWrite)
{
    const std::u16string digest = u"0123456789abcdef0123456789abcdef";
    for (const std::u16string& text : std::vector<std::u16string>{
             u"",
             u"ndis.sys",
             u"ndis.sys|20261210T114005Z|" + digest,
             u"ndis.sys|20261210T114005Z|" + digest + u"||",
             u"..\\..\\config\\SAM|20261210T114005Z|" + digest + u"|",
             u"sub\\ndis.sys|20261210T114005Z|" + digest + u"|",
             u"C:ndis.sys|20261210T114005Z|" + digest + u"|",
             u"ndis.sys:stream|20261210T114005Z|" + digest + u"|",
             u"..|20261210T114005Z|" + digest + u"|",
             u"ndis.sys.|20261210T114005Z|" + digest + u"|",
             u"|20261210T114005Z|" + digest + u"|",
             u"ndis.sys|2026121OT114005Z|" + digest + u"|",
             u"ndis.sys|20261210T114005|" + digest + u"|",
             u"ndis.sys|20261210T114005Z|0123456789ABCDEF0123456789ABCDEF|",
             u"ndis.sys|20261210T114005Z|0123456789abcdef|",
             u"ndis.sys|20261210T114005Z|" + digest + u"|xyz",
             std::u16string(161, u'a') + u"|20261210T114005Z|" + digest + u"|",
         }) {
        EXPECT_FALSE(ParseJournal(text)) << std::string(text.begin(), text.end());
    }
    EXPECT_TRUE(ParseJournal(std::u16string(160, u'a') + u"|20261210T114005Z|" + digest + u"|"));
}

using S = RecoveryStep;

struct RecoveryCase {
    const char* name;
    ReplacementState state;
    std::vector<RecoveryStep> steps;
};

// The states a run cut short can leave, by the point it stopped at, and
// the states nobody's run should leave but a machine might still hold.
// {driver exists, driver is clean, staged copy exists, staged copy is whole, moved-aside file exists}
const RecoveryCase RecoveryCases[] = {
    // Stopped while staging: the copy may be partial; the driver is untouched.
    {"staging", {true, false, true, false, false}, {S::DeleteStaged}},
    {"staged", {true, true, true, true, false}, {S::DeleteStaged}},
    {"before staging", {true, true, false, false, false}, {}},
    // Moved aside, in the pause: the clean copy goes in.
    {"moved aside", {false, false, true, true, true}, {S::MoveStagedIn, S::QuarantineAside}},
    // Moved in: only the infected file is left to keep.
    {"moved in", {true, true, false, false, true}, {S::QuarantineAside}},
    // The infected file was copied back when neither move could be made.
    {"copied back", {true, false, true, true, true}, {S::DeleteStaged, S::QuarantineAside}},
    // A copy that is not whole never takes the driver's name.
    {"moved aside, copy damaged", {false, false, true, false, true}, {S::MoveAsideBack, S::DeleteStaged}},
    {"moved aside, copy gone", {false, false, false, false, true}, {S::MoveAsideBack}},
    // A file that stands under the driver's name is never touched.
    {"all three", {true, true, true, true, true}, {S::DeleteStaged, S::QuarantineAside}},
    {"only the copy", {false, false, true, true, false}, {S::MoveStagedIn}},
    {"only a damaged copy", {false, false, true, false, false}, {S::DeleteStaged}},
    {"nothing", {false, false, false, false, false}, {}},
};

TEST(ReplacementRecovery, PlanForEveryState)
{
    for (const RecoveryCase& c : RecoveryCases) {
        SCOPED_TRACE(c.name);
        const RecoveryPlan plan = PlanRecovery(c.state);
        EXPECT_EQ(plan.steps, c.steps);
        ASSERT_NE(plan.outcome, nullptr);
        EXPECT_NE(std::string(plan.outcome), "");
    }
}

// After any plan, a file stands under the driver's name whenever one of
// the three files existed to put there.
TEST(ReplacementRecovery, AFileEndsUnderTheDriversNameWheneverOneIsLeft)
{
    for (int bits = 0; bits < 16; ++bits) {
        const ReplacementState state{(bits & 1) != 0, (bits & 1) != 0, (bits & 2) != 0, (bits & 6) == 6,
                                     (bits & 8) != 0};
        const RecoveryPlan plan = PlanRecovery(state);
        bool driver = state.driverExists;
        for (RecoveryStep step : plan.steps) {
            if (step == S::MoveStagedIn || step == S::MoveAsideBack) {
                EXPECT_FALSE(driver) << bits << ": a move over the driver's name";
                driver = true;
            }
        }
        EXPECT_EQ(driver, state.driverExists || state.stagedIsClean || state.asideExists) << bits;
    }
}

} // namespace
