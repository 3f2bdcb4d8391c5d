#include "driver/driver.h"
#include "platform/seam.h"

#include <gtest/gtest.h>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

// One request as the driver would see it.
struct Request {
    HANDLE device;
    DWORD code;
    Bytes input;
    DWORD in_size;
    DWORD out_size;
    bool same_buffer;
};

// A device that records everything and answers as scripted.
struct FakeDevice {
    bool present = true;
    BOOL result = TRUE;
    DWORD error = ERROR_GEN_FAILURE;   // set as the last error when result is FALSE
    Bytes reply;                       // written to the output buffer; empty: nothing written
    size_t reply_offset = 0;           // where in the output buffer the reply goes
    std::vector<Request> requests;
    std::vector<HANDLE> opened;
    std::vector<HANDLE> closed;
    std::vector<GUID> classes;
    UINT_PTR next_handle = 0x100;
};
FakeDevice fake;

const char fake_path[] = "\\\\.\\tsc";

BOOL fake_find(const GUID* interface_class, char* path, DWORD path_size)
{
    fake.classes.push_back(*interface_class);
    if (!fake.present || path_size < sizeof fake_path) return FALSE;
    memcpy(path, fake_path, sizeof fake_path);
    return TRUE;
}

HANDLE fake_open(const char* path)
{
    if (!fake.present || strcmp(path, fake_path) != 0) return INVALID_HANDLE_VALUE;
    HANDLE h = reinterpret_cast<HANDLE>(fake.next_handle);
    fake.next_handle += 4;
    fake.opened.push_back(h);
    return h;
}

BOOL fake_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                  DWORD* bytes_returned)
{
    const BYTE* first = static_cast<const BYTE*>(in);
    fake.requests.push_back({device, code, Bytes(first, first + in_size), in_size, out_size, in == out});
    size_t room = out_size > fake.reply_offset ? out_size - fake.reply_offset : 0;
    size_t n = fake.reply.size() < room ? fake.reply.size() : room;
    if (n) std::memcpy(static_cast<BYTE*>(out) + fake.reply_offset, fake.reply.data(), n);
    *bytes_returned = static_cast<DWORD>(n);
    if (!fake.result) SetLastError(fake.error);
    return fake.result;
}

BOOL fake_close(HANDLE device)
{
    fake.closed.push_back(device);
    return TRUE;
}

const DeviceOps fake_ops = {fake_find, fake_open, fake_control, fake_close};

Bytes le32(DWORD v) { return {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)}; }

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

class DriverRequests : public testing::Test {
protected:
    void SetUp() override
    {
        fake = FakeDevice{};
        platform_install(nullptr, &fake_ops);
    }
    void TearDown() override
    {
        platform_install(nullptr, nullptr);
        expect_every_open_closed();
    }
    // Every handle the module opened was closed, exactly once, and all were of the TSC class.
    void expect_every_open_closed()
    {
        EXPECT_EQ(fake.opened, fake.closed);
        for (const GUID& g : fake.classes) EXPECT_TRUE(IsEqualGUID(g, tsc_driver_interface_class));
    }
    // Checks what went before, then a fresh script and record.
    void start_over()
    {
        expect_every_open_closed();
        fake = FakeDevice{};
    }
    const Request& only_request()
    {
        EXPECT_EQ(1u, fake.requests.size());
        EXPECT_EQ(1u, fake.opened.size());
        if (!fake.requests.empty() && !fake.opened.empty()) {
            EXPECT_EQ(fake.opened[0], fake.requests[0].device);
        }
        return fake.requests.at(0);
    }
};

