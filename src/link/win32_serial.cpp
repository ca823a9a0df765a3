// The open serial line of the Win32 backend: exclusive CreateFileA, DCB line
// settings, COMMTIMEOUTS for the reads, and plain (non-overlapped) I/O.
#include "link/win32_port.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>

namespace quelmar::link {
namespace {

// The driver's queues; a request, the driver may give other sizes.
constexpr DWORD kQueueSize = 1024;

// The bit-field word follows DCBlength and BaudRate.
constexpr size_t kDcbFlagsOffset = 2 * sizeof(DWORD);
static_assert(sizeof(DCB) == 28, "DCB layout");

uint32_t DcbFlags(const DCB& dcb) {
  uint32_t flags = 0;
  std::memcpy(&flags, reinterpret_cast<const char*>(&dcb) + kDcbFlagsOffset, sizeof flags);
  return flags;
}

void SetDcbFlags(DCB& dcb, uint32_t flags) {
  std::memcpy(reinterpret_cast<char*>(&dcb) + kDcbFlagsOffset, &flags, sizeof flags);
}

class Win32SerialPort final : public SerialPort {
 public:
  explicit Win32SerialPort(HANDLE handle) : handle_(handle) {}
  Win32SerialPort(const Win32SerialPort&) = delete;
  Win32SerialPort& operator=(const Win32SerialPort&) = delete;
  ~Win32SerialPort() override { CloseHandle(handle_); }

  bool GetCommState() override {
    state_ = DCB{};
    state_.DCBlength = sizeof(DCB);
    if (!::GetCommState(handle_, &state_)) return Failed();
    have_state_ = true;
    return true;
  }
  bool SetCommState() override;
  bool SetBaudRate(uint32_t baud) override;
  bool SetCommTimeouts(const ReadTimeouts& timeouts) override;
  bool Purge(uint32_t mask) override;
  bool Write(const uint8_t* data, uint32_t n, uint32_t* written) override;
  uint32_t Read(uint8_t* buffer, uint32_t n) override;
  bool HungUp() const override { return hung_up_.load(std::memory_order_acquire); }

 private:
  // Notes a failed call: an unplugged adapter hangs the line up for good.
  bool Failed() {
    if (IsWin32HangUpError(GetLastError())) hung_up_.store(true, std::memory_order_release);
    return false;
  }

  const HANDLE handle_;
  // Owner thread only.
  DCB state_{};
  bool have_state_ = false;
  std::atomic<bool> hung_up_{false};
};

bool Win32SerialPort::SetBaudRate(uint32_t baud) {
  if (!have_state_ && !GetCommState()) return false;
  DCB dcb = state_;
  dcb.BaudRate = baud;
  if (!::SetCommState(handle_, &dcb)) return Failed();
  state_ = dcb;
  return true;
}

bool Win32SerialPort::SetCommState() {
  if (!have_state_ && !GetCommState()) return false;
  DCB dcb = state_;
  const DcbLine line = ConfigureDcbLine(
      DcbLine{dcb.BaudRate, DcbFlags(dcb), dcb.ByteSize, dcb.Parity, dcb.StopBits});
  dcb.BaudRate = line.baud_rate;
  SetDcbFlags(dcb, line.flags);
  dcb.ByteSize = line.byte_size;
  dcb.Parity = line.parity;
  dcb.StopBits = line.stop_bits;
  if (!::SetCommState(handle_, &dcb)) return Failed();
  state_ = dcb;
  return true;
}

bool Win32SerialPort::SetCommTimeouts(const ReadTimeouts& timeouts) {
  const CommTimeoutValues v = MakeCommTimeouts(timeouts);
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = v.read_interval;
  t.ReadTotalTimeoutMultiplier = v.read_total_multiplier;
  t.ReadTotalTimeoutConstant = v.read_total_constant;
  t.WriteTotalTimeoutMultiplier = v.write_total_multiplier;
  t.WriteTotalTimeoutConstant = v.write_total_constant;
  if (!::SetCommTimeouts(handle_, &t)) return Failed();
  return true;
}

bool Win32SerialPort::Purge(uint32_t mask) {
  if (HungUp()) return false;
  if (!PurgeComm(handle_, mask)) return Failed();
  return true;
}

bool Win32SerialPort::Write(const uint8_t* data, uint32_t n, uint32_t* written) {
  uint32_t sent = 0;
  bool ok = !HungUp();
  // Each WriteFile ends within the write time-out; one that sent nothing
  // in that time means the line is stuck.
  while (ok && sent < n) {
    DWORD k = 0;
    if (!WriteFile(handle_, data + sent, n - sent, &k, nullptr)) {
      ok = Failed();
    } else if (k == 0) {
      ok = false;
    }
    sent += k;
  }
  if (written != nullptr) *written = sent;
  return ok;
}

uint32_t Win32SerialPort::Read(uint8_t* buffer, uint32_t n) {
  if (n == 0 || HungUp()) return 0;
  DWORD got = 0;
  // Returns when n bytes have come or the read time-outs have run out.
  if (!ReadFile(handle_, buffer, n, &got, nullptr)) {
    Failed();
    return 0;
  }
  return got;
}

}  // namespace

OpenResult OpenWin32Device(int com_number) {
  const std::string label = "COM" + std::to_string(com_number);
  const std::string path = ComDevicePath(com_number);
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_WRITE_THROUGH, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const OpenError kind = OpenErrorFromWin32(error);
    switch (kind) {
      case OpenError::kBusy:
        return OpenResult{nullptr, kind, label + " is in use by another program."};
      case OpenError::kNotFound:
        return OpenResult{nullptr, kind, "There is no device " + label + "."};
      default:
        return OpenResult{nullptr, kind,
                          "Cannot open " + label + ": error " + std::to_string(error) + "."};
    }
  }
  (void)SetupComm(handle, kQueueSize, kQueueSize);
  return OpenResult{std::make_unique<Win32SerialPort>(handle), OpenError::kNone, {}};
}

}  // namespace quelmar::link
