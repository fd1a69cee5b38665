// ScanSystemDrivers in the prefix's real drivers folder, with the raw copy
// substituted: the prefix's own drivers are copied with their ordinary
// content (clean), and the test plans what each of its own drivers' raw
// copies holds.

#include "program/run/RemovalContext.hpp"
#include "tests/wine/DriverCheckFiles.hpp"
#include "tests/wine/scan/RawCopySubstitute.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace drivercheck_test;

namespace {

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end()); // test names are ASCII
}

class ScanDrivers : public ::testing::Test {
protected:
    RemovalContext context;
    std::vector<std::wstring> created;
    std::vector<std::wstring> createdFolders;
    std::string output;
    DriverScanFindings findings;
    bool result = false;

    void SetUp() override { ResetRawCopySubstitute(); }
    void TearDown() override
    {
        for (const std::wstring& name : created) {
            DeleteFileW((DriversFolder() + name).c_str());
            DeleteFileW((TemporaryFolder() + name).c_str());
        }
        for (const std::wstring& name : createdFolders)
            RemoveDirectoryW((DriversFolder() + name).c_str());
        ResetRawCopySubstitute();
    }

    void AddDriver(const std::wstring& name, std::size_t size)
    {
        ASSERT_TRUE(WriteWholeFile(DriversFolder() + name, Pattern(size)));
        created.push_back(name);
    }
    void AddInfectedDriver(const std::wstring& name, std::size_t size)
    {
        AddDriver(name, size);
        PlanRawCopy(name, {SubstituteCopy::Bytes, Pattern(size, 5)});
    }

    void Scan()
    {
        std::ostringstream captured;
        std::streambuf* original = std::cout.rdbuf(captured.rdbuf());
        findings = context.ScanSystemDrivers();
        result = findings.infected;
        std::cout.rdbuf(original);
        output = captured.str();
    }

    static std::string CleanLine(const std::string& field) { return field + "\t : Clean \n"; }
    static std::string InfectedLine(const std::string& field) { return field + "\t : Infected !\n"; }
    static std::string NotVerifiedLine(const std::string& field) { return field + "\t : Not verified\n"; }

    bool Reported(const std::wstring& name) const
    {
        return output.find(Narrow(name) + " ") != std::string::npos
            || output.find(Narrow(name) + "\t") != std::string::npos;
    }

    // After every scan: the copies were made in the run's own work folder,
    // and none is left there or in the temporary folder.
    void ExpectNoCopyLeft(const std::vector<std::wstring>& names)
    {
        ASSERT_FALSE(context.workFolder.empty());
        EXPECT_EQ(context.workFolder.rfind(TemporaryFolder() + L"KorvaleNoQuorVallin-", 0), 0u)
            << Narrow(context.workFolder);
        EXPECT_EQ(EntriesOf(context.workFolder, L"*"), std::vector<std::wstring>{});
        for (const std::wstring& name : names)
            EXPECT_FALSE(PathExists(TemporaryFolder() + name)) << Narrow(name);
    }
};

TEST_F(ScanDrivers, EveryJudgedDriverGetsOneLineInSearchOrder)
{
    AddDriver(L"kqvclean.sys", 70000);
    AddDriver(L"kqvten.sys", 70000);          // exactly 10 characters: no blank
    AddDriver(L"kqvlongname.sys", 70000);     // longer than the field: written whole
    AddDriver(L"k.sys", 70000);
    const std::vector<std::wstring> judged = JudgedDriversInSearchOrder();
    ASSERT_GT(judged.size(), 4u) << "the prefix's own drivers are judged too";

    Scan();

    std::string expected;
    for (const std::wstring& name : judged) {
        std::string field = Narrow(name);
        if (field.size() < 10)
            field.append(10 - field.size(), ' ');
        expected += CleanLine(field);
    }
    EXPECT_EQ(output, expected);
    EXPECT_NE(output.find("kqvclean.sys\t : Clean \n"), std::string::npos);
    EXPECT_NE(output.find("\nkqvten.sys\t : Clean \n"), std::string::npos);
    EXPECT_NE(output.find("\nkqvlongname.sys\t : Clean \n"), std::string::npos);
    EXPECT_NE(output.find("\nk.sys     \t : Clean \n"), std::string::npos);
    EXPECT_FALSE(result);
    EXPECT_EQ(findings.judged, judged.size());
    EXPECT_EQ(findings.notVerified, 0u);
    EXPECT_TRUE(context.infectedDriverName.empty());
    ExpectNoCopyLeft(judged);
}