TEST_F(DriverRequests, PciReadAndWriteSendTheTenByteLayoutInOneBuffer)
{
    // Reply: the same layout with the configuration dword in bytes 6..9.
    fake.reply = {0x11, 0x22, 0x33, 4, 0x44, 0, 0x78, 0x56, 0x34, 0x12};
    DWORD value = 0xDEADBEEF;
    EXPECT_EQ(TRUE, ReadPCI32(0x11, 0x22, 0x33, 0x44, &value));
    EXPECT_EQ(0x12345678u, value);
    {
        const Request& r = only_request();
        EXPECT_EQ(IOCTL_PCI_READ, r.code);
        EXPECT_EQ((Bytes{0x11, 0x22, 0x33, 4, 0x44, 0, 0, 0, 0, 0}), r.input);
        EXPECT_EQ(10u, r.out_size);
        EXPECT_TRUE(r.same_buffer);
    }

    start_over();
    fake.result = 7; // whatever DeviceIoControl returns is passed on
    EXPECT_EQ(7, WritePCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, 0xDEADBEEF));
    const Request& w = only_request();
    EXPECT_EQ(IOCTL_PCI_WRITE, w.code);
    EXPECT_EQ((Bytes{0, 24, 3, 4, 0x84, 0, 0xEF, 0xBE, 0xAD, 0xDE}), w.input);
    EXPECT_EQ(10u, w.out_size);
    EXPECT_TRUE(w.same_buffer);
}

TEST_F(DriverRequests, FailedPciRequestsReturnZeroAndLeaveTheCallersValue)
{
    // The driver scribbled into the buffer but failed the request.
    fake.result = FALSE;
    fake.reply = Bytes(10, 0x5A);
    DWORD value = 0xDEADBEEF;
    EXPECT_EQ(0, ReadPCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &value));
    EXPECT_EQ(0xDEADBEEFu, value);
    EXPECT_EQ(0, WritePCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, 1));
    EXPECT_EQ(2u, fake.requests.size());

    // No device: nothing is sent at all.
    start_over();
    fake.present = false;
    EXPECT_EQ(0, ReadPCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &value));
    EXPECT_EQ(0xDEADBEEFu, value);
    EXPECT_EQ(0, WritePCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, 1));
    EXPECT_EQ(2u, fake.classes.size());
    EXPECT_TRUE(fake.requests.empty());
}

TEST_F(DriverRequests, MsrReadSendsTwentyBytesAndAlwaysWritesTheValue)
{
    fake.reply = cat({le32(0xC0010042), le32(0x89ABCDEF), le32(0x01234567), Bytes(8, 0xCC)});
    ULONGLONG value = 0;
    EXPECT_EQ(TRUE, ReadMSR64(MSR_FID_STATUS, &value));
    EXPECT_EQ(0x0123456789ABCDEFull, value);
    {
        const Request& r = only_request();
        EXPECT_EQ(IOCTL_MSR_READ, r.code);
        EXPECT_EQ(cat({le32(0xC0010042), Bytes(16, 0)}), r.input);
        EXPECT_EQ(20u, r.out_size);
        EXPECT_TRUE(r.same_buffer);
    }

    // A request that writes nothing back yields the cleared buffer: 0.
    start_over();
    fake.result = FALSE;
    value = 0xDEADBEEFDEADBEEFull;
    EXPECT_EQ(0, ReadMSR64(MSR_FID_STATUS, &value));
    EXPECT_EQ(0u, value);
    EXPECT_EQ(1u, fake.requests.size());

    // No device: 0, and no request.
    start_over();
    fake.present = false;
    value = 0xDEADBEEFDEADBEEFull;
    EXPECT_EQ(0, ReadMSR64(MSR_FID_STATUS, &value));
    EXPECT_EQ(0u, value);
    EXPECT_TRUE(fake.requests.empty());
}

TEST(DriverCommandWords, SynchronizationAndDriftLayoutsPlaceTheirFields)
{
    EXPECT_EQ(0x12000007u, sync_command_word(SYNC_CORE_TSC, 2, 1));
    EXPECT_EQ(0x1000000Au, sync_node_command_word(1));
    EXPECT_EQ(0x0000000Au, sync_node_command_word(0));
    EXPECT_EQ(0x23000008u, drift_command_word(REGISTER_TSC_DRIFT, 1, 3));
    EXPECT_EQ(0xE1000009u, drift_command_word(Deregister_TSC_DRIFT, 7, 1));

    // The core field is 3 bits wide for synchronization and 5 bits wide for drift.
    EXPECT_EQ(0x10000007u, sync_command_word(SYNC_CORE_TSC, 0, 9));
    EXPECT_EQ(0x09000008u, drift_command_word(REGISTER_TSC_DRIFT, 0, 9));

    // Out-of-range numbers never spill into a neighbouring field or the spare bits.
    EXPECT_EQ(0x77000007u, sync_command_word(SYNC_CORE_TSC, 0xFF, 0xFF));
    EXPECT_EQ(0x7000000Au, sync_node_command_word(0xFF));
    EXPECT_EQ(0xFF000008u, drift_command_word(REGISTER_TSC_DRIFT, 0xFF, 0xFF));
    EXPECT_EQ(0x1F000009u, drift_command_word(Deregister_TSC_DRIFT, 8, 0x3F));
}

