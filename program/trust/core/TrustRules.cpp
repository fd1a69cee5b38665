#include "program/trust/core/TrustRules.hpp"

namespace {

constexpr uint8_t AllowedType = 0;
constexpr uint8_t DeniedType = 1;
constexpr uint8_t InheritOnly = 0x08;
constexpr uint32_t DirectoryAttribute = 0x10;
constexpr uint32_t ReparsePointAttribute = 0x400;

} // namespace

bool IsTrustedAccount(Account account)
{
    switch (account) {
    case Account::System:
    case Account::Administrators:
    case Account::TrustedInstaller:
    case Account::AdministratorAccount:
        return true;
    case Account::OtherAccount:
    case Account::Everyone:
    case Account::None:
        return false;
    }
    return false;
}

bool OthersMayChange(ObjectKind kind, const std::optional<std::vector<AccessEntry>>& dacl)
{
    if (!dacl)
        return true;
    const uint32_t changing = kind == ObjectKind::Key ? KeyChangingRights : FileChangingRights;
    for (const AccessEntry& entry : *dacl) {
        if (entry.type == DeniedType || (entry.flags & InheritOnly) != 0)
            continue;
        if (entry.type != AllowedType)
            return true;
        if (!IsTrustedAccount(entry.trustee) && (entry.mask & changing) != 0)
            return true;
    }
    return false;
}

Trust JudgeObject(const ObjectFacts& facts)
{
    if (facts.kind != ObjectKind::Key) {
        if ((facts.attributes & ReparsePointAttribute) != 0)
            return Trust::ReparsePoint;
        const bool wantFolder = facts.kind == ObjectKind::Folder;
        if (((facts.attributes & DirectoryAttribute) != 0) != wantFolder)
            return wantFolder ? Trust::NotAFolder : Trust::NotAFile;
    }
    // What Windows reports for an object on FAT is made up on the spot:
    // there is no owner to trust and no list that could keep anyone out.
    if (!facts.keepsAccessLists && facts.kind != ObjectKind::Key)
        return Trust::Trusted;
    if (!IsTrustedAccount(facts.owner))
        return Trust::ForeignOwner;
    if (OthersMayChange(facts.kind, facts.dacl))
        return Trust::OthersMayChange;
    return Trust::Trusted;
}

std::u16string TrustRefusal(Trust trust, std::u16string_view path)
{
    std::u16string text(path);
    switch (trust) {
    case Trust::Trusted:
        return text.append(u" may be used");
    case Trust::Missing:
        return text.append(u" does not exist");
    case Trust::NotAFolder:
        return text.append(u" is not a folder");
    case Trust::NotAFile:
        return text.append(u" is not a file");
    case Trust::ReparsePoint:
        return text.append(u" is a link to somewhere else");
    case Trust::ForeignOwner:
        return text.append(u" is owned by another account");
    case Trust::OthersMayChange:
        return text.append(u" can be changed by accounts other than SYSTEM and the Administrators");
    case Trust::Unreadable:
        return text.append(u" has an owner or access list that cannot be read");
    }
    return text;
}
