// Driver deployment under Wine: the real service manager loads our own
// helper driver, and the device answers the control protocol.

#include "driver/HijackProtocol.h"
#include "program/deploy/DriverImage.hpp"
#include "program/common/Handles.hpp"
#include "program/trust/Trust.hpp"
#include "program/run/RemovalContext.hpp"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const wchar_t* const ServiceName = L"KorvaleNoQuorvallin";

std::vector<char> ReadAll(const std::wstring& path)
{
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    std::vector<char> bytes;
    if (!file)
        return bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    return bytes;
}

void WriteAll(const std::wstring& path, const std::vector<char>& bytes)
{
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file.valid());
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

// A file of the driver's name in the temporary folder: where the driver
// image stood before runs had a folder of their own, and where any account
// can put a file first.
std::wstring TempDriverPath()
{
    wchar_t folder[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, folder);
    return std::wstring(folder) + L"KorvaleNoQuorVallin.sys";
}

std::vector<char> BuiltDriver()
{
    const char* image = std::getenv("KORVALE_DRIVER_IMAGE");
    EXPECT_NE(image, nullptr) << "KORVALE_DRIVER_IMAGE names the built driver";
    if (image == nullptr)
        return {};
    std::ifstream in(image, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

bool ServiceExists()
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(OpenServiceW(manager.get(), ServiceName, SERVICE_QUERY_STATUS));
    return service.valid();
}

// The image path the service of our name is registered with.
std::wstring RegisteredImagePath()
{
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(OpenServiceW(manager.get(), ServiceName, SERVICE_QUERY_CONFIG));
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<char> buffer(needed + sizeof(QUERY_SERVICE_CONFIGW));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed) ||
        config->lpBinaryPathName == nullptr)
        return {};
    return config->lpBinaryPathName;
}

struct Exchange {
    BOOL ok = FALSE;
    DWORD error = 0;
    DWORD returned = 0xFFFFFFFF;
    std::vector<uint8_t> out;
};

// Sends one control request to the helper's device.
Exchange Ask(DWORD code, const void* in, DWORD inLength, DWORD outLength)
{
    Exchange x;
    UniqueFile device(CreateFileW(HELPER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device) {
        x.error = GetLastError();
        return x;
    }
    x.out.assign(outLength, 0xAB);
    x.ok = DeviceIoControl(device.get(), code, const_cast<void*>(in), inLength, x.out.data(), outLength,
                           &x.returned, nullptr);
    x.error = x.ok ? 0 : GetLastError();
    return x;
}

bool DeviceOpens()
{
    UniqueFile device(CreateFileW(HELPER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    return device.valid();
}

class Deployment : public testing::Test {
protected:
    RemovalContext context;
    // The driver image in the run's work folder.
    std::wstring DriverPath() const { return context.workFolder + L"KorvaleNoQuorVallin.sys"; }
    void TearDown() override
    {
        // Leave nothing behind for the next test, whatever happened.
        UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueServiceHandle service(OpenServiceW(manager.get(), ServiceName, SERVICE_ALL_ACCESS));
        if (service) {
            SERVICE_STATUS status;
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            DeleteService(service.get());
        }
        context.driverImage.reset();
        DeleteFileW(TempDriverPath().c_str());
        DeleteFileW((TempDriverPath() + L".moved").c_str());
    }
};

TEST_F(Deployment, ExtractDriverWritesTheBuiltImage)
{
    const std::vector<char> image = BuiltDriver();
    ASSERT_GT(image.size(), 1024u);
    ASSERT_TRUE(context.ExtractDriver());
    EXPECT_EQ(ReadAll(DriverPath()), image);
}

// The SIDs of a DACL's entries, in order, and whether the DACL is
// protected from the parent's inheritable entries.
std::vector<std::wstring> DaclSids(const std::wstring& path, bool* isProtected)
{
    std::vector<std::wstring> sids;
    DWORD needed = 0;
    GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> descriptor(needed);
    if (needed == 0
        || !GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed))
        return sids;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor.data(), &control, &revision);
    *isProtected = (control & SE_DACL_PROTECTED) != 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.data(), &present, &acl, &defaulted) || acl == nullptr)
        return sids;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        wchar_t* text = nullptr;
        if (GetAce(acl, i, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE
            && ConvertSidToStringSidW(&ace->SidStart, &text)) {
            sids.push_back(text);
            LocalFree(text);
        } else {
            sids.push_back(L"(not an allowing entry)");
        }
    }
    return sids;
}

