// The service registry cleanup on real keys in the prefix's registry.
//
// How Wine relates the control sets (pinned down by the first test): unlike
// Windows, where CurrentControlSet is a link to the set in use, a Wine
// prefix keeps its services in a real SYSTEM\CurrentControlSet key and has
// neither ControlSet001 nor ControlSet002. The tests make the keys they need
// under each set, and remove any set they brought into being.

#include "program/run/RemovalContext.hpp"
#include "tests/wine/CleanupWine.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace cleanupwine;

namespace {

const std::string KeyReport = "\nQuorVallin Registry key: Disinfected\n\n";
const wchar_t* const Cs001 = L"SYSTEM\\ControlSet001\\Services\\";
const wchar_t* const Cs002 = L"SYSTEM\\ControlSet002\\Services\\";
const wchar_t* const Current = L"SYSTEM\\CurrentControlSet\\Services\\";
const wchar_t* const Hidden = L"korvtest.dll:x.exe";

// The names under ControlSet001\Services in enumeration order.
std::vector<std::wstring> ServiceOrder()
{
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\ControlSet001\\Services", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    wchar_t name[1024];
    for (DWORD i = 0;; ++i) {
        DWORD length = 1024;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    RegCloseKey(key);
    return names;
}

class ServiceRegistryCleanup : public ::testing::Test {
protected:
    void SetUp() override
    {
        had001 = KeyExists(L"SYSTEM\\ControlSet001");
        had002 = KeyExists(L"SYSTEM\\ControlSet002");
        RemoveTestKeys();
    }
    void TearDown() override
    {
        RemoveTestKeys();
        if (!had001)
            RemoveKeyTree(L"SYSTEM\\ControlSet001");
        if (!had002)
            RemoveKeyTree(L"SYSTEM\\ControlSet002");
    }

    static void RemoveTestKeys()
    {
        for (const wchar_t* set : {Cs001, Cs002, Current})
            for (const wchar_t* name : {L"KorvaleSvcA", L"KorvaleSvcB", L"KorvaleSvcC", L"KorvaleSvcBig",
                                        L"KorvaleSvcProbe"})
                RemoveKeyTree(std::wstring(set) + name);
    }

    std::string Clean(const std::wstring& name, CleanupResult expectedResult)
    {
        CapturedOutput output;
        EXPECT_EQ(context.CleanServiceRegistry(name), expectedResult);
        return output.text();
    }

    RemovalContext context;
    bool had001 = false;
    bool had002 = false;
};

TEST_F(ServiceRegistryCleanup, WineKeepsServicesInARealCurrentControlSetKey)
{
    // The prefix's own services live there and nowhere else.
    EXPECT_TRUE(KeyExists(std::wstring(Current) + L"RpcSs"));
    EXPECT_FALSE(KeyExists(std::wstring(Cs001) + L"RpcSs"));
    EXPECT_FALSE(KeyExists(std::wstring(Cs002) + L"RpcSs"));
    // A key made under ControlSet001 does not show through CurrentControlSet.
    ASSERT_TRUE(MakeService(std::wstring(Cs001) + L"KorvaleSvcProbe", L"probe.sys"));
    EXPECT_FALSE(KeyExists(std::wstring(Current) + L"KorvaleSvcProbe"));
}

TEST_F(ServiceRegistryCleanup, OnlyTheFirstMatchingServiceIsDeletedAndReportedOnce)
{
    ASSERT_TRUE(MakeService(std::wstring(Cs001) + L"KorvaleSvcA", std::wstring(L"C:\\windows\\") + Hidden));
    ASSERT_TRUE(MakeService(std::wstring(Cs001) + L"KorvaleSvcB", std::wstring(L"%SystemRoot%\\") + Hidden + L" -k"));
    std::vector<std::wstring> order;
    for (const std::wstring& name : ServiceOrder())
        if (name == L"KorvaleSvcA" || name == L"KorvaleSvcB")
            order.push_back(name);
    ASSERT_EQ(order.size(), 2u);

    EXPECT_EQ(Clean(Hidden, CleanupResult::Done), KeyReport);
    EXPECT_FALSE(KeyExists(std::wstring(Cs001) + order[0]));
    EXPECT_TRUE(KeyExists(std::wstring(Cs001) + order[1]));
}

TEST_F(ServiceRegistryCleanup, TheKeyIsDeletedUnderEveryControlSetThatHasIt)
{
    for (const wchar_t* set : {Cs001, Cs002, Current})
        ASSERT_TRUE(MakeService(std::wstring(set) + L"KorvaleSvcA", Hidden));
    EXPECT_EQ(Clean(Hidden, CleanupResult::Done), KeyReport);
    for (const wchar_t* set : {Cs001, Cs002, Current})
        EXPECT_FALSE(KeyExists(std::wstring(set) + L"KorvaleSvcA"));
}

TEST_F(ServiceRegistryCleanup, TheServiceIsSearchedUnderControlSet001Only)
{
    // Known only to CurrentControlSet (as services are in a Wine prefix):
    // not found, so not deleted anywhere.
    ASSERT_TRUE(MakeService(std::wstring(Cs001) + L"KorvaleSvcB", L"beep.sys"));
    ASSERT_TRUE(MakeService(std::wstring(Current) + L"KorvaleSvcA", Hidden));
    EXPECT_EQ(Clean(Hidden, CleanupResult::NotFound), "");
    EXPECT_TRUE(KeyExists(std::wstring(Current) + L"KorvaleSvcA"));
}

TEST_F(ServiceRegistryCleanup, AKeyWithSubkeysStaysAndNothingIsWritten)
{
    ASSERT_TRUE(MakeService(std::wstring(Cs001) + L"KorvaleSvcC", Hidden));
    ASSERT_TRUE(MakeService(std::wstring(Cs001) + L"KorvaleSvcC\\Parameters", L"not an image"));
    // Found, but its key could not be deleted anywhere: the cleanup failed.
    EXPECT_EQ(Clean(Hidden, CleanupResult::Failed), "");
    EXPECT_TRUE(KeyExists(std::wstring(Cs001) + L"KorvaleSvcC\\Parameters"));
}

TEST_F(ServiceRegistryCleanup, NoMatchCaseDifferenceOrEmptyNameWritesAndDeletesNothing)
{
    ASSERT_TRUE(MakeService(std::wstring(Cs001) + L"KorvaleSvcA", Hidden));
    EXPECT_EQ(Clean(L"korvtest.dll:y.exe", CleanupResult::NotFound), "");
    EXPECT_EQ(Clean(L"KORVTEST.DLL:X.EXE", CleanupResult::NotFound), "");
    // Every value contains the empty string; it must not be taken as a match.
    EXPECT_EQ(Clean(L"", CleanupResult::NotFound), "");
    EXPECT_TRUE(KeyExists(std::wstring(Cs001) + L"KorvaleSvcA"));
    EXPECT_FALSE(ServiceOrder().empty()) << "nothing else was deleted either";
}

TEST_F(ServiceRegistryCleanup, AnImagePathLargerThan1024BytesIsNotExamined)
{
    ASSERT_TRUE(MakeService(std::wstring(Cs001) + L"KorvaleSvcBig", std::wstring(520, L'p') + Hidden));
    EXPECT_EQ(Clean(Hidden, CleanupResult::NotFound), "");
    EXPECT_TRUE(KeyExists(std::wstring(Cs001) + L"KorvaleSvcBig"));
}

// A machine of today holds 400 to 700 services with names of 10 to 12
// characters. With 1,000 such services (12,000 characters of names) the
// rootkit's service is still found and deleted, wherever it stands in the
// enumeration, and no other service is touched.
TEST_F(ServiceRegistryCleanup, AmongAThousandServicesTheRootkitsIsFoundWhereverItStands)
{
    std::vector<std::wstring> fill;
    for (int i = 0; i < 1000; ++i) {
        wchar_t name[16];
        swprintf(name, 16, L"KqvFill%05d", i); // 12 characters
        fill.emplace_back(name);
        ASSERT_TRUE(MakeService(std::wstring(Cs001) + name, std::wstring(L"system32\\drivers\\") + name + L".sys"));
    }
    struct Place {
        const wchar_t* name;
        std::size_t index; // in enumeration order, among 1,001 services
    } places[] = {{L"KqvA", 0}, {L"KqvFill00499x", 500}, {L"KqvZ", 1000}};

    for (const Place& place : places) {
        SCOPED_TRACE(testing::Message() << place.index);
        const std::wstring key = std::wstring(Cs001) + place.name;
        ASSERT_TRUE(MakeService(key, std::wstring(L"C:\\windows\\") + Hidden));
        const std::vector<std::wstring> before = ServiceOrder();
        ASSERT_EQ(before.size(), 1001u) << "ControlSet001 holds only this test's services";
        ASSERT_EQ(before[place.index], place.name);

        EXPECT_EQ(Clean(Hidden, CleanupResult::Done), KeyReport);
        EXPECT_FALSE(KeyExists(key));
        std::vector<std::wstring> expected = before;
        expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(place.index));
        EXPECT_EQ(ServiceOrder(), expected) << "every other service is still there";
        RemoveKeyTree(key);
    }
    for (const std::wstring& name : fill)
        RemoveKeyTree(std::wstring(Cs001) + name);
}

TEST_F(ServiceRegistryCleanup, AKeyInNoControlSetIsNotReported)
{
    CapturedOutput output;
    EXPECT_FALSE(context.DeleteServiceKeys(L"KorvaleSvcNowhere"));
    EXPECT_EQ(output.text(), "");
}

TEST_F(ServiceRegistryCleanup, AnUnopenableServicesKeyWritesItsMessage)
{
    // HKEY_LOCAL_MACHINE mapped, for this process only, onto an empty key.
    HKEY empty = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\KorvaleEmptyMachine", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &empty, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, empty), ERROR_SUCCESS);
    const std::string output = Clean(Hidden, CleanupResult::Failed);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(empty);
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\KorvaleEmptyMachine");
    EXPECT_EQ(output, "unable to open SYSTEM\\ControlSet001\\Services . \n");
}

} // namespace
