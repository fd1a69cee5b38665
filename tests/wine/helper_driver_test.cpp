// The helper driver really loaded into Wine's kernel: the reply it gives
// where there is no disk class driver, and its probe for the rootkit's
// device against test-only drivers that publish a device of that name.

#include "driver/HijackProtocol.h"
#include "program/common/Handles.hpp"
#include "program/run/RemovalContext.hpp"

#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

namespace {

std::wstring BuildFolder()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

std::wstring ShippedDriverImage()
{
    if (const wchar_t* image = _wgetenv(L"KORVALE_DRIVER_IMAGE"); image != nullptr && *image != 0)
        return image;
    return BuildFolder() + L"KorvaleNoQuorVallin.sys";
}

// A kernel driver service, registered and started for the length of a test,
// then stopped (which unloads the driver) and deleted. Each group of drivers
// runs in a driver host process of its own.
class KernelService {
public:
    KernelService(const wchar_t* name, const std::wstring& image, const wchar_t* group)
    {
        manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!manager_)
            return;
        service_.reset(CreateServiceW(manager_.get(), name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                      SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, image.c_str(), group, nullptr,
                                      nullptr, nullptr, nullptr));
        if (service_)
            started_ = StartServiceW(service_.get(), 0, nullptr) != FALSE;
        else
            error_ = GetLastError();
        if (service_ && !started_)
            error_ = GetLastError();
    }
    ~KernelService()
    {
        if (!service_)
            return;
        SERVICE_STATUS status{};
        if (ControlService(service_.get(), SERVICE_CONTROL_STOP, &status)) {
            for (int i = 0; i < 100 && QueryServiceStatus(service_.get(), &status) &&
                            status.dwCurrentState != SERVICE_STOPPED;
                 ++i)
                Sleep(50);
        }
        DeleteService(service_.get());
    }
    bool started() const { return started_; }
    DWORD error() const { return error_; }

private:
    UniqueServiceHandle manager_;
    UniqueServiceHandle service_;
    bool started_ = false;
    DWORD error_ = 0;
};

struct Exchange {
    bool sent = false;
    DWORD returned = 0;
    std::array<uint8_t, HIJACK_REPLY_SIZE> reply{};
};

