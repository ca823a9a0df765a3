#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/ids.h"
#include "common/log.h"
#include "link/link.h"
#include "link/port_list.h"
#include "support/fake_port.h"
#include "support/recording_sink.h"

namespace quelmar::link {
namespace {

using testing::Bytes;
using testing::FakeClock;
using testing::FakeLine;
using testing::FakePortSystem;
using testing::RecordingSink;
using Entry = RecordingSink::Entry;

Bytes BootloaderReply(uint8_t major, uint8_t minor) {
  return {0xAA, 0x03, 0x01, major, minor, 0x00};
}

Bytes ChipReply(uint32_t w0, uint32_t w1) {
  Bytes r(36, 0);
  r[0] = 0xAA;
  r[2] = 0x0A;
  WriteLe32(&r[3], w0);
  WriteLe32(&r[7], w1);
  for (size_t w = 2; w < 8; ++w) WriteLe32(&r[3 + 4 * w], static_cast<uint32_t>(0x1000 + w));
  return r;
}

// A well-behaved board; tests replace the reply to one command.
struct Board {
  std::map<uint8_t, std::vector<Bytes>> replies = {
      {CMD_GET_BOOTLOADER_INFO, {BootloaderReply(2, 8)}},
      {CMD_GET_CHIP_INFO, {ChipReply(0xA001C830, 0)}},
      {CMD_REBOOT, {{0xAA, 0x01, 0x00, 0x00}}},
  };
  void Attach(FakeLine& line) {
    line.responder = [this](FakeLine& l, const Bytes& written) {
      if (written.size() != 4) return;
      auto it = replies.find(written[2]);
      if (it == replies.end()) return;
      for (const Bytes& read : it->second) l.Reply(read);
    };
  }
};

class LinkTest : public ::testing::Test {
 protected:
  LinkTest() {
    ports_.line->clock = &clock_;
    board_.Attach(*ports_.line);
    link_.SetSelectedPort(PortId{3, "/dev/ttyS2"});
  }
  FakeLine& line() { return *ports_.line; }

