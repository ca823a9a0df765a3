// Win32 backend of the serial port seam. The helpers below hold the values
// the backend hands to the communications API, free of <windows.h>, so that
// tests can check them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/serial_port.h"

namespace quelmar::link {

// The DCB fields the backend sets; the rest stays as GetCommState gave it.
struct DcbLine {
  uint32_t baud_rate = 0;
  uint32_t flags = 0;  // the bit-field word after BaudRate
  uint8_t byte_size = 0;
  uint8_t parity = 0;
  uint8_t stop_bits = 0;
};

// 115200 8N1, binary, no parity check, no CTS/DSR/XON-XOFF flow control in
// either direction, DTR and RTS disabled, no error or NUL handling, no abort
// on error. fTXContinueOnXoff and the reserved high bits are kept.
DcbLine ConfigureDcbLine(const DcbLine& current);

// The five COMMTIMEOUTS values, in the structure's order.
struct CommTimeoutValues {
  uint32_t read_interval = 0;
  uint32_t read_total_multiplier = 0;
  uint32_t read_total_constant = 0;
  uint32_t write_total_multiplier = 0;
  uint32_t write_total_constant = 0;
};
CommTimeoutValues MakeCommTimeouts(const ReadTimeouts& timeouts);

// A single WriteFile that sends nothing for this long has failed.
inline constexpr uint32_t kWin32WriteStallMs = 5000;

// "\\.\COM3": the device name that also reaches COM10 and above.
std::string ComDevicePath(int com_number);
// "COM3", "com3" or "3" -> 3; nullopt for anything else or outside 1..127.
std::optional<int> ParseComNumber(std::string_view text);

// What a failed CreateFileA's last-error code means to the user.
OpenError OpenErrorFromWin32(uint32_t error);
// Whether a failed call's last-error code says the adapter is gone.
bool IsWin32HangUpError(uint32_t error);

// The ports listed by the data of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM values:
// "COMn" with n in 1..127, each once, ascending. Nothing is opened.
std::vector<PortEntry> PortsFromSerialComm(const std::vector<std::string>& value_data);

// Returns the data of every SERIALCOMM value; tests hand in their own.
using SerialCommReader = std::function<std::vector<std::string>()>;

// Opens COM<n> exclusively with the line untouched (configuring is the
// port's own step). Used by the port system.
OpenResult OpenWin32Device(int com_number);

// With no reader, the registry is read.
std::unique_ptr<PortSystem> MakeWin32PortSystem(SerialCommReader reader = {});

}  // namespace quelmar::link
