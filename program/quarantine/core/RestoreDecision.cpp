#include "program/quarantine/core/RestoreDecision.hpp"

RestoreAction DecideRestore(const RestoreFacts& facts)
{
    if (!facts.storedMatches)
        return RestoreAction::RefuseDamaged;
    if (!facts.targetExists)
        return RestoreAction::Create;
    if (facts.targetEqualsStored)
        return RestoreAction::LeaveInPlace;
    return facts.overwrite ? RestoreAction::Replace : RestoreAction::RefuseDiffers;
}

std::u16string RestoreLine(RestoreOutcome outcome, std::u16string_view path, std::u16string_view detail)
{
    std::u16string line;
    switch (outcome) {
    case RestoreOutcome::Restored:
        return line.append(u"Restored: ").append(path).append(u"\n");
    case RestoreOutcome::AlreadyInPlace:
        return line.append(u"Already in place: ").append(path).append(u"\n");
    case RestoreOutcome::Differs:
        detail = u"it now differs; /overwrite replaces it";
        break;
    case RestoreOutcome::Damaged:
        detail = u"the stored copy is damaged";
        break;
    case RestoreOutcome::Missing:
        detail = u"the stored copy is missing";
        break;
    case RestoreOutcome::Failed:
        break;
    }
    return line.append(u"Not restored: ").append(path).append(u" (").append(detail).append(u")\n");
}

const char* RestoreExitMeaning(int exitCode)
{
    switch (exitCode) {
    case RestoreComplete:
        return "everything restored or already in place";
    case RestoreIncomplete:
        return "some objects were not restored";
    case RestoreCannotRun:
        return "cannot run";
    default:
        return "unknown";
    }
}
