// The values the Win32 backend hands to the communications API, and the
// port numbering, checked without a serial port.
#include <gtest/gtest.h>

#include "link/port_list.h"
#include "link/win32_port.h"

namespace quelmar::link {
namespace {

TEST(Win32Dcb, FlagsWordKeepsOnlyContinueOnXoffAndReservedBits) {
  struct Case {
    uint32_t before;
    uint32_t after;
  };
  const Case cases[] = {
      {0x00000000u, 0x00000001u},  // fBinary always set
      {0xFFFFFFFFu, 0xFFFF8081u},  // everything else cleared, fOutX included
      {0x00003FFEu, 0x00000081u},  // DTR/RTS control, flow control, error char, NUL
      {0x00004000u, 0x00000001u},  // fAbortOnError
      {0x00000080u, 0x00000081u},  // fTXContinueOnXoff kept
      {0x00000100u, 0x00000001u},  // fOutX: binary replies hold 0x11 and 0x13
      {0x12348000u, 0x12348001u},  // fDummy2 kept
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ConfigureDcbLine(DcbLine{9600, c.before, 7, 2, 2}).flags, c.after)
        << std::hex << c.before;
  }
}

TEST(Win32Dcb, LineIs115200EightNoneOne) {
  const DcbLine line = ConfigureDcbLine(DcbLine{1200, 0, 5, 4, 2});
  EXPECT_EQ(line.baud_rate, 115200u);
  EXPECT_EQ(line.byte_size, 8);
  EXPECT_EQ(line.parity, 0);     // NOPARITY
  EXPECT_EQ(line.stop_bits, 0);  // ONESTOPBIT
}

TEST(Win32Timeouts, ReadsAreBoundedPerByteAndWritesCannotHang) {
  const CommTimeoutValues t = MakeCommTimeouts(ReadTimeouts{50, 800});
  EXPECT_EQ(t.read_interval, 0u);
  EXPECT_EQ(t.read_total_multiplier, 50u);
  EXPECT_EQ(t.read_total_constant, 800u);
  EXPECT_EQ(t.write_total_multiplier, 0u);
  EXPECT_EQ(t.write_total_constant, kWin32WriteStallMs);
  EXPECT_EQ(MakeCommTimeouts(ReadTimeouts{7, 9}).read_total_constant, 9u);
}

TEST(Win32Naming, DevicePathAndTypedNames) {
  EXPECT_EQ(ComDevicePath(3), "\\\\.\\COM3");
  EXPECT_EQ(ComDevicePath(127), "\\\\.\\COM127");
  struct Case {
    const char* text;
    std::optional<int> number;
  };
  const Case cases[] = {
      {"COM3", 3},   {"com3", 3},        {"Com12", 12},       {"3", 3},     {"127", 127},
      {"COM1", 1},   {"COM128", {}},     {"0", {}},           {"COM0", {}}, {"COM03", {}},
      {"COM", {}},   {"", {}},           {"COM3x", {}},       {"-3", {}},   {"+3", {}},
      {"COM 3", {}}, {"/dev/ttyS0", {}}, {"\\\\.\\COM3", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseComNumber(c.text), c.number) << c.text;
}

TEST(Win32Errors, OpenFailuresAndHangUps) {
  struct Case {
    uint32_t error;
    OpenError open;
    bool hang_up;
  };
  const Case cases[] = {
      {5, OpenError::kBusy, false},      // ERROR_ACCESS_DENIED: held open elsewhere
      {32, OpenError::kBusy, false},     // ERROR_SHARING_VIOLATION
      {2, OpenError::kNotFound, false},  // ERROR_FILE_NOT_FOUND
      {3, OpenError::kNotFound, false},  // ERROR_PATH_NOT_FOUND
      {22, OpenError::kOther, true},     // ERROR_BAD_COMMAND
      {31, OpenError::kOther, true},     // ERROR_GEN_FAILURE
      {995, OpenError::kOther, true},    // ERROR_OPERATION_ABORTED
      {1167, OpenError::kOther, true},   // ERROR_DEVICE_NOT_CONNECTED
      {1617, OpenError::kOther, true},   // ERROR_DEVICE_REMOVED
      {121, OpenError::kOther, false},   // ERROR_SEM_TIMEOUT
  };
  for (const Case& c : cases) {
    EXPECT_EQ(OpenErrorFromWin32(c.error), c.open) << c.error;
    EXPECT_EQ(IsWin32HangUpError(c.error), c.hang_up) << c.error;
  }
}

TEST(Win32Enumeration, SerialCommValuesGiveAscendingComPorts) {
  const std::vector<std::string> data = {"COM10", "COM3", "COM128", "COM0",  "LPT1", "COM3",
                                         "3",     "com4", "COM127", "COM2x", "",     "COM1"};
  std::vector<int> numbers;
  for (const PortEntry& e : PortsFromSerialComm(data)) {
    numbers.push_back(e.number);
    EXPECT_EQ(e.device, ComDevicePath(e.number));
    EXPECT_FALSE(e.busy_known);  // only an open could tell
  }
  EXPECT_EQ(numbers, (std::vector<int>{1, 3, 10, 127}));
}

TEST(Win32Enumeration, PortSystemReadsThroughTheSeamAndResolvesNames) {
  int reads = 0;
  auto ports = MakeWin32PortSystem([&] {
    ++reads;
    return std::vector<std::string>{"COM7", "COM2"};
  });
  PortList list;
  EXPECT_EQ(list.EnumeratePorts(*ports), 2);
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(list.PortNumberAt(0), 2);
  EXPECT_EQ(list.PortNumberAt(1), 7);

  const auto id = ports->ResolvePort("com7");
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(id->number, 7);
  EXPECT_EQ(id->device, "\\\\.\\COM7");
  EXPECT_EQ(id->Label(), "COM7");
  EXPECT_FALSE(ports->ResolvePort("/dev/ttyUSB0").has_value());

  // A number with no device behind it is absent, not busy.
  const OpenResult opened = ports->OpenPort(*ports->ResolvePort("COM127"));
  EXPECT_EQ(opened.port, nullptr);
  EXPECT_EQ(opened.error, OpenError::kNotFound);
  EXPECT_EQ(opened.advice, "There is no device COM127.");

  auto none = MakeWin32PortSystem([] { return std::vector<std::string>{}; });
  EXPECT_EQ(list.EnumeratePorts(*none), 0);
  EXPECT_EQ(list.PortNumberAt(0), 0);
}

}  // namespace
}  // namespace quelmar::link
