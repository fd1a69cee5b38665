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

    ReplacementJournal replaced = Journal;
    replaced.replaced = true;
    EXPECT_EQ(FormatJournal(replaced), text + u"|replaced");
    const std::optional<ReplacementJournal> replacedBack = ParseJournal(FormatJournal(replaced));
    ASSERT_TRUE(replacedBack);
    EXPECT_TRUE(replacedBack->replaced);
    EXPECT_FALSE(back->replaced);
}

// A device name opens the device in every folder: digesting "NUL.sys" or
// "CON" would read the null device or wait on the console.
TEST(ReplacementJournal, RefusesReservedDeviceNames)
{
    for (const char16_t* name : {u"CON", u"con", u"PRN", u"aux", u"NUL", u"NUL.sys", u"nul.tar.gz", u"Con.txt",
                                 u"COM1", u"com9.sys", u"LPT1", u"lpt9", u"NUL .sys", u"COM\u00b9"}) {
        EXPECT_FALSE(IsPlainFileName(name)) << std::string(name, name + std::char_traits<char16_t>::length(name));
        EXPECT_FALSE(ParseJournal(std::u16string(name) + u"|20261210T114005Z|0123456789abcdef0123456789abcdef|"));
    }
    for (const char16_t* name : {u"CONSOLE.sys", u"nulls.sys", u"com10.sys", u"COM0", u"lpt.sys", u"auxclass.sys",
                                 u"my.con", u"xNUL", u"pcon.sys"}) {
        EXPECT_TRUE(IsPlainFileName(name)) << std::string(name, name + std::char_traits<char16_t>::length(name));
    }
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
             u"ndis.sys|20261210T114005Z|" + digest + u"||done",
             u"ndis.sys|20261210T114005Z|" + digest + u"||replaced|",
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
    const char* outcome;
};

const char* const NotBegun = "the replacement had not begun; the driver is as it was";
const char* const Finished = "it had finished";
const char* const StagedOnly = "the driver had not been replaced; the copy made for it was removed";
const char* const Undone = "the driver had not been replaced; the copies made for it were removed";
const char* const Completed = "the clean copy was in place; the replacement was completed";
const char* const MovedIn = "the clean copy was put in place; the replacement was completed";
const char* const PutBack = "no whole clean copy was left, so the driver that stood there was put back";
const char* const NothingLeft = "no file of the driver is left to put in place";

// The states a run cut short can leave, by the point it stopped at, and
// the states nobody's run should leave but a machine might still hold.
// {journal says replaced, driver exists, staged copy exists, staged copy is whole, set-aside exists,
//  set-aside is the file under the driver's name}
const RecoveryCase RecoveryCases[] = {
    // The journal was written, nothing else yet: the driver is untouched.
    {"journal only", {false, true, false, false, false, false}, {}, NotBegun},
    // Stopped while staging: the copy may be partial; the driver is untouched.
    {"staging", {false, true, true, false, false, false}, {S::DeleteStaged}, StagedOnly},
    {"staged", {false, true, true, true, false, false}, {S::DeleteStaged}, StagedOnly},
    // Set aside by a hard link, in the pause: the name still holds the
    // driver, and the link is only its second name.
    {"linked aside", {false, true, true, true, true, true}, {S::DeleteStaged, S::DeleteAside}, Undone},
    // Set aside by a copy (no hard links on the volume), in the pause.
    {"copied aside", {false, true, true, true, true, false}, {S::DeleteStaged, S::DeleteAside}, Undone},
    // The staged copy lost after a link was made: still the driver's second name.
    {"linked aside, copy gone", {false, true, false, false, true, true}, {S::DeleteAside}, Undone},
    // The replacing move was made; the journal may not say so yet.
    {"moved in", {false, true, false, false, true, false}, {S::QuarantineAside}, Completed},
    {"moved in, recorded", {true, true, false, false, true, false}, {S::QuarantineAside}, Completed},
    {"moved in, a stray copy", {true, true, true, true, true, false}, {S::DeleteStaged, S::QuarantineAside},
     Completed},
    // The set-aside file was removed; only the journal was left.
    {"finished", {true, true, false, false, false, false}, {}, Finished},
    // An empty name (an older two-move run, or a file removed since):
    // the clean copy goes in when whole, else the infected file goes back.
    {"empty name", {false, false, true, true, true, false}, {S::MoveStagedIn, S::QuarantineAside}, MovedIn},
    {"empty name, copy damaged", {false, false, true, false, true, false}, {S::MoveAsideBack, S::DeleteStaged},
     PutBack},
    {"empty name, copy gone", {false, false, false, false, true, false}, {S::MoveAsideBack}, PutBack},
    {"only the copy", {false, false, true, true, false, false}, {S::MoveStagedIn}, MovedIn},
    {"only a damaged copy", {false, false, true, false, false, false}, {S::DeleteStaged}, NothingLeft},
    {"nothing", {false, false, false, false, false, false}, {}, NothingLeft},
};

TEST(ReplacementRecovery, PlanForEveryState)
{
    for (const RecoveryCase& c : RecoveryCases) {
        SCOPED_TRACE(c.name);
        const RecoveryPlan plan = PlanRecovery(c.state);
        EXPECT_EQ(plan.steps, c.steps);
        ASSERT_NE(plan.outcome, nullptr);
        EXPECT_STREQ(plan.outcome, c.outcome);
    }
}

// Over every state: a file under the driver's name is never moved over or
// quarantined while it is the set-aside file itself, and after the plan a
// file stands under the name whenever one of the files existed to put there.
TEST(ReplacementRecovery, AFileEndsUnderTheDriversNameWheneverOneIsLeft)
{
    for (int bits = 0; bits < 64; ++bits) {
        ReplacementState state{(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0, (bits & 12) == 12,
                               (bits & 16) != 0, (bits & 50) == 50};
        const RecoveryPlan plan = PlanRecovery(state);
        bool driver = state.driverExists;
        for (RecoveryStep step : plan.steps) {
            if (step == S::MoveStagedIn || step == S::MoveAsideBack) {
                EXPECT_FALSE(driver) << bits << ": a move over the driver's name";
                driver = true;
            }
            if (step == S::QuarantineAside)
                EXPECT_FALSE(state.asideIsDriver) << bits << ": the driver in place taken for the infected file";
        }
        EXPECT_EQ(driver, state.driverExists || state.stagedIsClean || state.asideExists) << bits;
    }
}

} // namespace
