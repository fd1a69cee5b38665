#include "program/drivercheck/core/ReplacementJournal.hpp"

namespace {

constexpr char16_t Separator = u'|';
// The drivers folder and a suffix of the journal's still fit a MAX_PATH
// buffer with names up to this length.
constexpr std::size_t MaxNameChars = 160;
constexpr std::size_t DigestChars = 32;

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
    return true;
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
    return text;
}

std::optional<ReplacementJournal> ParseJournal(std::u16string_view text)
{
    const std::vector<std::u16string_view> fields = SplitFields(text);
    if (fields.size() != 4 || !IsPlainFileName(fields[0]) || !IsStamp(fields[1]) || !IsDigestText(fields[2])
        || !(fields[3].empty() || IsDigestText(fields[3])))
        return std::nullopt;
    return ReplacementJournal{std::u16string(fields[0]), std::u16string(fields[1]), Narrow(fields[2]),
                              Narrow(fields[3])};
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
        if (state.stagedExists)
            add(RecoveryStep::DeleteStaged);
        if (state.asideExists) {
            // The file under the name is the clean copy, or a copy of the
            // infected file put back when the clean one could not be moved
            // in: either way the file moved aside is not needed there.
            add(RecoveryStep::QuarantineAside);
            plan.outcome = state.driverIsClean
                ? "the clean copy was in place; the replacement was completed"
                : "the driver that stood there was back in place; the file moved aside was removed";
        } else {
            plan.outcome = state.stagedExists ? "the driver had not been moved; the copy made for it was removed"
                                              : "it had finished";
        }
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
