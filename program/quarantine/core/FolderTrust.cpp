#include "program/quarantine/core/FolderTrust.hpp"

namespace {

constexpr uint8_t AllowedType = 0;
constexpr uint8_t DeniedType = 1;
constexpr uint8_t InheritOnly = 0x08;
constexpr uint32_t DirectoryAttribute = 0x10;
constexpr uint32_t ReparsePointAttribute = 0x400;

} // namespace

bool OthersMayChange(const std::optional<std::vector<AccessEntry>>& dacl)
{
    if (!dacl)
        return true;
    for (const AccessEntry& entry : *dacl) {
        if (entry.type == DeniedType || (entry.flags & InheritOnly) != 0)
            continue;
        if (entry.type != AllowedType)
            return true;
        if (!entry.trustedSid && (entry.mask & ChangingRights) != 0)
            return true;
    }
    return false;
}

Trust JudgeExisting(bool wantFolder, uint32_t attributes, bool ownerTrusted,
                    const std::optional<std::vector<AccessEntry>>& dacl)
{
    if ((attributes & ReparsePointAttribute) != 0)
        return Trust::ReparsePoint;
    if (((attributes & DirectoryAttribute) != 0) != wantFolder)
        return wantFolder ? Trust::NotAFolder : Trust::NotAFile;
    if (!ownerTrusted)
        return Trust::ForeignOwner;
    if (OthersMayChange(dacl))
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
