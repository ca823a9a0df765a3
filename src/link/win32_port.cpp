// Port numbering and enumeration of the Win32 backend. Enumeration reads the
// registry and never opens a port: opening can reset a board, and the port
// monitor enumerates twice a second.
#include "link/win32_port.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

#include <windows.h>

namespace quelmar::link {
namespace {

constexpr int kMaxComNumber = 127;

// Bits of the DCB word: fBinary 0, fParity 1, fOutxCtsFlow 2, fOutxDsrFlow 3,
// fDtrControl 4-5, fDsrSensitivity 6, fTXContinueOnXoff 7, fOutX 8, fInX 9,
// fErrorChar 10, fNull 11, fRtsControl 12-13, fAbortOnError 14, fDummy2 15-31.
constexpr uint32_t kDcbBinary = 1u << 0;
constexpr uint32_t kDcbOutX = 1u << 8;
// Kept: fTXContinueOnXoff and fDummy2. fOutX is cleared as well: with it the
// driver would take every 0x11 and 0x13 the board sends as flow control, and
// the replies are binary.
constexpr uint32_t kDcbKeep = 0xFFFF8181u & ~kDcbOutX;

constexpr uint8_t kByteSize8 = 8;
constexpr uint8_t kNoParity = 0;
constexpr uint8_t kOneStopBit = 0;
constexpr uint32_t kBaud115200 = 115200;

// Win32 error codes (winerror.h), spelled out so the mapping is testable
// on any system.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorBadCommand = 22;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorOperationAborted = 995;
constexpr uint32_t kErrorDeviceNotConnected = 1167;
constexpr uint32_t kErrorDeviceRemoved = 1617;

std::vector<std::string> ReadSerialCommKey() {
  std::vector<std::string> data;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return data;  // no serial driver loaded: no ports
  }
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD name_size = sizeof name;
    BYTE value[64];
    DWORD value_size = sizeof value - 1;
    DWORD type = 0;
    const LONG r = RegEnumValueA(key, index, name, &name_size, nullptr, &type, value, &value_size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS || type != REG_SZ) continue;  // too long or not text: no COM name
    std::string text(reinterpret_cast<const char*>(value), value_size);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    data.push_back(std::move(text));
  }
  RegCloseKey(key);
  return data;
}

class Win32PortSystem final : public PortSystem {
 public:
  explicit Win32PortSystem(SerialCommReader reader) : reader_(std::move(reader)) {}
  std::vector<PortEntry> EnumeratePorts() override { return PortsFromSerialComm(reader_()); }
  OpenResult OpenPort(const PortId& id) override {
    if (id.number < 1 || id.number > kMaxComNumber) {
      return OpenResult{nullptr, OpenError::kNotFound, "There is no device " + id.Label() + "."};
    }
    return OpenWin32Device(id.number);
  }
  std::optional<PortId> ResolvePort(std::string_view text) override {
    const auto n = ParseComNumber(text);
    if (!n) return std::nullopt;
    return PortId{*n, ComDevicePath(*n)};
  }

 private:
  SerialCommReader reader_;
};

}  // namespace

DcbLine ConfigureDcbLine(const DcbLine& current) {
  DcbLine line = current;
  line.flags = (current.flags & kDcbKeep) | kDcbBinary;
  line.baud_rate = kBaud115200;
  line.byte_size = kByteSize8;
  line.parity = kNoParity;
  line.stop_bits = kOneStopBit;
  return line;
}

CommTimeoutValues MakeCommTimeouts(const ReadTimeouts& timeouts) {
  // No interval limit: a reply may pause between bytes. The write limit
  // bounds one WriteFile, so a stuck line fails the write instead of
  // hanging the worker; the writer continues a partial write.
  return CommTimeoutValues{0, timeouts.per_byte_ms, timeouts.constant_ms, 0, kWin32WriteStallMs};
}

std::string ComDevicePath(int com_number) {
  return "\\\\.\\COM" + std::to_string(com_number);
}

std::optional<int> ParseComNumber(std::string_view text) {
  if (text.size() >= 3 && std::toupper(static_cast<unsigned char>(text[0])) == 'C' &&
      std::toupper(static_cast<unsigned char>(text[1])) == 'O' &&
      std::toupper(static_cast<unsigned char>(text[2])) == 'M') {
    text.remove_prefix(3);
  }
  // Digits only, no sign, no leading zero.
  if (text.empty() || text.size() > 3 || text[0] == '0') return std::nullopt;
  int n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (n < 1 || n > kMaxComNumber) return std::nullopt;
  return n;
}

OpenError OpenErrorFromWin32(uint32_t error) {
  switch (error) {
    case kErrorAccessDenied:  // a COM port held open anywhere, ours included
    case kErrorSharingViolation:
      return OpenError::kBusy;
    case kErrorFileNotFound:
    case kErrorPathNotFound:
      return OpenError::kNotFound;
    default:
      return OpenError::kOther;
  }
}

bool IsWin32HangUpError(uint32_t error) {
  switch (error) {
    case kErrorBadCommand:
    case kErrorOperationAborted:
    case kErrorDeviceRemoved:
    case kErrorGenFailure:
    case kErrorDeviceNotConnected:
      return true;
    default:
      return false;
  }
}

std::vector<PortEntry> PortsFromSerialComm(const std::vector<std::string>& value_data) {
  std::vector<PortEntry> ports;
  for (const std::string& data : value_data) {
    // Only "COMn": a bare number or other device names are not COM ports.
    if (data.size() < 4 || data.compare(0, 3, "COM") != 0) continue;
    const auto n = ParseComNumber(data);
    if (!n) continue;
    ports.push_back(PortEntry{*n, ComDevicePath(*n), false, false});
  }
  std::sort(ports.begin(), ports.end(),
            [](const PortEntry& a, const PortEntry& b) { return a.number < b.number; });
  ports.erase(
      std::unique(ports.begin(), ports.end(),
                  [](const PortEntry& a, const PortEntry& b) { return a.number == b.number; }),
      ports.end());
  return ports;
}

std::unique_ptr<PortSystem> MakeWin32PortSystem(SerialCommReader reader) {
  if (!reader) reader = ReadSerialCommKey;
  return std::make_unique<Win32PortSystem>(std::move(reader));
}

}  // namespace quelmar::link
