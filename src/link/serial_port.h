// Serial port seam. The core speaks to the board only through these two
// interfaces; the POSIX termios backend (posix_port.*) and the Win32 one
// (win32_port.*) implement them, and tests script a fake.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelmar::link {

// Purge flags, combined into a mask.
inline constexpr uint32_t PURGE_TXABORT = 0x1;
inline constexpr uint32_t PURGE_RXABORT = 0x2;
inline constexpr uint32_t PURGE_TXCLEAR = 0x4;
inline constexpr uint32_t PURGE_RXCLEAR = 0x8;
// Before every 4-byte request, after configuring, on close, as liveness probe.
inline constexpr uint32_t kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// Before each data flash block only.
inline constexpr uint32_t kPurgeClear = PURGE_TXCLEAR | PURGE_RXCLEAR;

// A read of n bytes ends when n bytes have come or after
// per_byte_ms * n + constant_ms, whichever is first.
struct ReadTimeouts {
  uint32_t per_byte_ms = 50;
  uint32_t constant_ms = 800;
};

// Which port to open: a COM number (1..127) and/or a device path. The number
// is what the log shows; a port given only by path shows its path instead.
struct PortId {
  int number = 0;
  std::string device;

  // "COM3", or the device path when the port has no number.
  std::string Label() const;
};

// One open serial line. Only the thread that opened it reads, writes and
// closes it; Purge may also come from another thread as a liveness probe.
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Reads the line's current settings.
  virtual bool GetCommState() = 0;
  // 115200 baud, 8N1, raw 8-bit, no flow control, DTR and RTS inactive.
  virtual bool SetCommState() = 0;
  // After SetCommState, another speed for the line (a scanner's 9600
  // baud); the rest stays. False when the line cannot run at it.
  virtual bool SetBaudRate(uint32_t baud) { return baud == 115200; }
  virtual bool SetCommTimeouts(const ReadTimeouts& timeouts) = 0;
  // Discards pending data (and aborts transfers) as the mask says. Fails
  // when the line is gone.
  virtual bool Purge(uint32_t mask) = 0;
  // Sends all n bytes (continuing partial writes); false on a real error.
  // *written receives the count actually sent.
  virtual bool Write(const uint8_t* data, uint32_t n, uint32_t* written) = 0;
  // One read of up to n bytes under the read time-outs; returns how many
  // came (0 on error, time-out or hang-up).
  virtual uint32_t Read(uint8_t* buffer, uint32_t n) = 0;
  // True once the line has hung up (adapter unplugged, peer gone).
  virtual bool HungUp() const = 0;
};

// A port present on the system.
struct PortEntry {
  int number = 0;       // COM number, 1..127
  std::string device;   // device path
  bool busy = false;    // held by another program (or by us)
  // Whether busy could be told without opening the port (not on Windows,
  // where only an open says so).
  bool busy_known = true;
};

enum class OpenError {
  kNone,
  kNotFound,    // no such device
  kBusy,        // held by another program or another copy of ours
  kPermission,  // not allowed to open it
  kOther,
};

struct OpenResult {
  std::unique_ptr<SerialPort> port;  // null on failure
  OpenError error = OpenError::kNone;
  // When the system gives a reason a user can act on, one line saying so
  // (without line end); empty otherwise.
  std::string advice;
};

// The platform's ports: enumeration, naming and exclusive opening.
class PortSystem {
 public:
  virtual ~PortSystem() = default;
  // Ports present, ascending by COM number, at most COM1..COM127. Must not
  // open any device (opening can reset a board).
  virtual std::vector<PortEntry> EnumeratePorts() = 0;
  // Exclusive open, against other programs and other copies of ours.
  virtual OpenResult OpenPort(const PortId& id) = 0;
  // Turns what a user typed ("COM3", "3", a device path) into a port;
  // nullopt when the text names no port.
  virtual std::optional<PortId> ResolvePort(std::string_view text) = 0;
  // Whether the port is there now, told without opening it and without
  // disturbing it while it is open (a board may be being written): a local
  // port by the ports listed, a network port by its connection. Any thread.
  // By default: listed by EnumeratePorts (PortListed).
  virtual bool PortPresent(const PortId& id);
};

// The ports of the system we run on (termios or Win32).
std::unique_ptr<PortSystem> MakePlatformPortSystem();

}  // namespace quelmar::link