  FakeClock clock_;
  FakePortSystem ports_;
  Board board_;
  RecordingSink sink_;
  Log log_{&sink_};
  Link link_{ports_, log_, sink_};
};

TEST_F(LinkTest, OpenIdentifiesBootloaderAndChipInFiveLines) {
  ASSERT_TRUE(link_.OpenPort());
  EXPECT_TRUE(link_.IsPortReady());
  EXPECT_EQ(sink_.Text(),
            "Opened COM3\n"
            "Get bootloader info... OK.\n"
            "Found bootloader v2.8.\n"
            "Get chip info... OK.\n"
            "Chip: LPC4357\n");
  EXPECT_EQ(sink_.ErrorText(), "");
  EXPECT_EQ(link_.BootloaderVersionCode(), 28);
  EXPECT_EQ(link_.ChipInfo()[0], 0xA001C830u);
  EXPECT_EQ(link_.ChipInfo()[7], 0x1007u);
  const std::vector<std::string> expected = {
      "open",          "get-state",         "set-state",   "purge 15", "set-timeouts 50 800",
      "purge 15",      "write 55 01 01 55", "read 6 -> 6", "purge 15", "write 55 01 0A 5E",
      "read 36 -> 36",
  };
  EXPECT_EQ(line().events, expected);
}

TEST_F(LinkTest, OpenOnAnOpenPortDoesNothing) {
  ASSERT_TRUE(link_.OpenPort());
  sink_.Clear();
  const size_t events = line().events.size();
  EXPECT_TRUE(link_.OpenPort());
  EXPECT_EQ(sink_.Text(), "");
  EXPECT_EQ(line().events.size(), events);
  EXPECT_EQ(ports_.open_count, 1);
}

TEST_F(LinkTest, ConfigurationFailuresCloseWithOneErrorLine) {
  struct Case {
    bool FakeLine::*fault;
    const char* line;
  };
  const Case cases[] = {
      {&FakeLine::fail_get_state, "Failed GetCommState() - COM3\n"},
      {&FakeLine::fail_set_state, "Failed SetCommState()\n"},
      {&FakeLine::fail_set_timeouts, "Failed SetCommTimeouts()\n"},
  };
  for (const Case& c : cases) {
    FakePortSystem ports;
    ports.line.get()->*c.fault = true;
    RecordingSink sink;
    Log log(&sink);
    Link link(ports, log, sink);
    link.SetSelectedPort(PortId{3, "/dev/ttyS2"});
    EXPECT_FALSE(link.OpenPort());
    EXPECT_FALSE(link.IsPortReady());
    EXPECT_EQ(sink.Log(), (std::vector<Entry>{{1, c.line}}));
    // Closed directly: the handle is released, no purge after the failure.
    EXPECT_EQ(ports.line->events.back(), "close");
    EXPECT_TRUE(ports.line->EventsStartingWith("write").empty());
  }
}

TEST_F(LinkTest, OpenFailureNamesThePortAndAddsAdviceWhenThereIsSome) {
  ports_.open_error = OpenError::kPermission;
  EXPECT_FALSE(link_.OpenPort());
  EXPECT_EQ(sink_.Log(), (std::vector<Entry>{{1, "Failed opening COM3\n"}}));

  sink_.Clear();
  ports_.open_error = OpenError::kBusy;
  ports_.open_advice = "COM3 is in use by another program.";
  EXPECT_FALSE(link_.OpenPort());
  EXPECT_EQ(sink_.Log(), (std::vector<Entry>{{1, "Failed opening COM3\n"},
                                             {1, "COM3 is in use by another program.\n"}}));

  sink_.Clear();
  link_.SetSelectedPort(PortId{0, "/dev/pts/7"});
  ports_.open_advice.clear();
  EXPECT_FALSE(link_.OpenPort());
  EXPECT_EQ(sink_.Text(), "Failed opening /dev/pts/7\n");
}

struct BootloaderCase {
  const char* name;
  std::vector<Bytes> reads;
  std::string log_after_opened;
  int reads_done;
};

TEST_F(LinkTest, BootloaderQueryFailuresCloseThePortWithoutAskingTheChip) {
  const BootloaderCase cases[] = {
      {"silent", {}, "Get bootloader info... FAIL.\nNot reply from device !\n", 2},
      {"empty then short",
       {{}, {0xAA, 0x03}},
       "Get bootloader info... \nIncorrect received data size. lpSize = 2\n",
       2},
      {"short is not read again",
       {{0xAA, 0x03, 0x01}},
       "Get bootloader info... \nIncorrect received data size. lpSize = 3\n",
       1},
      {"wrong start byte",
       {{0x55, 0x03, 0x01, 2, 8, 0}},
       "Get bootloader info... \nIncorrect received data size. lpSize = 6\n",
       1},
      {"wrong byte 1",
       {{0xAA, 0x02, 0x01, 2, 8, 0}},
       "Get bootloader info... \nInvalid response format.\n",
       1},
      {"wrong byte 2",
       {{0xAA, 0x03, 0x0A, 2, 8, 0}},
       "Get bootloader info... \nInvalid response format.\n",
       1},
      {"version 1.9",
       {BootloaderReply(1, 9)},
       "Get bootloader info... OK.\nFound bootloader v1.9.\nUnsupported bootloader !\n",
       1},
      {"version 0.0",
       {BootloaderReply(0, 0)},
       "Get bootloader info... OK.\nFound bootloader v0.0.\nUnsupported bootloader !\n",
       1},
  };
  for (const BootloaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClock clock;
    FakePortSystem ports;
    ports.line->clock = &clock;
    Board board;
    board.replies[CMD_GET_BOOTLOADER_INFO] = c.reads;
    board.Attach(*ports.line);
    RecordingSink sink;
    Log log(&sink);
    Link link(ports, log, sink);
    link.SetSelectedPort(PortId{3, ""});
    EXPECT_FALSE(link.OpenPort());
    EXPECT_FALSE(link.IsPortReady());
    EXPECT_EQ(sink.Text(), "Opened COM3\n" + c.log_after_opened + "COM port closed.\n");
    EXPECT_EQ(link.BootloaderVersionCode(), 0) << "a refused bootloader leaves the code alone";
    EXPECT_EQ(ports.line->EventsStartingWith("read").size(), static_cast<size_t>(c.reads_done));
    EXPECT_EQ(ports.line->EventsStartingWith("write").size(), 1u) << "chip query must not be sent";
    // ClosePort purges before releasing the handle.
    const auto& ev = ports.line->events;
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[ev.size() - 2], "purge 15");
    EXPECT_EQ(ev.back(), "close");
  }
}

TEST_F(LinkTest, SilentBoardWaitsTwoReadTimeouts) {
  board_.replies[CMD_GET_BOOTLOADER_INFO] = {};
  EXPECT_FALSE(link_.OpenPort());
  // Two reads of 6 bytes at 50 ms a byte plus 800 ms each.
  EXPECT_EQ(clock_.Elapsed(), std::chrono::milliseconds(2 * 1100));
}

TEST_F(LinkTest, VersionCodeFromMajorAndMinorNibbles) {
  const struct {
    uint8_t major, minor, code;
    uint16_t result;
  } cases[] = {{2, 0, 20, 0x0200},
               {2, 7, 27, 0x0207},
               {2, 15, 35, 0x020F},
               {18, 0, 20, 0x1200},
               {3, 1, 31, 0x0301}};
  for (const auto& c : cases) {
    board_.replies[CMD_GET_BOOTLOADER_INFO] = {BootloaderReply(c.major, c.minor)};
    ASSERT_TRUE(link_.OpenPort());
    link_.ClosePort();
    EXPECT_EQ(link_.BootloaderVersionCode(), c.code);
  }
  // Asked directly, the result is the version word.
  board_.replies[CMD_GET_BOOTLOADER_INFO] = {BootloaderReply(2, 15)};
  ASSERT_TRUE(link_.OpenPort());
  EXPECT_EQ(link_.QueryBootloaderInfo(), 0x020F);
  // A later refused bootloader keeps the last accepted code.
  board_.replies[CMD_GET_BOOTLOADER_INFO] = {BootloaderReply(1, 0)};
  EXPECT_EQ(link_.QueryBootloaderInfo(), 0);
  EXPECT_EQ(link_.BootloaderVersionCode(), 35);
}

TEST_F(LinkTest, ChipQueryOutcomes) {
  const struct {
    const char* name;
    std::vector<Bytes> reads;
    bool opens;
    std::vector<Entry> log_after_chip_step;
  } cases[] = {
      {"LPC4353", {ChipReply(0xA001C830, 5)}, true, {{0, "OK.\n"}, {0, "Chip: LPC4353\n"}}},
      {"LPC4310", {ChipReply(0xA00A8B3F, 0)}, true, {{0, "OK.\n"}, {0, "Chip: LPC4310\n"}}},
      {"unknown chip still opens",
       {ChipReply(0x00ABCDEF, 0)},
       true,
       {{0, "OK.\n"}, {1, "Chip: unknown - 00ABCDEF\n"}}},
      {"36 bytes, wrong start",
       {[] {
         Bytes r = ChipReply(0xA001C830, 0);
         r[0] = 0;
         return r;
       }()},
       false,
       {{1, "\nIncorrect received data size. lpSize = 36\n"}, {0, "COM port closed.\n"}}},
      {"36 bytes, wrong command echo",
       {[] {
         Bytes r = ChipReply(0xA001C830, 0);
         r[2] = 1;
         return r;
       }()},
       false,
       {{1, "\nInvalid response format.\n"}, {0, "COM port closed.\n"}}},
      {"status not starting AA",
       {{0x55, 0x01, 0x00, 0x00}},
       false,
       {{1, "\nInvalid response format.\n"}, {0, "COM port closed.\n"}}},
      {"data request error",
       {{0xAA, 0x01, 0x01, 0xAA}},
       false,
       {{1, "\nError data request.\n"}, {0, "COM port closed.\n"}}},
      {"incorrect command",
       {{0xAA, 0xFF, 0xFF, 0x11}},
       false,
       {{1, "\nIncorrect command.\n"}, {0, "COM port closed.\n"}}},
      {"other status: no line of its own",
       {{0xAA, 0x01, 0x00, 0x00}},
       false,
       {{0, "COM port closed.\n"}}},
      {"other error code: no line", {{0xAA, 0xFF, 0xFF, 0xCC}}, false, {{0, "COM port closed.\n"}}},
      {"silent",
       {},
       false,
       {{1, "\nIncorrect received data size. lpSize = 0\n"}, {0, "COM port closed.\n"}}},
      {"ten bytes",
       {Bytes(10, 0xAA)},
       false,
       {{1, "\nIncorrect received data size. lpSize = 10\n"}, {0, "COM port closed.\n"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePortSystem ports;
    Board board;
    board.replies[CMD_GET_CHIP_INFO] = c.reads;
    board.Attach(*ports.line);
    RecordingSink sink;
    Log log(&sink);
    Link link(ports, log, sink);
    link.SetSelectedPort(PortId{4, ""});
    EXPECT_EQ(link.OpenPort(), c.opens);
    EXPECT_EQ(link.IsPortReady(), c.opens);
    std::vector<Entry> expected = {{0, "Opened COM4\n"},
                                   {0, "Get bootloader info... "},
                                   {0, "OK.\nFound bootloader v2.8.\n"},
                                   {0, "Get chip info... "}};
    expected.insert(expected.end(), c.log_after_chip_step.begin(), c.log_after_chip_step.end());
    EXPECT_EQ(sink.Log(), expected);
  }
}

TEST_F(LinkTest, FailedRequestWritesAreReported) {
  line().failing_writes = {{0, 0}};
  EXPECT_FALSE(link_.OpenPort());
  EXPECT_EQ(sink_.Text(),
            "Opened COM3\nGet bootloader info... \nFailed send request.\nCOM port closed.\n");

  sink_.Clear();
  line().write_count = 0;
  line().failing_writes = {{1, 2}};
  EXPECT_FALSE(link_.OpenPort());
  EXPECT_EQ(sink_.Text(),
            "Opened COM3\nGet bootloader info... OK.\nFound bootloader v2.8.\n"
            "Get chip info... \nFailed send request.\nCOM port closed.\n");
}

TEST_F(LinkTest, ClosePortLogsOnlyWhenAPortWasOpen) {
  link_.ClosePort();
  EXPECT_EQ(sink_.Text(), "");
  ASSERT_TRUE(link_.OpenPort());
  sink_.Clear();
  link_.ClosePort();
  EXPECT_EQ(sink_.Log(), (std::vector<Entry>{{0, "COM port closed.\n"}}));
  EXPECT_FALSE(link_.IsPortReady());
  link_.ClosePort();
  EXPECT_EQ(sink_.Log().size(), 1u);
}

TEST_F(LinkTest, RebootConfirmedClosesAndDisablesPortActions) {
  ASSERT_TRUE(link_.OpenPort());
  sink_.Clear();
  line().events.clear();
  EXPECT_TRUE(link_.RebootDevice());
  EXPECT_EQ(sink_.Text(), "Reboot... OK.\nCOM port closed.\n");
  EXPECT_FALSE(link_.IsPortReady());
  EXPECT_EQ(sink_.Controls(),
            (std::vector<std::pair<int, bool>>{
                {IDC_UPDATE_CODE, false}, {IDC_UPDATE_FLASH, false}, {IDC_REBOOT, false}}));
  EXPECT_EQ(line().events, (std::vector<std::string>{"purge 15", "write 55 01 05 51", "read 4 -> 4",
                                                     "purge 15", "close"}));
}

TEST_F(LinkTest, RebootFailuresStillCloseAndDisable) {
  const struct {
    const char* name;
    std::vector<Bytes> reads;
    bool write_fails;
    const char* error;
  } cases[] = {
      {"silent", {}, false, "\nIncorrect received data size. lpSize = 0\n"},
      {"short", {{0xAA, 0x01}}, false, "\nIncorrect received data size. lpSize = 2\n"},
      {"wrong start",
       {{0x00, 0x01, 0x00, 0x00}},
       false,
       "\nIncorrect received data size. lpSize = 4\n"},
      {"not done", {{0xAA, 0x01, 0x05, 0x00}}, false, "\nInvalid response format.\n"},
      {"refused", {{0xAA, 0xFF, 0xFF, 0x11}}, false, "\nInvalid response format.\n"},
      {"write fails", {}, true, "\nFailed send request.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakePortSystem ports;
    Board board;
    board.replies[CMD_REBOOT] = c.reads;
    board.Attach(*ports.line);
    RecordingSink sink;
    Log log(&sink);
    Link link(ports, log, sink);
    link.SetSelectedPort(PortId{3, ""});
    ASSERT_TRUE(link.OpenPort());
    if (c.write_fails) ports.line->failing_writes = {{ports.line->write_count, 0}};
    sink.Clear();
    EXPECT_FALSE(link.RebootDevice());
    EXPECT_EQ(sink.Log(),
              (std::vector<Entry>{{0, "Reboot... "}, {1, c.error}, {0, "COM port closed.\n"}}));
    EXPECT_FALSE(link.IsPortReady());
    EXPECT_EQ(sink.Controls().size(), 3u);
  }
}

TEST_F(LinkTest, RebootGoesThroughTheCloseHandler) {
  ASSERT_TRUE(link_.OpenPort());
  int handled = 0;
  link_.SetCloseHandler([&] {
    ++handled;
    link_.ClosePort();
  });
  link_.RebootDevice();
  EXPECT_EQ(handled, 1);
  EXPECT_FALSE(link_.IsPortReady());
}

TEST_F(LinkTest, WithoutAPortNothingIsSentOrLogged) {
  EXPECT_EQ(link_.QueryBootloaderInfo(), 0);
  EXPECT_FALSE(link_.QueryChipInfo());
  EXPECT_FALSE(link_.RebootDevice());
  EXPECT_FALSE(link_.ProbePort());
  uint8_t buffer[4];
  EXPECT_EQ(link_.ReadReply(buffer, 4), 0u);
  EXPECT_EQ(sink_.Text(), "");
  EXPECT_TRUE(sink_.Controls().empty()) << "the reboot disables nothing without a port";
  EXPECT_TRUE(line().events.empty());
}

TEST_F(LinkTest, ProbeFailsWhenTheLineIsGone) {
  ASSERT_TRUE(link_.OpenPort());
  EXPECT_TRUE(link_.ProbePort());
  line().hung_up = true;
  EXPECT_FALSE(link_.ProbePort());
}

}  // namespace
}  // namespace quelmar::link

namespace quelmar::link {
namespace {

TEST(PortList, AscendingComNumbersOnlyAndZeroOutsideTheList) {
  testing::FakePortSystem ports;
  PortList list;
  EXPECT_EQ(list.EnumeratePorts(ports), 0);
  EXPECT_EQ(list.PortNumberAt(0), 0);

  ports.present = {{17, "/dev/ttyUSB0", false}, {3, "/dev/ttyS2", true}, {128, "/dev/x", false},
                   {0, "/dev/y", false},        {127, "/dev/z", false},  {3, "/dev/dup", false}};
  EXPECT_EQ(list.EnumeratePorts(ports), 3);
  EXPECT_EQ(list.PortNumberAt(0), 3);
  EXPECT_TRUE(list.Entries()[0].busy);
  EXPECT_EQ(list.PortNumberAt(1), 17);
  EXPECT_EQ(list.PortNumberAt(2), 127);
  EXPECT_EQ(list.PortNumberAt(3), 0);
  EXPECT_EQ(list.PortNumberAt(-1), 0);

  // Rebuilt from empty every time.
  ports.present = {{5, "/dev/ttyS4", false}};
  EXPECT_EQ(list.EnumeratePorts(ports), 1);
  EXPECT_EQ(list.PortNumberAt(0), 5);
  EXPECT_EQ(list.PortNumberAt(1), 0);
}

TEST_F(LinkTest, OpenLineOpensWithoutAskingAndTheQuietQuestionLogsNothing) {
  ASSERT_TRUE(link_.OpenLine());
  EXPECT_EQ(sink_.Text(), "Opened COM3\n");
  EXPECT_TRUE(line().writes.empty()) << "opening alone asks the board nothing";
  EXPECT_EQ(ports_.open_count, 1);
  sink_.Clear();

  const struct {
    const char* name;
    std::vector<Bytes> replies;
    bool answers;
  } cases[] = {
      {"bootloader reply", {BootloaderReply(2, 8)}, true},
      {"old bootloader still answers", {BootloaderReply(1, 0)}, true},
      {"silence", {}, false},
      {"short reply", {{0xAA, 0x03, 0x01}}, false},
      {"bad start byte", {{0x55, 0x03, 0x01, 2, 8, 0}}, false},
      {"another command's reply", {{0xAA, 0x03, 0x0A, 2, 8, 0}}, false},
      {"status reply", {{0xAA, 0x01, 0x00, 0x00}}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    board_.replies[CMD_GET_BOOTLOADER_INFO] = c.replies;
    line().writes.clear();
    EXPECT_EQ(link_.BootloaderAnswers(), c.answers);
    ASSERT_EQ(line().writes.size(), 1u);
    EXPECT_EQ(testing::Hex(line().writes[0]), "55 01 01 55");
    line().reads.clear();
  }
  EXPECT_EQ(sink_.Text(), "") << "the quiet question never speaks";
  EXPECT_EQ(ports_.open_count, 1) << "and never reopens the port";
  EXPECT_TRUE(link_.IsPortReady());
  link_.DropLine();
  EXPECT_FALSE(link_.IsPortReady());
  EXPECT_FALSE(link_.BootloaderAnswers()) << "no port, no answer";
  EXPECT_EQ(sink_.Text(), "") << "dropping a line that is gone says nothing either";
}

TEST_F(LinkTest, BootloaderVersionIsTheLastAcceptedWord) {
  EXPECT_EQ(link_.BootloaderVersion(), 0u);
  board_.replies[CMD_GET_BOOTLOADER_INFO] = {BootloaderReply(2, 7)};
  ASSERT_TRUE(link_.OpenPort());
  EXPECT_EQ(link_.BootloaderVersion(), 0x0207);
}

}  // namespace
}  // namespace quelmar::link
