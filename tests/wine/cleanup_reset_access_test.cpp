// ResetFileAccess, read back with GetFileSecurityW: the object's DACL ends
// with exactly one entry, the administrators with every access bit, not
// inherited and not inheritable, and never an entry for Everyone or a null
// DACL; a folder's children keep their own lists; a missing path changes
// nothing. GrantAdministratorsAccess adds that entry to the list there is.
//
// Wine 8 does not keep a file's DACL: it turns the list into the Unix mode
// bits of the file and reads back a list made from them (full access for
// SYSTEM and the owner, and an Everyone entry made from the bits for
// others). There the reset shows as the Users entry gone and nothing for
// Everyone; the exact single-entry list is checked where the platform keeps
// lists as given.

#include "program/cleanup/SavedFileAccess.hpp"
#include "program/run/RemovalContext.hpp"
#include "tests/wine/DriverCheckFiles.hpp"

#include <aclapi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace drivercheck_test;

namespace {

struct AceView {
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;
    std::vector<BYTE> sid;
};

struct DaclView {
    bool read = false;
    bool present = false;
    bool isNull = false;
    std::vector<AceView> entries;
};

DaclView ReadDacl(const std::wstring& path)
{
    DaclView view;
    DWORD needed = 0;
    GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0)
        return view;
    std::vector<BYTE> buffer(needed);
    if (!GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, buffer.data(), needed, &needed))
        return view;
    view.read = true;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    GetSecurityDescriptorDacl(buffer.data(), &present, &acl, &defaulted);
    view.present = present != FALSE;
    view.isNull = acl == nullptr;
    if (acl == nullptr)
        return view;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(acl, i, &raw))
            break;
        auto* header = static_cast<ACE_HEADER*>(raw);
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(raw); // same layout for denied entries
        PSID sid = &allowed->SidStart;
        const BYTE* sidBytes = static_cast<const BYTE*>(sid);
        view.entries.push_back({header->AceType, header->AceFlags, allowed->Mask,
                                std::vector<BYTE>(sidBytes, sidBytes + GetLengthSid(sid))});
    }
    return view;
}

std::vector<BYTE> SidBytes(WELL_KNOWN_SID_TYPE type)
{
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    CreateWellKnownSid(type, nullptr, sid.data(), &size);
    sid.resize(size);
    return sid;
}

// Gives the object a list of two entries (Administrators full, Users read),
// so that a reset has something to replace.
bool GiveTwoEntries(const std::wstring& path)
{
    std::vector<BYTE> admins = SidBytes(WinBuiltinAdministratorsSid);
    std::vector<BYTE> users = SidBytes(WinBuiltinUsersSid);
    EXPLICIT_ACCESS_W entries[2] = {};
    entries[0].grfAccessPermissions = FILE_ALL_ACCESS;
    entries[1].grfAccessPermissions = FILE_GENERIC_READ;
    for (int i = 0; i < 2; ++i) {
        entries[i].grfAccessMode = SET_ACCESS;
        entries[i].grfInheritance = NO_INHERITANCE;
        entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[i].Trustee.TrusteeType = TRUSTEE_IS_ALIAS;
    }
    entries[0].Trustee.ptstrName = reinterpret_cast<LPWSTR>(admins.data());
    entries[1].Trustee.ptstrName = reinterpret_cast<LPWSTR>(users.data());
    return SetDaclEntries(path, entries, 2);
}

const AceView* FindEntry(const DaclView& dacl, const std::vector<BYTE>& sid)
{
    for (const AceView& entry : dacl.entries)
        if (entry.sid == sid)
            return &entry;
    return nullptr;
}

// Whether this platform keeps a DACL as it was given: a probe file given
// Administrators and Users reads back with exactly those two entries.
bool KeepsDaclsAsGiven(const std::wstring& probe)
{
    const DaclView dacl = ReadDacl(probe);
    return dacl.entries.size() == 2 && dacl.entries[0].sid == SidBytes(WinBuiltinAdministratorsSid)
        && dacl.entries[1].sid == SidBytes(WinBuiltinUsersSid);
}

// No entry grants anything to Everyone, and nothing is a null DACL.
void ExpectNothingForEveryone(const DaclView& dacl)
{
    ASSERT_TRUE(dacl.read);
    ASSERT_TRUE(dacl.present);
    ASSERT_FALSE(dacl.isNull) << "a null DACL grants everyone everything";
    for (const AceView& entry : dacl.entries) {
        if (entry.sid == SidBytes(WinWorldSid))
            EXPECT_TRUE(entry.type != ACCESS_ALLOWED_ACE_TYPE || entry.mask == 0) << "Everyone is granted something";
    }
}

