// The TSC driver: its device through the platform seam, and every request sent to it. The
// requests are built in driver.cpp only, by the layouts of protocol/tsc_protocol.h.
#pragma once
#include <windows.h>

#include "common/handle.h"
#include "platform/seam.h"
#include "protocol/tsc_protocol.h"

// The contract's names as tickmend's modules call them (protocol/tsc_protocol.h says what
// each is): the interface class, the control codes, the command numbers and words, the
// northbridge register and bit, the frequency-ID MSR.
extern const GUID tsc_driver_interface_class;
using tkd::IOCTL_MSR_READ;
using tkd::IOCTL_PCI_READ;
using tkd::IOCTL_PCI_WRITE;
using tkd::IOCTL_TSC_REQUEST;
using tkd::SYNC_CORE_TSC;
using tkd::REGISTER_TSC_DRIFT;
using tkd::Deregister_TSC_DRIFT;
using tkd::SYNC_NODE_TSC;
using tkd::sync_command_word;
using tkd::sync_node_command_word;
using tkd::drift_command_word;
constexpr BYTE NB_BUS = tkd::nb_bus, NB_DEVICE = tkd::nb_device, NB_FUNCTION = tkd::nb_function,
               NB_REGISTER = tkd::nb_offset;
constexpr DWORD NB_BIT = tkd::nb_bit;
constexpr DWORD MSR_FID_STATUS = tkd::msr_fid_status;

// One PCI configuration dword; the value is stored only when the request succeeds.
int ReadPCI32(BYTE bus, BYTE device, BYTE function, BYTE reg, DWORD* value);
int WritePCI32(BYTE bus, BYTE device, BYTE function, BYTE reg, DWORD value);
// One MSR; the value is always written (0 when nothing came back).
int ReadMSR64(DWORD msr, ULONGLONG* value);

// Outcome of one TSC command: not delivered, refused (a non-zero reply word), or done.
enum class TscResult { undelivered, refused, accepted };

// The driver's two reply words, as far as it wrote them.
using TscReplyWords = tkd::tsc_reply;

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
