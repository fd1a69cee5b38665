// Whether an object the program keeps its own things in may be used, over
// what the volume keeps, who owns the object and what its DACL grants.

#include "program/trust/core/TrustRules.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Entries = std::vector<AccessEntry>;

constexpr uint32_t Folder = 0x10;
constexpr uint32_t Junction = 0x10 | 0x400;
constexpr uint8_t Allowed = 0, Denied = 1, InheritOnly = 0x08, Inherited = 0x03;
constexpr uint32_t FullControl = 0x1F01FF, ReadAndExecute = 0x1200A9, KeyRead = 0x20019, KeyAll = 0xF003F;

const Account Owners[] = {Account::System,       Account::Administrators, Account::TrustedInstaller,
                          Account::AdministratorAccount, Account::OtherAccount, Account::Everyone, Account::None};

const char* NameOf(Account account)
{
    switch (account) {
    case Account::System: return "SYSTEM";
    case Account::Administrators: return "the Administrators";
    case Account::TrustedInstaller: return "TrustedInstaller";
    case Account::AdministratorAccount: return "an administrator's account";
    case Account::OtherAccount: return "another account";
    case Account::Everyone: return "Everyone";
    case Account::None: return "no owner";
    }
    return "?";
}

struct Dacl {
    const char* name;
    std::optional<Entries> entries;
    bool othersMayChange;
};

// The lists of the table: the private one the program makes, the one
// Windows reports for every object on FAT, none at all, and one that lets
// the Users group write.
const Dacl Dacls[] = {
    {"private", Entries{{Allowed, Inherited, FullControl, Account::System}, {Allowed, Inherited, FullControl, Account::Administrators}}, false},
    {"Everyone full control", Entries{{Allowed, 0, FullControl, Account::Everyone}}, true},
    {"null", std::nullopt, true},
    {"Users may write", Entries{{Allowed, 0, FullControl, Account::System}, {Allowed, 0, 0x2, Account::OtherAccount}}, true},
};

// Every owner with every list, on a volume that keeps access lists and on
// one that does not (FAT). A folder the run made new and an existing one
// are judged alike: what makes an object safe is who can change it now.
TEST(TrustRules, OwnerTimesAccessListTimesVolume)
{
    for (const bool keepsAccessLists : {true, false}) {
        for (const Account owner : Owners) {
            for (const Dacl& dacl : Dacls) {
                const ObjectFacts facts{ObjectKind::Folder, keepsAccessLists, Folder, owner, dacl.entries};
                Trust expected = Trust::Trusted;
                if (keepsAccessLists && !IsTrustedAccount(owner))
                    expected = Trust::ForeignOwner;
                else if (keepsAccessLists && dacl.othersMayChange)
                    expected = Trust::OthersMayChange;
                EXPECT_EQ(JudgeObject(facts), expected)
                    << (keepsAccessLists ? "NTFS, " : "FAT, ") << NameOf(owner) << ", " << dacl.name;
            }
        }
    }
}

TEST(TrustRules, TrustedAccountsAreTheSystemsAndTheAdministrators)
{
    const std::vector<Account> trusted{Account::System, Account::Administrators, Account::TrustedInstaller,
                                       Account::AdministratorAccount};
    for (const Account account : Owners) {
        const bool expected = std::find(trusted.begin(), trusted.end(), account) != trusted.end();
        EXPECT_EQ(IsTrustedAccount(account), expected) << NameOf(account);
    }
}

// What an object is decides before who owns it, on every volume: a link's
// target and a file where a folder belongs are never used, FAT or not.
TEST(TrustRules, KindAndLinksAreJudgedOnEveryVolume)
{
    const Entries ours{{Allowed, Inherited, FullControl, Account::Administrators}};
    const struct {
        const char* what;
        ObjectKind kind;
        uint32_t attributes;
        Trust trust;
    } cases[] = {
        {"a junction", ObjectKind::Folder, Junction, Trust::ReparsePoint},
        {"a file where a folder belongs", ObjectKind::Folder, 0x20, Trust::NotAFolder},
        {"a folder where a file belongs", ObjectKind::File, Folder, Trust::NotAFile},
        {"a file", ObjectKind::File, 0x20, Trust::Trusted},
        {"a symbolic link to a file", ObjectKind::File, 0x20 | 0x400, Trust::ReparsePoint},
    };
    for (const bool keepsAccessLists : {true, false}) {
        for (const auto& c : cases) {
            EXPECT_EQ(JudgeObject({c.kind, keepsAccessLists, c.attributes, Account::Administrators, ours}), c.trust)
                << c.what << (keepsAccessLists ? " on NTFS" : " on FAT");
        }
    }
}