// The image goes into a folder made new for the run, which only SYSTEM and
// the administrators can open; a file planted in the temporary folder
// under the image's name (here held open without sharing) changes nothing.
TEST_F(Deployment, TheImageGoesIntoAPrivateFolderOfTheRunsOwn)
{
    const std::vector<char> image = BuiltDriver();
    WriteAll(TempDriverPath(), std::vector<char>(10, 'P'));
    UniqueFile planted(CreateFileW(TempDriverPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(planted.valid());

    ASSERT_TRUE(context.ExtractDriver());
    EXPECT_EQ(ReadAll(DriverPath()), image);
    wchar_t temporary[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temporary);
    EXPECT_EQ(context.workFolder.rfind(std::wstring(temporary) + L"KorvaleNoQuorVallin-", 0), 0u);
    // Wine keeps a file's list as Unix mode bits and reads back SYSTEM,
    // the owner and Everyone for the bits of others: a folder made with the
    // run's list has no bits for others.
    bool isProtected = false;
    const std::wstring folder = context.workFolder.substr(0, context.workFolder.size() - 1);
    const std::vector<std::wstring> sids = DaclSids(folder, &isProtected);
    EXPECT_EQ(std::count(sids.begin(), sids.end(), L"S-1-1-0"), 0) << "others may open the folder";
    EXPECT_EQ(std::count(sids.begin(), sids.end(), L"S-1-5-32-545"), 0) << "Users may open the folder";
    planted.reset();
    EXPECT_EQ(ReadAll(TempDriverPath()), std::vector<char>(10, 'P'));
    // While the run lives, its folder cannot be renamed away and replaced.
    EXPECT_FALSE(MoveFileW(folder.c_str(), (folder + L"-moved").c_str()));
    EXPECT_EQ(GetFileAttributesW((folder + L"-moved").c_str()), INVALID_FILE_ATTRIBUTES);

    // A second run gets a folder of its own, never the first one's.
    RemovalContext second;
    ASSERT_TRUE(second.ExtractDriver());
    EXPECT_NE(second.workFolder, context.workFolder);
    second.driverImage.reset();
    EXPECT_TRUE(second.DeleteDriverFile());

    // The folder goes with the image, and with whatever else was left in it.
    context.driverImage.reset();
    WriteAll(context.workFolder + L"left.sys", {'x'});
    const std::wstring made = context.workFolder;
    EXPECT_TRUE(context.DeleteDriverFile());
    EXPECT_EQ(GetFileAttributesW(made.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(context.workFolder.empty());
}

// The descriptor the work folder (and the quarantine, and the program's key)
// is made with: owned by the Administrators, so that SYSTEM and every
// administrator can use what another one made; SYSTEM and the
// administrators, full control, inherited by what is made inside, and
// nothing from the parent.
TEST(PrivateSecurity, GrantsSystemAndTheAdministratorsAloneAndIsProtected)
{
    PrivateSecurity security(PrivateObject::Files);
    ASSERT_TRUE(security.valid());
    SECURITY_ATTRIBUTES* attributes = security.attributes();
    ASSERT_NE(attributes, nullptr);
    EXPECT_EQ(attributes->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_FALSE(attributes->bInheritHandle);
    PSECURITY_DESCRIPTOR descriptor = attributes->lpSecurityDescriptor;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0);
    EXPECT_NE(control & SE_DACL_PRESENT, 0);
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted));
    ASSERT_NE(acl, nullptr) << "a null DACL grants everyone everything";
    ASSERT_EQ(acl->AceCount, 2u);
    std::vector<std::wstring> sids;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(acl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(ace->Mask, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
        wchar_t* text = nullptr;
        ASSERT_TRUE(ConvertSidToStringSidW(&ace->SidStart, &text));
        sids.push_back(text);
        LocalFree(text);
    }
    std::sort(sids.begin(), sids.end());
    EXPECT_EQ(sids, (std::vector<std::wstring>{L"S-1-5-18", L"S-1-5-32-544"}));

    for (const PrivateObject kind : {PrivateObject::Files, PrivateObject::Keys}) {
        const UniqueLocal made = PrivateDescriptor(kind);
        ASSERT_TRUE(made.valid());
        PSID owner = nullptr;
        BOOL ownerDefaulted = TRUE;
        ASSERT_TRUE(GetSecurityDescriptorOwner(made.get(), &owner, &ownerDefaulted));
        ASSERT_NE(owner, nullptr) << "without an owner the maker's default applies: on XP the administrator's account";
        EXPECT_TRUE(IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
        EXPECT_FALSE(ownerDefaulted);
    }
}

// Without a temporary folder (GetTempPathW fails on a TMP longer than
// MAX_PATH) no work folder can be made: the run ends as when the image
// cannot be written, with one line that says why.
TEST_F(Deployment, AWorkFolderThatCannotBeMadeEndsTheExtractionWithALine)
{
    wchar_t tmp[MAX_PATH] = {}, temp[MAX_PATH] = {};
    GetEnvironmentVariableW(L"TMP", tmp, MAX_PATH);
    GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH);
    const std::wstring tooLong = L"C:\\" + std::wstring(300, L'k');
    SetEnvironmentVariableW(L"TMP", tooLong.c_str());
    SetEnvironmentVariableW(L"TEMP", tooLong.c_str());
    std::ostringstream captured;
    std::streambuf* original = std::cout.rdbuf(captured.rdbuf());
    const bool extracted = context.ExtractDriver();
    std::cout.rdbuf(original);
    SetEnvironmentVariableW(L"TMP", tmp);
    SetEnvironmentVariableW(L"TEMP", temp);

    const std::string said = captured.str();
    EXPECT_FALSE(extracted);
    EXPECT_TRUE(context.workFolder.empty());
    EXPECT_EQ(said.rfind("The program's work folder cannot be made in the temporary folder ", 0), 0u) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1);
}

// From the check after writing until the service has been started, the
// file is held: no other handle can write, replace, rename or delete it,
// while readers (the loader among them) can still open it.
TEST_F(Deployment, TheWrittenImageCannotBeReplacedUntilTheServiceIsStarted)
{
    ASSERT_TRUE(context.ExtractDriver());
    const std::wstring path = DriverPath();
    const std::wstring elsewhere = path + L".moved";

    UniqueFile writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer.valid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    UniqueFile replacer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, CREATE_ALWAYS, 0, nullptr));
    EXPECT_FALSE(replacer.valid());
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_FALSE(MoveFileW(path.c_str(), elsewhere.c_str()));
    EXPECT_EQ(GetFileAttributesW(elsewhere.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(ReadAll(path), BuiltDriver()) << "readers still open it";

    const ServiceHandles handles = context.InstallAndStartDriver();
    ASSERT_NE(handles.service, nullptr);
    EXPECT_TRUE(DeviceOpens()) << "the held image was loaded";
    EXPECT_FALSE(context.driverImage.valid()) << "released once the service was started";
    EXPECT_TRUE(context.StopAndDeleteDriver(static_cast<SC_HANDLE>(handles.manager),
                                            static_cast<SC_HANDLE>(handles.service)));
    EXPECT_TRUE(context.DeleteDriverFile());
}

// The check before the hold: a file that is not exactly the image (for
// instance one replaced between the write and the check) is not held.
TEST_F(Deployment, OnlyAFileHoldingExactlyTheImageIsHeld)
{
    const std::vector<char> image = BuiltDriver();
    ASSERT_GT(image.size(), 1024u);
    std::vector<char> longer = image;
    longer.push_back(0);
    std::vector<char> changed = image;
    changed[image.size() / 2] ^= 1;
    const std::vector<char> shorter(image.begin(), image.end() - 1);
    struct Case {
        const char* what;
        const std::vector<char>* content;
        bool held;
    } cases[] = {
        {"the image", &image, true},
        {"the image and one byte more", &longer, false},
        {"one bit changed", &changed, false},
        {"one byte short", &shorter, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteAll(TempDriverPath(), *c.content);
        const UniqueFile held = HoldDriverImage(TempDriverPath().c_str(), image.data(),
                                                static_cast<DWORD>(image.size()));
        EXPECT_EQ(held.valid(), c.held);
    }
    EXPECT_FALSE(HoldDriverImage((TempDriverPath() + L".absent").c_str(), image.data(),
                                 static_cast<DWORD>(image.size()))
                     .valid());
}

TEST_F(Deployment, WithoutAHeldImageTheServiceIsNotStarted)
{
    ASSERT_TRUE(context.ExtractDriver());
    context.driverImage.reset(); // as when the write or the check failed
    const ServiceHandles handles = context.InstallAndStartDriver();
    ASSERT_NE(handles.service, nullptr);
    EXPECT_FALSE(DeviceOpens());
    EXPECT_TRUE(context.StopAndDeleteDriver(static_cast<SC_HANDLE>(handles.manager),
                                            static_cast<SC_HANDLE>(handles.service)));
    EXPECT_FALSE(ServiceExists());
}

TEST_F(Deployment, DeleteDriverFileWhenGoneReturnsFalse)
{
    ASSERT_TRUE(context.ExtractDriver());
    const std::wstring path = DriverPath();
    EXPECT_TRUE(context.DeleteDriverFile());
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(context.DeleteDriverFile());
}

TEST_F(Deployment, DriverAnswersTheControlProtocol)
{
    ASSERT_TRUE(context.ExtractDriver());
    const ServiceHandles handles = context.InstallAndStartDriver();
    ASSERT_NE(handles.manager, nullptr);
    ASSERT_NE(handles.service, nullptr);

    // "Start Hijack": 60 bytes, and under Wine the disk driver is absent,
    // so the answer is type 3 with every other byte zero.
    const char request[] = "Start Hijack";
    static_assert(sizeof(request) == HIJACK_REQUEST_SIZE);
    Exchange x = Ask(IOCTL_START_HIJACK, request, sizeof(request), HIJACK_REPLY_SIZE);
    ASSERT_TRUE(x.ok) << x.error;
    EXPECT_EQ(x.returned, HIJACK_REPLY_SIZE);
    std::vector<uint8_t> expected(HIJACK_REPLY_SIZE, 0);
    expected[56] = HIJACK_TYPE_NOT_FOUND;
    EXPECT_EQ(x.out, expected);

    // Another text comes back as the 60 bytes sent.
    uint8_t other[HIJACK_REPLY_SIZE];
    for (size_t i = 0; i < sizeof(other); ++i)
        other[i] = static_cast<uint8_t>(i + 1);
    std::memcpy(other, "start hijack", 13);
    x = Ask(IOCTL_START_HIJACK, other, sizeof(other), HIJACK_REPLY_SIZE);
    ASSERT_TRUE(x.ok) << x.error;
    EXPECT_EQ(x.returned, HIJACK_REPLY_SIZE);
    EXPECT_EQ(std::vector<uint8_t>(other, other + sizeof(other)), x.out);

    // A non-zero control code: success with no data.
    x = Ask(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), request, sizeof(request),
            HIJACK_REPLY_SIZE);
    EXPECT_TRUE(x.ok) << x.error;
    EXPECT_EQ(x.returned, 0u);

    // Short buffers are refused without a fault, and the device still answers after.
    x = Ask(IOCTL_START_HIJACK, request, sizeof(request), HIJACK_REPLY_SIZE - 1);
    EXPECT_FALSE(x.ok);
    EXPECT_EQ(x.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    x = Ask(IOCTL_START_HIJACK, request, sizeof(request) - 1, HIJACK_REPLY_SIZE);
    EXPECT_FALSE(x.ok);
    x = Ask(IOCTL_START_HIJACK, request, sizeof(request), HIJACK_REPLY_SIZE);
    EXPECT_TRUE(x.ok);
    EXPECT_EQ(x.returned, HIJACK_REPLY_SIZE);

    EXPECT_TRUE(context.StopAndDeleteDriver(static_cast<SC_HANDLE>(handles.manager),
                                            static_cast<SC_HANDLE>(handles.service)));
    EXPECT_FALSE(DeviceOpens());
    EXPECT_FALSE(ServiceExists());
}

// A service left by an earlier run keeps the image path it was created
// with (another user's temporary folder, say); it is pointed at the image
// just written before it is started, so the device answers from our image.
TEST_F(Deployment, ALeftoverServiceIsPointedAtTheWrittenImageStartedAndDeleted)
{
    ASSERT_TRUE(context.ExtractDriver());
    {
        UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
        UniqueServiceHandle leftover(CreateServiceW(manager.get(), ServiceName, L"left by an earlier run",
                                                    SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                                    SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                                    L"C:\\elsewhere\\KorvaleNoQuorVallin.sys", nullptr, nullptr,
                                                    nullptr, nullptr, nullptr));
        ASSERT_TRUE(leftover.valid()) << GetLastError();
    }
    const ServiceHandles handles = context.InstallAndStartDriver();
    ASSERT_NE(handles.service, nullptr);
    EXPECT_TRUE(DeviceOpens());
    EXPECT_EQ(RegisteredImagePath(), DriverPath());
    EXPECT_TRUE(context.StopAndDeleteDriver(static_cast<SC_HANDLE>(handles.manager),
                                            static_cast<SC_HANDLE>(handles.service)));
    EXPECT_FALSE(DeviceOpens());
    EXPECT_FALSE(ServiceExists());
}

TEST_F(Deployment, StopWithANullHandleMakesNoServiceCall)
{
    ASSERT_TRUE(context.ExtractDriver());
    const ServiceHandles handles = context.InstallAndStartDriver();
    ASSERT_NE(handles.service, nullptr);
    EXPECT_FALSE(context.StopAndDeleteDriver(nullptr, static_cast<SC_HANDLE>(handles.service)));
    EXPECT_TRUE(DeviceOpens()) << "the driver was not stopped";
    EXPECT_TRUE(ServiceExists()) << "the service was not deleted";

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager, nullptr);
    EXPECT_FALSE(context.StopAndDeleteDriver(manager, nullptr));
    EXPECT_TRUE(DeviceOpens());
    EXPECT_TRUE(ServiceExists());
    // Both calls took ownership of the handle they were given; the driver is
    // stopped and deleted by TearDown.
}

} // namespace
