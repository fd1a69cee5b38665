// The whole repair of the data-stream variant in one run, in a real prefix:
// the run's own sequence with the real phases, the helper driver really
// deployed and removed, the real driver scan, the real cleanup; only the
// memory outcome, the raw copy and the restart request are substituted
// (WholeRun.hpp). One test driver's raw content differs from its ordinary
// content.
// Wine's stream query is not implemented, so the scan of the Windows
// directory finds nothing there; the name it finds on Windows is put in the
// context before the run, and the test checks that the real scan, finding
// nothing, leaves it as it was for the registry cleanup.

#include "program/deploy/core/Signature.hpp"
#include "program/quarantine/core/Inert.hpp"
#include "program/quarantine/core/Manifest.hpp"
#include "program/run/ProgramRun.hpp"
#include "program/run/Wide.hpp"
#include "tests/wine/CleanupWine.hpp"
#include "tests/wine/DriverCheckFiles.hpp"
#include "tests/wine/scan/RawCopySubstitute.hpp"
#include "tests/wine/scan/WholeRun.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const wchar_t* const DriverName = L"kqvads.sys";
const wchar_t* const ServiceName = L"KorvaleAdsService";
const wchar_t* const HiddenImage = L"kqvads.dll:svc.exe";
const std::wstring FolderName = L"$NtUninstallKB5150$";

using cleanupwine::KeyExists;
using cleanupwine::MakeService;

// The SHA-256 of the bytes as lower-case hexadecimal, from CryptoAPI.
std::string Sha256(const std::string& bytes)
{
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[32];
    DWORD length = sizeof(digest);
    std::string text;
    if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        if (CryptCreateHash(provider, 0x0000800c /* CALG_SHA_256 */, 0, 0, &hash)) {
            if (CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0)
                && CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0)) {
                static const char hex[] = "0123456789abcdef";
                for (DWORD i = 0; i < length; ++i)
                    text += {hex[digest[i] >> 4], hex[digest[i] & 15]};
            }
            CryptDestroyHash(hash);
        }
        CryptReleaseContext(provider, 0);
    }
    return text;
}

std::string Narrow(std::u16string_view text)
{
    return std::string(text.begin(), text.end()); // the test's paths are ASCII
}

// The image path a service key holds, or "<none>".
std::wstring ImagePathOf(const std::wstring& key)
{
    wchar_t value[512] = {};
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ImagePath", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ
                                                                       | RRF_NOEXPAND, nullptr, value, &size)
        != ERROR_SUCCESS)
        return L"<none>";
    return value;
}

class InfectedAdsRun : public ::testing::Test {
protected:
    std::wstring driverPath = drivercheck_test::DriversFolder() + DriverName;
    std::wstring folder = cleanupwine::WindowsDirectory() + L"\\" + FolderName;
    bool had001 = KeyExists(L"SYSTEM\\ControlSet001");

    void SetUp() override
    {
        ResetRawCopySubstitute();
        ASSERT_TRUE(drivercheck_test::WriteWholeFile(driverPath, drivercheck_test::Pattern(70000)));
        PlanRawCopy(DriverName, {SubstituteCopy::Bytes, drivercheck_test::Pattern(70000, 9)});

        ASSERT_TRUE(cleanupwine::MakeFolder(folder));
        ASSERT_TRUE(cleanupwine::MakeFile(folder + L"\\@", "MZ rootkit"));
        ASSERT_TRUE(cleanupwine::MakeFile(folder + L"\\x@", "kept"));
        ASSERT_TRUE(cleanupwine::MakeFolder(folder + L"\\sub", FILE_ATTRIBUTE_HIDDEN));
        ASSERT_TRUE(cleanupwine::MakeFile(folder + L"\\sub\\@", "MZ rootkit"));
        ASSERT_TRUE(SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));

        // The service as Windows keeps it (ControlSet001, the set
        // CurrentControlSet shows) and as Wine keeps it (a real
        // CurrentControlSet key).
        const std::wstring image = std::wstring(L"C:\\windows\\") + HiddenImage;
        ASSERT_TRUE(MakeService(std::wstring(L"SYSTEM\\ControlSet001\\Services\\") + ServiceName, image));
        ASSERT_TRUE(MakeService(std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + ServiceName, image));
    }

    void TearDown() override
    {
        DeleteFileW(driverPath.c_str());
        for (const std::wstring& name : drivercheck_test::ReplacementLeftovers(DriverName))
            DeleteFileW((drivercheck_test::DriversFolder() + name).c_str());
        cleanupwine::RemoveTree(folder);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(L"SYSTEM\\ControlSet001\\Services\\") + ServiceName).c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + ServiceName).c_str());
        if (!had001) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SYSTEM\\ControlSet001\\Services");
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SYSTEM\\ControlSet001");
        }
        ResetRawCopySubstitute();
    }
};