TEST(TrustRules, WhichEntriesLetOthersChangeAFolder)
{
    const struct {
        const char* what;
        std::optional<Entries> dacl;
        bool othersMayChange;
    } cases[] = {
        {"others may read", Entries{{Allowed, 0, ReadAndExecute, Account::OtherAccount}}, false},
        {"others are denied writing", Entries{{Denied, 0, FullControl, Account::OtherAccount}}, false},
        {"others may write what is made inside, not the folder", Entries{{Allowed, InheritOnly | 0x03, FullControl, Account::OtherAccount}}, false},
        {"an administrator's account has full control", Entries{{Allowed, 0, FullControl, Account::AdministratorAccount}}, false},
        {"TrustedInstaller has full control", Entries{{Allowed, 0, FullControl, Account::TrustedInstaller}}, false},
        {"others may add files", Entries{{Allowed, 0, 0x2, Account::OtherAccount}}, true},
        {"others may delete children", Entries{{Allowed, 0, 0x40, Account::OtherAccount}}, true},
        {"others may change the access list", Entries{{Allowed, 0, 0x40000, Account::OtherAccount}}, true},
        {"others hold generic write", Entries{{Allowed, 0, 0x40000000, Account::OtherAccount}}, true},
        {"others hold generic all", Entries{{Allowed, 0, 0x10000000, Account::OtherAccount}}, true},
        {"Everyone may write extended attributes", Entries{{Allowed, 0, 0x10, Account::Everyone}}, true},
        {"an allowing entry not understood", Entries{{5, 0, 0, Account::System}}, true},
        {"an empty access list", Entries{}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(OthersMayChange(ObjectKind::Folder, c.dacl), c.othersMayChange) << c.what;
}

// A key's rights are not a file's: reading a key's subkeys (0x10) is
// harmless, creating a link under it (0x20) is not.
TEST(TrustRules, WhichEntriesLetOthersChangeAKey)
{
    EXPECT_FALSE(OthersMayChange(ObjectKind::Key, Entries{{Allowed, 0, KeyRead, Account::OtherAccount}}));
    EXPECT_TRUE(OthersMayChange(ObjectKind::Folder, Entries{{Allowed, 0, KeyRead, Account::OtherAccount}}));
    EXPECT_TRUE(OthersMayChange(ObjectKind::Key, Entries{{Allowed, 0, 0x20, Account::OtherAccount}}));
    EXPECT_TRUE(OthersMayChange(ObjectKind::Key, Entries{{Allowed, 0, 0x2, Account::Everyone}}));
    EXPECT_FALSE(OthersMayChange(ObjectKind::Key, Entries{{Allowed, 0x02, KeyAll, Account::Administrators}}));
}

// The registry keeps owners and access lists whatever the volume under it.
TEST(TrustRules, AKeyIsAlwaysJudgedByItsOwnerAndList)
{
    const Entries ours{{Allowed, 0x02, KeyAll, Account::System}, {Allowed, 0x02, KeyAll, Account::Administrators}};
    EXPECT_EQ(JudgeObject({ObjectKind::Key, true, 0, Account::AdministratorAccount, ours}), Trust::Trusted);
    EXPECT_EQ(JudgeObject({ObjectKind::Key, true, 0, Account::OtherAccount, ours}), Trust::ForeignOwner);
    EXPECT_EQ(JudgeObject({ObjectKind::Key, false, 0, Account::OtherAccount, ours}), Trust::ForeignOwner);
    EXPECT_EQ(JudgeObject({ObjectKind::Key, true, 0, Account::Administrators,
                           Entries{{Allowed, 0, 0x2, Account::OtherAccount}}}),
              Trust::OthersMayChange);
}

TEST(TrustRules, RefusalNamesThePath)
{
    EXPECT_EQ(TrustRefusal(Trust::ForeignOwner, u"C:\\WINDOWS\\KorvaleQuarantine"),
              u"C:\\WINDOWS\\KorvaleQuarantine is owned by another account");
    EXPECT_EQ(TrustRefusal(Trust::NotAFolder, u"C:\\q"), u"C:\\q is not a folder");
}

} // namespace