Exchange SendStartHijack()
{
    Exchange exchange;
    UniqueFile device(CreateFileW(HELPER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device)
        return exchange;
    char request[HIJACK_REQUEST_SIZE] = HIJACK_REQUEST_TEXT;
    exchange.sent = DeviceIoControl(device.get(), IOCTL_START_HIJACK, request, sizeof(request),
                                    exchange.reply.data(), HIJACK_REPLY_SIZE, &exchange.returned, nullptr) != FALSE;
    return exchange;
}

DWORD WINAPI SendStartHijackOnThread(void* parameter)
{
    const std::unique_ptr<std::shared_ptr<Exchange>> exchange(static_cast<std::shared_ptr<Exchange>*>(parameter));
    **exchange = SendStartHijack();
    return 0;
}

// Sends the request on a thread of its own and waits for the answer up to
// `milliseconds`; null when none came by then. The thread holds a share of
// the exchange, so an answer that comes after the caller gave up is still
// written into live storage.
std::shared_ptr<const Exchange> SendStartHijackWithin(DWORD milliseconds)
{
    const auto exchange = std::make_shared<Exchange>();
    auto* share = new std::shared_ptr<Exchange>(exchange);
    const HANDLE sender = CreateThread(nullptr, 0, SendStartHijackOnThread, share, 0, nullptr);
    if (sender == nullptr) {
        delete share;
        return nullptr;
    }
    const DWORD waited = WaitForSingleObject(sender, milliseconds);
    CloseHandle(sender);
    return waited == WAIT_OBJECT_0 ? exchange : nullptr;
}

uint32_t ReplyType(const Exchange& exchange)
{
    const auto& r = exchange.reply;
    return r[56] | r[57] << 8 | r[58] << 16 | static_cast<uint32_t>(r[59]) << 24;
}

bool CodeBytesAreZero(const Exchange& exchange)
{
    for (size_t i = 0; i < HIJACK_SIG_SIZE; ++i) {
        if (exchange.reply[i] != 0)
            return false;
    }
    return true;
}

TEST(HelperDriver, WithoutADiskClassDriverAnswersTypeThreeAndTheRunReportsAScanError)
{
    KernelService helper(L"KorvaleInspectionTest", ShippedDriverImage(), nullptr);
    ASSERT_TRUE(helper.started()) << "error " << helper.error();

    const Exchange exchange = SendStartHijack();
    ASSERT_TRUE(exchange.sent);
    EXPECT_EQ(exchange.returned, HIJACK_REPLY_SIZE);
    EXPECT_TRUE(CodeBytesAreZero(exchange));
    EXPECT_EQ(exchange.reply[53] | exchange.reply[54] | exchange.reply[55], 0) << "reserved bytes stay zero";
    EXPECT_EQ(ReplyType(exchange), HIJACK_TYPE_NOT_FOUND);

    std::ostringstream captured;
    std::streambuf* previous = std::cout.rdbuf(captured.rdbuf());
    const int32_t outcome = RemovalContext{}.InspectSystemMemory();
    std::cout.rdbuf(previous);
    EXPECT_EQ(outcome, ScanError);
    EXPECT_EQ(captured.str(), "\nError while scanning for QuorVallin\n\n");
}

// The walk looks up "\Driver\Disk" by name with the kernel's driver object
// type. Wine's lookup ignores the type, so a test driver linked with the
// inspection compares, at load time, the type the inspection passes with
// the one the kernel's export holds, and refuses to start when they differ.
TEST(HelperDriver, TheWalkLooksUpTheDiskDriverWithTheKernelsDriverObjectType)
{
    KernelService check(L"KorvaleObjectTypeTest", BuildFolder() + L"TestObjectTypeArgument.sys", nullptr);
    EXPECT_TRUE(check.started()) << "error " << check.error()
                                 << ": the inspection passes something other than the exported type";
}

// Only a caller with the debug privilege enabled is served. Wine's privilege
// check always says yes, so this runs a build of the helper whose check
// says no to every user-mode caller. Windows fails the open itself; Wine 8
// does not hand the status of IRP_MJ_CREATE back to the opener (the open
// succeeds), so there the refusal shows at the control request, which the
// driver decides again for its caller.
TEST(HelperDriver, ACallerWithoutTheDebugPrivilegeIsRefused)
{
    KernelService helper(L"KorvaleRefusalTest", BuildFolder() + L"KorvaleRefusesCallers.sys", nullptr);
    ASSERT_TRUE(helper.started()) << "error " << helper.error();
    UniqueFile device(CreateFileW(HELPER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        return;
    }
    char request[HIJACK_REQUEST_SIZE] = HIJACK_REQUEST_TEXT;
    std::array<uint8_t, HIJACK_REPLY_SIZE> reply;
    reply.fill(0xAB);
    DWORD returned = 0xFFFFFFFF;
    const BOOL sent = DeviceIoControl(device.get(), IOCTL_START_HIJACK, request, sizeof(request), reply.data(),
                                      HIJACK_REPLY_SIZE, &returned, nullptr);
    EXPECT_FALSE(sent);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(reply[56], 0xAB) << "nothing was answered";
}

const NTSTATUS TellTaleStatus = static_cast<NTSTATUS>(0xC0000271);

// Opens the rootkit's device name with the probe's own parameters and
// returns the status of the open.
NTSTATUS OpenAsTheProbeDoes()
{
    using NtCreateFileRoutine = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                                 PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
    const auto create = reinterpret_cast<NtCreateFileRoutine>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateFile")));
    if (create == nullptr)
        return static_cast<NTSTATUS>(0xC0000002);
    wchar_t text[] = L"\\DosDevices\\ACPI#PNP0303#2&da1a3ff&0";
    UNICODE_STRING name{static_cast<USHORT>(wcslen(text) * sizeof(wchar_t)),
                        static_cast<USHORT>(sizeof(text)), text};
    OBJECT_ATTRIBUTES attributes{sizeof(OBJECT_ATTRIBUTES), nullptr, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
    IO_STATUS_BLOCK ioStatus{};
    HANDLE handle = nullptr;
    const NTSTATUS status = create(&handle, GENERIC_READ, &attributes, &ioStatus, nullptr, FILE_ATTRIBUTE_NORMAL,
                                   FILE_SHARE_READ, 1 /* FILE_OPEN */, 0x10000, nullptr, 0);
    if (status >= 0)
        CloseHandle(handle);
    return status;
}

// The probe answers yes exactly when opening the rootkit's device name
// fails with the tell-tale status. Wine 8 does not wait for a device's
// answer to IRP_MJ_CREATE (the open succeeds whatever status the driver
// completes it with), so there the tell-tale status never reaches any
// caller and the probe must agree with what a user-mode open observes.
TEST(HelperDriver, ProbeAgreesWithWhatOpeningTheRootkitsDeviceNameReports)
{
    const std::wstring folder = BuildFolder();
    struct Case {
        const char* what;
        const wchar_t* deviceDriver; // publishes the rootkit's device name; none when null
    } cases[] = {
        {"no device of that name", nullptr},
        {"a device that opens normally", L"TestOrdinaryDevice.sys"},
        {"a device that answers as the rootkit does", L"TestRootkitDevice.sys"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<KernelService> device;
        if (c.deviceDriver != nullptr) {
            device = std::make_unique<KernelService>(L"KorvaleTestLookalike", folder + c.deviceDriver,
                                                     L"KorvaleTestLookalikes");
            ASSERT_TRUE(device->started()) << "error " << device->error();
        }
        const NTSTATUS openStatus = OpenAsTheProbeDoes();
        const bool tellTale = openStatus == TellTaleStatus;
        if (c.deviceDriver == nullptr)
            EXPECT_LT(openStatus, 0) << "the name is absent";
        if (c.deviceDriver != nullptr && !tellTale)
            EXPECT_EQ(openStatus, 0) << "the device opens";

        KernelService helper(L"KorvaleProbeReportTest", folder + L"KorvaleProbeReport.sys", nullptr);
        ASSERT_TRUE(helper.started()) << "error " << helper.error();
        const Exchange exchange = SendStartHijack();
        ASSERT_TRUE(exchange.sent);
        EXPECT_EQ(exchange.returned, HIJACK_REPLY_SIZE);
        EXPECT_EQ(exchange.reply[53], tellTale ? 0x81 : 0x80) << std::hex << "open status " << openStatus;
        // With no disk class driver the walk still finds nothing, whatever
        // the probe said.
        EXPECT_EQ(ReplyType(exchange), HIJACK_TYPE_NOT_FOUND);
        EXPECT_TRUE(CodeBytesAreZero(exchange));
    }
}

TEST(HelperDriver, AFaultInsideTheProbeIsCaughtAndTheRequestStillAnswered)
{
    // A test build whose probe writes through a null pointer after its open.
    KernelService helper(L"KorvaleProbeFaultTest", BuildFolder() + L"KorvaleProbeFault.sys", nullptr);
    ASSERT_TRUE(helper.started()) << "error " << helper.error();
    for (int request = 0; request < 2; ++request) {
        SCOPED_TRACE(request);
        const Exchange exchange = SendStartHijack();
        ASSERT_TRUE(exchange.sent) << "the driver host survived the fault";
        EXPECT_EQ(exchange.returned, HIJACK_REPLY_SIZE);
        EXPECT_EQ(exchange.reply[53], 0x80) << "the probe answered no";
        EXPECT_EQ(ReplyType(exchange), HIJACK_TYPE_NOT_FOUND);
    }
}

// With a stand-in for the disk class driver loaded beside it (Wine looks
// up "\Driver\Disk" among the drivers of the same driver host, which
// drivers of one load order group share), the
// shipped helper walks to the device below the first disk and reports the
// create dispatch routine of its driver, and the run judges those bytes.
TEST(HelperDriver, WalksAStandInDiskClassDriverAndTheRunJudgesTheCode)
{
    const std::wstring folder = BuildFolder();
    struct Case {
        const wchar_t* standIn;
        uint32_t type;
        int32_t outcome;
        const char* written;
    } cases[] = {
        {L"TestDiskHooked.sys", HIJACK_TYPE_PLAIN, Infected,
         "\nSystem Memory: Infected By QuorVallin!\n\n"},
        {L"TestDiskUnhooked.sys", HIJACK_TYPE_PLAIN, Clean, "\nSystem Memory: Clean\n\n"},
        {L"TestDiskBadExtension.sys", HIJACK_TYPE_NOT_FOUND, ScanError,
         "\nError while scanning for QuorVallin\n\n"},
        {L"TestDiskUnnamedAhead.sys", HIJACK_TYPE_NOT_FOUND, ScanError,
         "\nError while scanning for QuorVallin\n\n"},
        // A device list that never ends: the walk gives up, the request is answered.
        {L"TestDiskRingAhead.sys", HIJACK_TYPE_NOT_FOUND, ScanError,
         "\nError while scanning for QuorVallin\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.standIn, c.standIn + wcslen(c.standIn)));
        // One load order group: one driver host for both.
        KernelService disk(L"Disk", folder + c.standIn, L"KorvaleTestDiskHost");
        ASSERT_TRUE(disk.started()) << "error " << disk.error();
        KernelService helper(L"KorvaleInspectionTest", ShippedDriverImage(), L"KorvaleTestDiskHost");
        ASSERT_TRUE(helper.started()) << "error " << helper.error();

        // A walk that never ends holds the request for ever: the exchange
        // runs on a thread of its own so that this fails instead of hanging.
        const std::shared_ptr<const Exchange> answered = SendStartHijackWithin(30000);
        ASSERT_NE(answered, nullptr) << "the request was not answered within 30 s";
        const Exchange& exchange = *answered;
        ASSERT_TRUE(exchange.sent);
        EXPECT_EQ(exchange.returned, HIJACK_REPLY_SIZE);
        EXPECT_EQ(ReplyType(exchange), c.type);
        if (c.type == HIJACK_TYPE_PLAIN) {
            EXPECT_EQ(exchange.reply[0], 0x51);
            EXPECT_EQ(exchange.reply[12], 0x9a) << "the bytes are the stand-in's own";
            EXPECT_EQ(exchange.reply[52], c.outcome == Infected ? 0x1e : 0x1f);
        } else {
            EXPECT_TRUE(CodeBytesAreZero(exchange));
        }

        std::ostringstream captured;
        std::streambuf* previous = std::cout.rdbuf(captured.rdbuf());
        const int32_t outcome = RemovalContext{}.InspectSystemMemory();
        std::cout.rdbuf(previous);
        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(captured.str(), c.written);
    }
}

} // namespace
