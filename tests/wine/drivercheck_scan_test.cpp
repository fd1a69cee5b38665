// ScanSystemDrivers with the real raw copy engine in the prefix's drivers
// folder. Wine opens a volume but cannot read it (ReadFile fails with 66),
// so every raw copy fails, some after their destination was created: no
// driver can be verified, and none may be taken for an infected one.

#include "program/run/RemovalContext.hpp"
#include "tests/wine/CleanupWine.hpp"
#include "tests/wine/DriverCheckFiles.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace drivercheck_test;

namespace {

TEST(ScanWithTheRealRawCopy, EveryJudgedDriverIsNotVerifiedAndNoneInfected)
{
    const std::wstring driver = L"kqvrealcopy.sys";
    ASSERT_TRUE(WriteWholeFile(DriversFolder() + driver, Pattern(70000)));
    const std::vector<std::wstring> judged = JudgedDriversInSearchOrder();
    ASSERT_GT(judged.size(), 1u);

    RemovalContext context;
    DriverScanFindings findings{true};
    std::string output;
    {
        cleanupwine::CapturedOutput captured;
        findings = context.ScanSystemDrivers();
        output = captured.text();
    }
    DeleteFileW((DriversFolder() + driver).c_str());

    std::string expected;
    for (const std::wstring& name : judged) {
        std::string field(name.begin(), name.end()); // the drivers' names are ASCII
        if (field.size() < 10)
            field.append(10 - field.size(), ' ');
        expected += field + "\t : Not verified\n";
    }
    EXPECT_EQ(output, expected);
    EXPECT_FALSE(findings.infected);
    EXPECT_EQ(findings.judged, judged.size());
    EXPECT_EQ(findings.notVerified, judged.size());
    EXPECT_TRUE(context.infectedDriverName.empty());
    // The failed copies, empty or not, are gone from the run's folder.
    EXPECT_EQ(EntriesOf(context.workFolder, L"*"), std::vector<std::wstring>{});
}

} // namespace
