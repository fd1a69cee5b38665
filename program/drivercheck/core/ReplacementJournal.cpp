#include "program/drivercheck/core/ReplacementJournal.hpp"

namespace {

constexpr char16_t Separator = u'|';
// The drivers folder and a suffix of the journal's still fit a MAX_PATH
// buffer with names up to this length.
constexpr std::size_t MaxNameChars = 160;
constexpr std::size_t DigestChars = 32;
// The last field of a journal whose clean copy has taken the driver's name.
constexpr std::u16string_view ReplacedMark = u"replaced";

char16_t Upper(char16_t c)
{
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

// CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9: the name before its first dot,
// without trailing blanks, opens the device in every folder. Later Windows
// also takes the superscript digits.
bool IsReservedDeviceName(std::u16string_view name)
{
    std::u16string_view base = name.substr(0, name.find(u'.'));
    while (!base.empty() && base.back() == u' ')
        base.remove_suffix(1);
    std::u16string upper;
    for (char16_t c : base)
        upper += Upper(c);
    if (upper == u"CON" || upper == u"PRN" || upper == u"AUX" || upper == u"NUL")
        return true;
    if (upper.size() != 4 || (upper.compare(0, 3, u"COM") != 0 && upper.compare(0, 3, u"LPT") != 0))
        return false;
    const char16_t digit = upper[3];
    return (digit >= u'1' && digit <= u'9') || digit == u'\u00b9' || digit == u'\u00b2' || digit == u'\u00b3';
}

bool IsStamp(std::u16string_view stamp)
{
    // YYYYMMDDTHHMMSSZ
    if (stamp.size() != 16 || stamp[8] != u'T' || stamp[15] != u'Z')
        return false;
    for (std::size_t i = 0; i < 15; ++i) {
        if (i != 8 && (stamp[i] < u'0' || stamp[i] > u'9'))
            return false;
    }
    return true;
}

bool IsDigestText(std::u16string_view text)
{
    if (text.size() != DigestChars)
        return false;
    for (char16_t c : text) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')))
            return false;
    }
    return true;
}

std::string Narrow(std::u16string_view text)
{
    return std::string(text.begin(), text.end());
}

std::vector<std::u16string_view> SplitFields(std::u16string_view text)
{
    std::vector<std::u16string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(Separator, start);
        fields.push_back(text.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start));
        if (end == std::u16string_view::npos)
            return fields;
        start = end + 1;
    }
}

} // namespace

bool IsPlainFileName(std::u16string_view name)
{
    if (name.empty() || name.size() > MaxNameChars || name == u"." || name == u"..")
        return false;
    if (name.back() == u'.' || name.back() == u' ')
        return false;
    for (char16_t c : name) {
        if (c < 0x20 || c == u'\\' || c == u'/' || c == u':' || c == u'*' || c == u'?' || c == u'"' || c == u'<'
            || c == u'>' || c == u'|')
            return false;
    }
    return !IsReservedDeviceName(name);
}

std::u16string FormatJournal(const ReplacementJournal& journal)
{
    std::u16string text = journal.driverName;
    text += Separator;
    text += journal.stamp;
    text += Separator;
    text.append(journal.cleanDigest.begin(), journal.cleanDigest.end());
    text += Separator;
    text.append(journal.infectedDigest.begin(), journal.infectedDigest.end());
    if (journal.replaced) {
        text += Separator;
        text += ReplacedMark;
    }
    return text;
}

std::optional<ReplacementJournal> ParseJournal(std::u16string_view text)
{
    const std::vector<std::u16string_view> fields = SplitFields(text);
    if ((fields.size() != 4 && !(fields.size() == 5 && fields[4] == ReplacedMark)) || !IsPlainFileName(fields[0])
        || !IsStamp(fields[1]) || !IsDigestText(fields[2]) || !(fields[3].empty() || IsDigestText(fields[3])))
        return std::nullopt;
    return ReplacementJournal{std::u16string(fields[0]), std::u16string(fields[1]), Narrow(fields[2]),
                              Narrow(fields[3]), fields.size() == 5};
}

std::u16string StagedName(const ReplacementJournal& journal)
{
    return journal.driverName + u"." + journal.stamp + u".new";
}

std::u16string AsideName(const ReplacementJournal& journal)
{
    return journal.driverName + u"." + journal.stamp + u".bad";
}

RecoveryPlan PlanRecovery(const ReplacementState& state)
{
    RecoveryPlan plan{{}, nullptr};
    auto add = [&plan](RecoveryStep step) { plan.steps.push_back(step); };
    if (state.driverExists) {
        // The replacing move consumes the staged copy's name: while that
        // name stands, the file under the driver's name is the one that
        // stood there before (unless the journal says otherwise).
        if (state.stagedExists)
            add(RecoveryStep::DeleteStaged);
        if (!state.asideExists) {
            plan.outcome = state.stagedExists ? "the driver had not been replaced; the copy made for it was removed"
                : state.replaced              ? "it had finished"
                                              : "the replacement had not begun; the driver is as it was";
            return plan;
        }
        // A set-aside name of the very file under the driver's name is only
        // a second name of the driver in place: removing it removes nothing
        // else, and nothing of it goes to the quarantine.
        if (state.asideIsDriver || (state.stagedExists && !state.replaced)) {
            add(RecoveryStep::DeleteAside);
            plan.outcome = "the driver had not been replaced; the copies made for it were removed";
            return plan;
        }
        add(RecoveryStep::QuarantineAside);
        plan.outcome = "the clean copy was in place; the replacement was completed";
        return plan;
    }
    if (state.stagedExists && state.stagedIsClean) {
        add(RecoveryStep::MoveStagedIn);
        if (state.asideExists)
            add(RecoveryStep::QuarantineAside);
        plan.outcome = "the clean copy was put in place; the replacement was completed";
        return plan;
    }
    if (state.asideExists) {
        add(RecoveryStep::MoveAsideBack);
        if (state.stagedExists)
            add(RecoveryStep::DeleteStaged);
        plan.outcome = "no whole clean copy was left, so the driver that stood there was put back";
        return plan;
    }
    if (state.stagedExists)
        add(RecoveryStep::DeleteStaged);
    plan.outcome = "no file of the driver is left to put in place";
    return plan;
}
