// The TSC driver: its device through the platform seam, and every request sent to it. The
// byte layouts live here and in driver.cpp only; nothing else builds a request buffer.
#pragma once
#include <windows.h>

#include "common/handle.h"
#include "platform/seam.h"

// {36FC3AB9-5ABB-42BA-ABF6-53D32F1C545A}: the device interface class of the TSC driver.
extern const GUID tsc_driver_interface_class;

constexpr DWORD IOCTL_MSR_READ = 0xFFF02804;
constexpr DWORD IOCTL_PCI_READ = 0xFFF0282C;
constexpr DWORD IOCTL_PCI_WRITE = 0xFFF02830;
constexpr DWORD IOCTL_TSC_REQUEST = 0xFFF0285C;

// TSC command numbers (bits 0..23 of the command word).
constexpr DWORD SYNC_CORE_TSC = 7;
constexpr DWORD REGISTER_TSC_DRIFT = 8;
constexpr DWORD Deregister_TSC_DRIFT = 9;
constexpr DWORD SYNC_NODE_TSC = 10;

// The northbridge register and its power-management bit.
constexpr BYTE NB_BUS = 0, NB_DEVICE = 24, NB_FUNCTION = 3, NB_REGISTER = 0x84;
constexpr DWORD NB_BIT = 0x01000000;

// The MSR whose start and maximum frequency IDs tell whether the frequency varies.
constexpr DWORD MSR_FID_STATUS = 0xC0010042;

// One PCI configuration dword; the value is stored only when the request succeeds.
int ReadPCI32(BYTE bus, BYTE device, BYTE function, BYTE reg, DWORD* value);
int WritePCI32(BYTE bus, BYTE device, BYTE function, BYTE reg, DWORD value);
// One MSR; the value is always written (0 when nothing came back).
int ReadMSR64(DWORD msr, ULONGLONG* value);

// Command words of the two layouts.
DWORD sync_command_word(DWORD command, BYTE node, BYTE core);  // SYNC_CORE_TSC
DWORD sync_node_command_word(BYTE destination_node);           // SYNC_NODE_TSC
DWORD drift_command_word(DWORD command, BYTE node, BYTE core); // REGISTER_/Deregister_TSC_DRIFT

// Outcome of one TSC command: not delivered, refused (a non-zero reply word), or done.
enum class TscResult { undelivered, refused, accepted };

// The driver's two reply words, as far as it wrote them.
struct TscReplyWords {
    LONG status;
    LONG ret_code;
};

// Sends one TSC command on an open device handle (from the platform seam) and judges the
// reply. interval is put in bytes 4..7 only for REGISTER_TSC_DRIFT; reply, when given,
// gets the reply words of a delivered request.
TscResult send_tsc_command(HANDLE device, DWORD word, DWORD interval = 0, TscReplyWords* reply = nullptr);

// Opens the device through the platform seam (the real build searches for it by class).
HANDLE open_tsc_device();
void close_tsc_device(HANDLE device);

// An open device handle, closed through the seam that opened it.
struct device_traits {
    using type = HANDLE;
    static type empty() { return INVALID_HANDLE_VALUE; }
    static void close(type h) { platform_device().close(h); }
};
using unique_device = tk::unique_any<device_traits>;