TEST_F(ScanDrivers, EachCopyGetsTheScansCallbackAFreshEventAndItsOwnPaths)
{
    AddDriver(L"kqvclean.sys", 70000);
    Scan();
    const std::vector<std::wstring> judged = JudgedDriversInSearchOrder();
    ASSERT_EQ(RawCopyCalls().size(), judged.size());
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    for (std::size_t i = 0; i < judged.size(); ++i) {
        const SubstituteCall& call = RawCopyCalls()[i];
        SCOPED_TRACE(Narrow(judged[i]));
        EXPECT_EQ(call.source, std::wstring(system) + L"\\Drivers\\" + judged[i]);
        EXPECT_EQ(call.destination, context.workFolder + judged[i]);
        EXPECT_TRUE(call.callbackIsScans);
        EXPECT_TRUE(call.cancelEventUnsignalled);
        EXPECT_TRUE(call.contextIsSource);
    }
}

TEST_F(ScanDrivers, InfectedDriverIsReportedAndNamed)
{
    AddDriver(L"kqvclean.sys", 70000);
    AddInfectedDriver(L"kqvinf.sys", 70000);
    context.infectedDriverName = L"earlier.sys";

    Scan();

    EXPECT_TRUE(result);
    EXPECT_EQ(context.infectedDriverName, L"kqvinf.sys");
    EXPECT_NE(output.find("\nkqvinf.sys\t : Infected !\n"), std::string::npos) << output;
    EXPECT_NE(output.find("kqvclean.sys\t : Clean \n"), std::string::npos);
    EXPECT_EQ(output.find("Infected"), output.rfind("Infected")) << "one infected line";
    ExpectNoCopyLeft({L"kqvinf.sys", L"kqvclean.sys"});
}

TEST_F(ScanDrivers, TwoInfectedDriversAreBothReportedAndTheLastIsKept)
{
    AddInfectedDriver(L"kqvinfa.sys", 70000);
    AddInfectedDriver(L"kqvinfb.sys", 80000);
    std::vector<std::wstring> infectedInOrder;
    for (const std::wstring& name : JudgedDriversInSearchOrder())
        if (name == L"kqvinfa.sys" || name == L"kqvinfb.sys")
            infectedInOrder.push_back(name);
    ASSERT_EQ(infectedInOrder.size(), 2u);

    Scan();

    EXPECT_TRUE(result);
    EXPECT_EQ(context.infectedDriverName, infectedInOrder[1]);
    const std::size_t first = output.find(InfectedLine(Narrow(infectedInOrder[0])));
    const std::size_t second = output.find(InfectedLine(Narrow(infectedInOrder[1])));
    EXPECT_NE(first, std::string::npos) << output;
    EXPECT_NE(second, std::string::npos) << output;
    EXPECT_LT(first, second);
    ExpectNoCopyLeft(infectedInOrder);
}

TEST_F(ScanDrivers, OnlyDriversAbove59392BytesAreJudged)
{
    AddInfectedDriver(L"kqvat.sys", 59392);
    AddInfectedDriver(L"kqvabove.sys", 59393);
    AddInfectedDriver(L"kqvtiny.sys", 0);

    Scan();

    EXPECT_FALSE(Reported(L"kqvat.sys"));
    EXPECT_FALSE(Reported(L"kqvtiny.sys"));
    EXPECT_NE(output.find("\nkqvabove.sys\t : Infected !\n"), std::string::npos) << output;
    EXPECT_EQ(context.infectedDriverName, L"kqvabove.sys");
    for (const SubstituteCall& call : RawCopyCalls())
        EXPECT_EQ(call.source.find(L"kqvat.sys"), std::wstring::npos) << "a small driver was copied";
    ExpectNoCopyLeft({L"kqvabove.sys"});
}

TEST_F(ScanDrivers, FolderNamedLikeADriverIsSkipped)
{
    ASSERT_TRUE(CreateDirectoryW((DriversFolder() + L"kqvdir.sys").c_str(), nullptr));
    createdFolders.push_back(L"kqvdir.sys");

    Scan();

    EXPECT_FALSE(Reported(L"kqvdir.sys"));
    for (const SubstituteCall& call : RawCopyCalls())
        EXPECT_EQ(call.source.find(L"kqvdir.sys"), std::wstring::npos);
    EXPECT_FALSE(result);
}