TEST_F(DriverRequests, TscRequestCarriesTheIntervalOnlyForDriftRegistration)
{
    fake.reply = Bytes(8, 0);
    HANDLE device = open_tsc_device();
    ASSERT_NE(INVALID_HANDLE_VALUE, device);

    const DWORD words[] = {drift_command_word(REGISTER_TSC_DRIFT, 1, 3),
                           drift_command_word(Deregister_TSC_DRIFT, 1, 3), sync_command_word(SYNC_CORE_TSC, 1, 3),
                           sync_node_command_word(1)};
    for (DWORD word : words) EXPECT_EQ(TscResult::accepted, send_tsc_command(device, word, 1000));
    close_tsc_device(device);

    ASSERT_EQ(4u, fake.requests.size());
    for (size_t i = 0; i < 4; ++i) {
        const Request& r = fake.requests[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(device, r.device);
        EXPECT_EQ(IOCTL_TSC_REQUEST, r.code);
        EXPECT_EQ(8u, r.in_size);
        EXPECT_EQ(8u, r.out_size);
        EXPECT_FALSE(r.same_buffer);
        EXPECT_EQ(cat({le32(words[i]), le32(i == 0 ? 1000 : 0)}), r.input);
    }
}

TEST_F(DriverRequests, TscReplyIsAcceptedOnlyWhenTheDriverWroteTwoZeroWords)
{
    HANDLE device = open_tsc_device();
    const DWORD word = drift_command_word(REGISTER_TSC_DRIFT, 0, 1);
    struct Case {
        const char* what;
        BOOL result;
        Bytes reply;
        TscResult expected;
        size_t offset = 0;
    } cases[] = {
        {"both words 0", TRUE, cat({le32(0), le32(0)}), TscResult::accepted},
        {"first word 1", TRUE, cat({le32(1), le32(0)}), TscResult::refused},
        {"second word 1", TRUE, cat({le32(0), le32(1)}), TscResult::refused},
        {"negative status", TRUE, cat({le32(0xFFFFFFFF), le32(0)}), TscResult::refused},
        {"nothing written", TRUE, {}, TscResult::refused},
        {"only the first word written", TRUE, le32(0), TscResult::refused},
        {"only the second word written", TRUE, le32(0), TscResult::refused, 4},
        {"request failed", FALSE, cat({le32(0), le32(0)}), TscResult::undelivered},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake.result = c.result;
        fake.reply = c.reply;
        fake.reply_offset = c.offset;
        EXPECT_EQ(c.expected, send_tsc_command(device, word, 500));
    }
    close_tsc_device(device);

    // An unopened device gets nothing sent on it, and is not closed.
    size_t sent = fake.requests.size();
    EXPECT_EQ(TscResult::undelivered, send_tsc_command(INVALID_HANDLE_VALUE, word, 500));
    close_tsc_device(INVALID_HANDLE_VALUE);
    EXPECT_EQ(sent, fake.requests.size());
    EXPECT_EQ(1u, fake.closed.size());
}

// The Win32 side under Wine, which has no such device.
TEST(DriverOnThisMachine, WithoutTheDeviceNothingOpensAndEveryRequestFails)
{
    platform_install(nullptr, nullptr);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, open_driver_interface(&tsc_driver_interface_class));
    EXPECT_EQ(INVALID_HANDLE_VALUE, open_tsc_device());

    DWORD pci = 0xDEADBEEF;
    EXPECT_EQ(0, ReadPCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, &pci));
    EXPECT_EQ(0xDEADBEEFu, pci);
    EXPECT_EQ(0, WritePCI32(NB_BUS, NB_DEVICE, NB_FUNCTION, NB_REGISTER, pci));
    ULONGLONG msr = 0xDEADBEEFDEADBEEFull;
    EXPECT_EQ(0, ReadMSR64(MSR_FID_STATUS, &msr));
    EXPECT_EQ(0u, msr);
}

} // namespace
