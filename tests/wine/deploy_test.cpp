// Driver deployment under Wine: the real service manager loads our own
// helper driver, and the device answers the control protocol.

#include "driver/HijackProtocol.h"
#include "program/deploy/DriverImage.hpp"
#include "program/run/Handles.hpp"
#include "program/run/RemovalContext.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
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
    EXPECT_EQ(ReadAll(TempDriverPath()), image);
}

TEST_F(Deployment, ALeftoverFileEndsAsExactlyTheImage)
{
    const std::vector<char> image = BuiltDriver();
    // A longer file would keep its tail, and the image's checksum would
    // no longer match.
    WriteAll(TempDriverPath(), std::vector<char>(image.size() + 100, 'L'));
    ASSERT_TRUE(context.ExtractDriver());
    context.driverImage.reset();
    EXPECT_EQ(ReadAll(TempDriverPath()), image);

    WriteAll(TempDriverPath(), std::vector<char>(10, 'S'));
    ASSERT_TRUE(context.ExtractDriver());
    context.driverImage.reset();
    EXPECT_EQ(ReadAll(TempDriverPath()), image);
}

// From the check after writing until the service has been started, the
// file is held: no other handle can write, replace, rename or delete it,
// while readers (the loader among them) can still open it.
TEST_F(Deployment, TheWrittenImageCannotBeReplacedUntilTheServiceIsStarted)
{
    ASSERT_TRUE(context.ExtractDriver());
    const std::wstring path = TempDriverPath();
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
    EXPECT_TRUE(context.DeleteDriverFile());
    EXPECT_EQ(GetFileAttributesW(TempDriverPath().c_str()), INVALID_FILE_ATTRIBUTES);
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
    EXPECT_EQ(RegisteredImagePath(), TempDriverPath());
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