TEST_F(InfectedAdsRun, FolderPurgedDriverReplacedServiceKeysGoneTranscriptInOrder)
{
    const uint64_t infectedFile = drivercheck_test::FileIndex(driverPath);
    ASSERT_NE(infectedFile, 0u);

    RemovalContext context;
    context.hiddenImageName = HiddenImage;
    std::vector<std::string> calls;
    std::string hiddenNameAtCleanup;

    RunPhases phases = wholerun::SubstitutedPhases(context, wholerun::Reply(HIJACK_TYPE_ADS, DriverInitSignature));
    phases.cleanServiceRegistry = [&, clean = phases.cleanServiceRegistry] {
        hiddenNameAtCleanup = std::string(context.hiddenImageName.begin(), context.hiddenImageName.end());
        return clean();
    };
    wholerun::LogPhases(phases, calls);

    // The user answers y, then presses a key at the end.
    const wholerun::RunOutcome run = wholerun::RunWithInput(phases, "y\n\n");
    const int exitCode = run.exitCode;
    const std::string& transcript = run.transcript;

    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"journal", "extract", "install", "inspect (substituted)", "stop", "scan",
                                               "ask", "streams", "folder", "replace", "verify", "registry",
                                               "restart (substituted)", "delete driver file"}));

    const std::vector<std::string> pieces = {
        "Korvale Antivirus QuorVallin Removal - v1.0\n",
        "\nSystem Memory: ", "Infected", " By QuorVallin!\n\n",
        "kqvads.sys", "\t : ", "Infected !\n",
        "Are you sure you want to continue disinfection? [y/n] ",
        "\nQuorVallin malicious file: ", "Disinfected\n\n",
        "\nQuorVallin malicious file: ", "Disinfected\n\n",
        "\nQuorVallin Registry key: ", "Disinfected\n\n",
        "\nInfected Driver: ", "Disinfected\n\n",
        "\nRestarting Windows ...\r\n",
        "\nPress any key to exit ...\r\n",
    };
    const std::vector<std::size_t> at = wholerun::FindInOrder(transcript, pieces);
    for (std::size_t i = 0; i < pieces.size(); ++i)
        EXPECT_NE(at[i], std::string::npos) << "piece " << i << " (" << pieces[i] << ") not in order in:\n" << transcript;
    EXPECT_EQ(transcript.find("Warning"), std::string::npos) << "the replacement succeeded";
    EXPECT_EQ(cleanupwine::Count(transcript, "malicious file"), 2);
    EXPECT_EQ(cleanupwine::Count(transcript, "Registry key"), 1);

    // The stream scan found nothing under Wine and left the name in place.
    EXPECT_EQ(hiddenNameAtCleanup, "kqvads.dll:svc.exe");

    // Folder purged: the "@" files gone, everything else in place, folders cleared.
    EXPECT_FALSE(cleanupwine::Exists(folder + L"\\@"));
    EXPECT_FALSE(cleanupwine::Exists(folder + L"\\sub\\@"));
    EXPECT_TRUE(cleanupwine::Exists(folder + L"\\x@"));
    EXPECT_EQ(cleanupwine::Attributes(folder) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), 0u);
    EXPECT_EQ(cleanupwine::Attributes(folder + L"\\sub") & FILE_ATTRIBUTE_HIDDEN, 0u);

    // Driver replaced: another file under the name, with the ordinary
    // content; nothing left aside, staged or in a work folder.
    EXPECT_EQ(context.infectedDriverName, DriverName);
    EXPECT_EQ(drivercheck_test::ReadWholeFile(driverPath), drivercheck_test::Pattern(70000));
    EXPECT_NE(drivercheck_test::FileIndex(driverPath), infectedFile);
    EXPECT_EQ(drivercheck_test::ReplacementLeftovers(DriverName), std::vector<std::wstring>{});
    EXPECT_EQ(drivercheck_test::WorkFoldersLeft(), std::vector<std::wstring>{});

    // Registry keys gone from every control set that had them.
    EXPECT_FALSE(KeyExists(std::wstring(L"SYSTEM\\ControlSet001\\Services\\") + ServiceName));
    EXPECT_FALSE(KeyExists(std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + ServiceName));

    // The helper driver's service and file are gone too.
    EXPECT_FALSE(KeyExists(L"SYSTEM\\CurrentControlSet\\Services\\KorvaleNoQuorvallin"));

    // Nothing the repair removed is lost: the infected driver (as its raw
    // copy read it), each "@" file and the service's keys are in the run's
    // quarantine, stored inert, with digests of the original bytes.
    const std::u16string quarantine = context.QuarantineFolder();
    ASSERT_FALSE(quarantine.empty());
    EXPECT_NE(transcript.find("\nInfected Driver: Disinfected\n\nWhat the repair removed is kept in "
                              + Narrow(quarantine) + "\n\nRestarting Windows"),
              std::string::npos)
        << transcript;
    const std::wstring folderOfRun = ToWide(quarantine);
    const std::optional<Manifest> manifest =
        ParseManifest(drivercheck_test::ReadWholeFile(folderOfRun + L"\\Manifest.txt"));
    ASSERT_TRUE(manifest);
    for (const ManifestEntry& entry : manifest->entries)
        EXPECT_NE(entry.memoryVerdict.find(u"Infected By QuorVallin"), std::u16string::npos) << Narrow(entry.originalPath);
    const std::string ServiceKey001 = "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\KorvaleAdsService";
    const std::string ServiceKeyCurrent = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KorvaleAdsService";
    const struct {
        std::string original;
        QuarantineKind kind;
        std::string bytes; // the original's, for files
    } kept[] = {
        {Narrow(ToU16(folder)) + "\\@", QuarantineKind::File, "MZ rootkit"},
        {Narrow(ToU16(folder)) + "\\sub\\@", QuarantineKind::File, "MZ rootkit"},
        {Narrow(ToU16(driverPath)), QuarantineKind::File, drivercheck_test::Pattern(70000, 9)},
        {ServiceKey001, QuarantineKind::RegistryKey, ""},
        {ServiceKeyCurrent, QuarantineKind::RegistryKey, ""},
    };
    ASSERT_EQ(manifest->entries.size(), std::size(kept));
    for (const auto& k : kept) {
        SCOPED_TRACE(k.original);
        const auto entry = std::find_if(manifest->entries.begin(), manifest->entries.end(),
                                        [&](const ManifestEntry& e) { return Narrow(e.originalPath) == k.original; });
        ASSERT_NE(entry, manifest->entries.end());
        EXPECT_EQ(entry->kind, k.kind);
        std::string stored = drivercheck_test::ReadWholeFile(folderOfRun + L"\\" + ToWide(entry->storedName));
        ASSERT_NE(stored, "<missing>");
        if (k.kind == QuarantineKind::File) {
            EXPECT_NE(stored.substr(0, 2), "MZ") << "a stored executable is not runnable as it is";
            ToggleInert(reinterpret_cast<uint8_t*>(stored.data()), stored.size());
            EXPECT_TRUE(stored == k.bytes);
            EXPECT_EQ(entry->size, k.bytes.size());
            EXPECT_EQ(entry->sha256, Sha256(k.bytes));
        }
    }
    const auto driverEntry = std::find_if(manifest->entries.begin(), manifest->entries.end(),
                                          [&](const ManifestEntry& e) { return e.originalPath == ToU16(driverPath); });
    ASSERT_NE(driverEntry, manifest->entries.end());
    EXPECT_NE(driverEntry->reason.find(u"read from the disk's clusters"), std::u16string::npos);

    // The restore brings back the "@" files and the keys as they were; the
    // driver, which now differs, only when told to overwrite it. It runs
    // after the repair's run, which held its quarantine open until it ended.
    context.quarantine = RunQuarantine{};
    auto restore = [&](std::vector<std::u16string> arguments) {
        std::ostringstream out;
        std::streambuf* const saved = std::cout.rdbuf(out.rdbuf());
        RemovalContext restoring;
        const int code = RunProgram(arguments, ProgramPhases(restoring));
        std::cout.rdbuf(saved);
        return std::make_pair(code, out.str());
    };
    const auto [code, said] = restore({u"/restore:" + quarantine});
    EXPECT_EQ(code, 4) << said;
    EXPECT_NE(said.find("Not restored: " + Narrow(ToU16(driverPath)) + " (it now differs; /overwrite replaces it)"),
              std::string::npos)
        << said;
    EXPECT_TRUE(drivercheck_test::ReadWholeFile(driverPath) == drivercheck_test::Pattern(70000)) << "not overwritten";
    EXPECT_EQ(drivercheck_test::ReadWholeFile(folder + L"\\@"), "MZ rootkit");
    EXPECT_EQ(drivercheck_test::ReadWholeFile(folder + L"\\sub\\@"), "MZ rootkit");
    const std::wstring image = std::wstring(L"C:\\windows\\") + HiddenImage;
    EXPECT_EQ(ImagePathOf(std::wstring(L"SYSTEM\\ControlSet001\\Services\\") + ServiceName), image);
    EXPECT_EQ(ImagePathOf(std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + ServiceName), image);

    const auto [overwritten, saidAgain] = restore({u"/restore:" + quarantine, u"/overwrite"});
    EXPECT_EQ(overwritten, 0) << saidAgain;
    EXPECT_TRUE(drivercheck_test::ReadWholeFile(driverPath) == drivercheck_test::Pattern(70000, 9));
    cleanupwine::RemoveTree(folderOfRun);
}

} // namespace