void ExpectAdministratorsOnly(const std::wstring& path, bool keepsDacls)
{
    const DaclView dacl = ReadDacl(path);
    ExpectNothingForEveryone(dacl);
    const AceView* administrators = FindEntry(dacl, SidBytes(WinBuiltinAdministratorsSid));
    if (keepsDacls) {
        ASSERT_NE(administrators, nullptr) << "no entry for the administrators";
        EXPECT_EQ(administrators->type, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(administrators->flags, 0) << "no inheritance flags";
        EXPECT_EQ(administrators->mask, 0xFFFFFFFFu);
        EXPECT_EQ(dacl.entries.size(), 1u);
    }
    // The other entries of the two-entry list are gone either way.
    EXPECT_EQ(FindEntry(dacl, SidBytes(WinBuiltinUsersSid)), nullptr) << "the Users entry survived";
}

class ResetAccess : public ::testing::Test {
protected:
    std::wstring folder = TemporaryFolder() + L"kqv-reset-test";
    std::wstring file = folder + L"\\file.sys";
    std::wstring child = folder + L"\\child.txt";
    RemovalContext context;

    void SetUp() override
    {
        CreateDirectoryW(folder.c_str(), nullptr);
        ASSERT_TRUE(WriteWholeFile(file, "driver"));
        ASSERT_TRUE(WriteWholeFile(child, "child"));
    }
    void TearDown() override
    {
        context.ResetFileAccess(file.c_str());
        context.ResetFileAccess(child.c_str());
        DeleteFileW(file.c_str());
        DeleteFileW(child.c_str());
        RemoveDirectoryW(folder.c_str());
    }
};

TEST_F(ResetAccess, FileEndsWithTheAdministratorsAloneGrantedEveryRight)
{
    ASSERT_TRUE(GiveTwoEntries(file));
    const bool keepsDacls = KeepsDaclsAsGiven(file);
    context.ResetFileAccess(file.c_str());
    ExpectAdministratorsOnly(file, keepsDacls);
    EXPECT_EQ(ReadWholeFile(file), "driver");
}

TEST_F(ResetAccess, RepeatedCallsLeaveTheSameList)
{
    ASSERT_TRUE(GiveTwoEntries(file));
    const bool keepsDacls = KeepsDaclsAsGiven(file);
    context.ResetFileAccess(file.c_str());
    const DaclView once = ReadDacl(file);
    context.ResetFileAccess(file.c_str());
    context.ResetFileAccess(file.c_str());
    ExpectAdministratorsOnly(file, keepsDacls);
    EXPECT_EQ(ReadDacl(file).entries.size(), once.entries.size()) << "entries accumulated";
}

TEST_F(ResetAccess, FolderIsResetAndItsChildrenKeepTheirLists)
{
    ASSERT_TRUE(GiveTwoEntries(folder));
    ASSERT_TRUE(GiveTwoEntries(child));
    const bool keepsDacls = KeepsDaclsAsGiven(child);
    const DaclView childBefore = ReadDacl(child);
    context.ResetFileAccess(folder.c_str());
    ExpectAdministratorsOnly(folder, keepsDacls);
    const DaclView childAfter = ReadDacl(child);
    ASSERT_EQ(childAfter.entries.size(), childBefore.entries.size());
    for (std::size_t i = 0; i < childAfter.entries.size(); ++i) {
        EXPECT_EQ(childAfter.entries[i].sid, childBefore.entries[i].sid);
        EXPECT_EQ(childAfter.entries[i].mask, childBefore.entries[i].mask);
    }
    EXPECT_EQ(FindEntry(childAfter, SidBytes(WinWorldSid)), nullptr);
}

TEST_F(ResetAccess, MissingPathChangesNothing)
{
    ASSERT_TRUE(GiveTwoEntries(folder));
    const DaclView before = ReadDacl(folder);
    const std::wstring missing = folder + L"\\missing.sys";
    context.ResetFileAccess(missing.c_str());
    EXPECT_FALSE(PathExists(missing));
    const DaclView after = ReadDacl(folder);
    ASSERT_EQ(after.entries.size(), before.entries.size());
    for (std::size_t i = 0; i < after.entries.size(); ++i)
        EXPECT_EQ(after.entries[i].mask, before.entries[i].mask);
}

// The replacement opens a driver up only for as long as it uses it: its own
// list comes back afterwards.
TEST_F(ResetAccess, SavedAccessComesBackAfterTheReset)
{
    ASSERT_TRUE(GiveTwoEntries(file));
    const DaclView before = ReadDacl(file);
    ASSERT_TRUE(before.read);
    {
        const SavedFileAccess saved(file.c_str());
        ASSERT_TRUE(saved.saved());
        context.ResetFileAccess(file.c_str());
        ASSERT_EQ(FindEntry(ReadDacl(file), SidBytes(WinBuiltinUsersSid)), nullptr) << "reset while in use";
    }
    const DaclView after = ReadDacl(file);
    ASSERT_EQ(after.entries.size(), before.entries.size());
    for (std::size_t i = 0; i < after.entries.size(); ++i) {
        EXPECT_EQ(after.entries[i].sid, before.entries[i].sid);
        EXPECT_EQ(after.entries[i].mask, before.entries[i].mask);
    }
}

// The grant the replacement uses adds the administrators' entry to the list
// the object has and changes nothing else: nobody else gains, nobody loses.
TEST_F(ResetAccess, GrantAddsTheAdministratorsEntryAndKeepsTheRest)
{
    ASSERT_TRUE(GiveTwoEntries(file));
    const bool keepsDacls = KeepsDaclsAsGiven(file);
    const DaclView before = ReadDacl(file);
    EXPECT_TRUE(context.GrantAdministratorsAccess(file.c_str()));
    const DaclView after = ReadDacl(file);
    ExpectNothingForEveryone(after);
    const AceView* users = FindEntry(after, SidBytes(WinBuiltinUsersSid));
    const AceView* usersBefore = FindEntry(before, SidBytes(WinBuiltinUsersSid));
    if (keepsDacls) {
        ASSERT_NE(users, nullptr) << "the Users entry is kept";
        EXPECT_EQ(users->mask, usersBefore->mask) << "and not widened";
        const AceView* administrators = FindEntry(after, SidBytes(WinBuiltinAdministratorsSid));
        ASSERT_NE(administrators, nullptr);
        EXPECT_EQ(administrators->mask, 0xFFFFFFFFu);
        EXPECT_EQ(after.entries.size(), 2u);
    }
    EXPECT_FALSE(context.GrantAdministratorsAccess((folder + L"\\missing.sys").c_str()));
}

TEST_F(ResetAccess, NothingSavedForAMissingPath)
{
    const std::wstring missing = folder + L"\\missing.sys";
    const SavedFileAccess saved(missing.c_str());
    EXPECT_FALSE(saved.saved());
}

} // namespace