// A raw copy that fails leaves nothing to compare with: whether it failed
// before its destination was created or after (leaving an empty copy whose
// digest differs from the driver's), the driver is "Not verified", never
// infected, and the infected driver found before it stays the one named.
TEST_F(ScanDrivers, DriverWhoseRawCopyFailedIsNotVerifiedAndNeverInfected)
{
    AddInfectedDriver(L"kqva.sys", 70000);
    AddDriver(L"kqvfailafter.sys", 70000);
    PlanRawCopy(L"kqvfailafter.sys", {SubstituteCopy::FailAfterCreate});
    AddDriver(L"kqvfailbefore.sys", 70000);
    PlanRawCopy(L"kqvfailbefore.sys", {SubstituteCopy::FailBeforeCreate});
    const std::vector<std::wstring> judged = JudgedDriversInSearchOrder();
    const auto position = [&](const wchar_t* name) { return std::find(judged.begin(), judged.end(), name); };
    ASSERT_LT(position(L"kqva.sys"), position(L"kqvfailafter.sys")) << "the infected driver comes first";

    Scan();

    EXPECT_NE(output.find("\n" + NotVerifiedLine("kqvfailafter.sys")), std::string::npos) << output;
    EXPECT_NE(output.find("\n" + NotVerifiedLine("kqvfailbefore.sys")), std::string::npos) << output;
    EXPECT_NE(output.find(InfectedLine("kqva.sys  ")), std::string::npos) << output;
    EXPECT_EQ(output.find("Infected"), output.rfind("Infected")) << "one infected line";
    EXPECT_TRUE(result);
    EXPECT_EQ(findings.notVerified, 2u);
    EXPECT_EQ(context.infectedDriverName, L"kqva.sys");
    ExpectNoCopyLeft({L"kqva.sys", L"kqvfailafter.sys", L"kqvfailbefore.sys"});
}

// A driver that cannot be read the ordinary way gets the same line as one
// that cannot be read raw: the administrator sees it was not verified.
TEST_F(ScanDrivers, DriverWhoseOrdinaryReadFailsIsNotVerified)
{
    AddInfectedDriver(L"kqvlocked.sys", 70000);
    HANDLE holder = CreateFileW((DriversFolder() + L"kqvlocked.sys").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    Scan();
    CloseHandle(holder);

    EXPECT_NE(output.find("\n" + NotVerifiedLine("kqvlocked.sys")), std::string::npos) << output;
    EXPECT_FALSE(result);
    EXPECT_EQ(findings.notVerified, 1u);
    EXPECT_TRUE(context.infectedDriverName.empty());
    ExpectNoCopyLeft({L"kqvlocked.sys"});
}

// Files planted under the copies' names in the temporary folder (by any
// account: under SYSTEM it is the Windows directory's Temp) are neither
// read, written nor deleted: the copies are made in the run's own folder.
TEST_F(ScanDrivers, FilesPlantedInTheTemporaryFolderChangeNothing)
{
    AddDriver(L"kqvstale.sys", 70000);
    AddInfectedDriver(L"kqvplant.sys", 70000);
    const std::wstring plantedClean = TemporaryFolder() + L"kqvstale.sys";
    const std::wstring plantedInfected = TemporaryFolder() + L"kqvplant.sys";
    // One planted file says "clean" for an infected driver, the other
    // would make a clean one look infected.
    ASSERT_TRUE(WriteWholeFile(plantedInfected, Pattern(70000)));
    ASSERT_TRUE(WriteWholeFile(plantedClean, "planted"));
    HANDLE held = CreateFileW(plantedClean.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    Scan();
    CloseHandle(held);

    EXPECT_NE(output.find("kqvstale.sys\t : Clean \n"), std::string::npos) << output;
    EXPECT_NE(output.find("kqvplant.sys\t : Infected !\n"), std::string::npos) << output;
    EXPECT_EQ(ReadWholeFile(plantedClean), "planted");
    EXPECT_EQ(ReadWholeFile(plantedInfected), Pattern(70000));
    DeleteFileW(plantedClean.c_str());
    DeleteFileW(plantedInfected.c_str());
    ExpectNoCopyLeft({});
}

// A refused copy is a failed copy: the warning, then the driver's
// "Not verified" line.
TEST_F(ScanDrivers, CompressedOrSparseDriverIsRefusedWithAWarning)
{
    AddInfectedDriver(L"kqvcomp.sys", 70000);
    PlanRawCopy(L"kqvcomp.sys", {SubstituteCopy::Bytes, "x", FILE_ATTRIBUTE_COMPRESSED});
    AddInfectedDriver(L"kqvsparse.sys", 70000);
    PlanRawCopy(L"kqvsparse.sys", {SubstituteCopy::Bytes, "x", FILE_ATTRIBUTE_SPARSE_FILE});

    Scan();

    const std::string warning = "Warning: Compressed files are not supported!\n";
    EXPECT_NE(output.find(warning + NotVerifiedLine("kqvcomp.sys")), std::string::npos) << output;
    EXPECT_NE(output.find(warning + NotVerifiedLine("kqvsparse.sys")), std::string::npos) << output;
    EXPECT_EQ(output.find("Infected"), std::string::npos) << output;
    EXPECT_FALSE(result);
    ExpectNoCopyLeft({L"kqvcomp.sys", L"kqvsparse.sys"});
}

TEST_F(ScanDrivers, CompressedVolumeIsRefusedWithAWarning)
{
    AddInfectedDriver(L"kqvcvol.sys", 70000);
    PlanRawCopy(L"kqvcvol.sys", {SubstituteCopy::Bytes, "x", FILE_ATTRIBUTE_ARCHIVE, 0x000780FF});

    Scan();

    EXPECT_NE(output.find("Warning: Compressed volumes are not supported!\n" + NotVerifiedLine("kqvcvol.sys")),
              std::string::npos)
        << output;
    EXPECT_FALSE(result);
    ExpectNoCopyLeft({L"kqvcvol.sys"});
}

// The scan changes no access list, not even for a moment: while any of
// the copies is being made, every driver still has the DACL it had (an
// entry for Everyone, or a null DACL, would let any account open a driver
// for writing in that moment and keep the handle).
TEST_F(ScanDrivers, NoDriversAccessListChangesDuringTheScan)
{
    AddDriver(L"kqvacl.sys", 70000);
    AddInfectedDriver(L"kqvaclbad.sys", 70000);
    for (const wchar_t* name : {L"kqvacl.sys", L"kqvaclbad.sys"})
        ASSERT_TRUE(GiveAdministratorsOnly(DriversFolder() + name));
    std::vector<std::pair<std::wstring, std::vector<BYTE>>> before;
    for (const std::wstring& name : JudgedDriversInSearchOrder())
        before.emplace_back(name, DaclBytes(DriversFolder() + name));
    int looks = 0;
    ObserveRawCopies([&](const std::wstring&) {
        for (const auto& [name, dacl] : before) {
            ++looks;
            EXPECT_EQ(DaclBytes(DriversFolder() + name), dacl) << Narrow(name);
        }
    });

    Scan();

    EXPECT_TRUE(result);
    EXPECT_EQ(looks, static_cast<int>(before.size() * before.size()));
    for (const auto& [name, dacl] : before)
        EXPECT_EQ(DaclBytes(DriversFolder() + name), dacl) << Narrow(name);
}

// Each raw copy is made and deleted in the run's own new folder, never
// under the driver's own name: not when the temporary folder is the
// drivers folder under another spelling (the work folder is then made in
// it), and not when no temporary folder can be had and the current folder
// is the drivers folder (then no work folder is made and nothing is judged).
TEST_F(ScanDrivers, TemporaryFolderThatNamesNoSafePlaceDeletesNoDriver)
{
    AddDriver(L"kqvkeep.sys", 70000);
    const std::string content = ReadWholeFile(DriversFolder() + L"kqvkeep.sys");
    std::wstring driversUpper = DriversFolder();
    CharUpperBuffW(driversUpper.data(), static_cast<DWORD>(driversUpper.size()));
    driversUpper.pop_back(); // GetTempPathW gives the backslash back
    const std::wstring tooLong = L"C:\\" + std::wstring(300, L'k');

    for (const std::wstring& temporary : {driversUpper, tooLong}) {
        SCOPED_TRACE(Narrow(temporary.substr(0, 40)));
        ResetRawCopySubstitute();
        {
            RemovalContext own;
            const TemporaryFolderSwitch unsafeTemporaryFolder(temporary, DriversFolder());
            std::ostringstream captured;
            std::streambuf* original = std::cout.rdbuf(captured.rdbuf());
            findings = own.ScanSystemDrivers();
            std::cout.rdbuf(original);
            output = captured.str();
            if (temporary == tooLong) {
                EXPECT_TRUE(own.workFolder.empty());
                EXPECT_EQ(output.rfind("The program's work folder cannot be made in the temporary folder ", 0), 0u)
                    << output;
                EXPECT_TRUE(RawCopyCalls().empty());
                EXPECT_EQ(findings.judged, 0u);
            } else {
                EXPECT_NE(output.find("kqvkeep.sys\t : Clean \n"), std::string::npos) << output;
                for (const SubstituteCall& call : RawCopyCalls())
                    EXPECT_EQ(call.destination.rfind(own.workFolder, 0), 0u) << Narrow(call.destination);
            }
        }

        EXPECT_TRUE(ReadWholeFile(DriversFolder() + L"kqvkeep.sys") == content) << "the driver is gone or changed";
        EXPECT_FALSE(findings.infected);
        EXPECT_EQ(EntriesOf(DriversFolder(), L"KorvaleNoQuorVallin-*"), std::vector<std::wstring>{});
    }
    EXPECT_FALSE(JudgedDriversInSearchOrder().empty()) << "the prefix's own drivers are still there";
}

} // namespace
