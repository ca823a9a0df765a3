// Scans as an operator and a careless scanner send them: units bound to
// slots in port order, slot labels, refusals, and the line splitting of
// what a scanner sends.
#include "station/scans.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <string>
#include <vector>

namespace quelmar::station {
namespace {

class Desk : public ::testing::Test {
 protected:
  Desk() : desk_({ScanMode::kRequired, "PCB-\\d{4}(\\x1d.*)?", "SLOT-(\\d+)"}) {
    for (const char* port : {"COM3", "COM4", "COM5"}) desk_.AddSlot(port);
  }
  ScanDesk desk_;
};

TEST_F(Desk, ScansFillTheSlotsInPortOrderAndRequiredHoldsTheRest) {
  EXPECT_FALSE(desk_.MayStart(0));
  EXPECT_EQ(desk_.Offer("PCB-0001").line, "scan \"PCB-0001\" bound to COM3 (slot 1)");
  EXPECT_EQ(desk_.Offer("PCB-0002").line, "scan \"PCB-0002\" bound to COM4 (slot 2)");
  EXPECT_TRUE(desk_.MayStart(0));
  EXPECT_TRUE(desk_.MayStart(1));
  EXPECT_FALSE(desk_.MayStart(2));
  EXPECT_EQ(desk_.NextSlot(), "COM5 (slot 3)");
  desk_.Start(0);
  EXPECT_EQ(desk_.RunningUnit(0), "PCB-0001");
  EXPECT_FALSE(desk_.MayStart(0));  // its next board needs its own scan
  EXPECT_EQ(desk_.Offer("PCB-0003").line, "scan \"PCB-0003\" bound to COM5 (slot 3)");
  EXPECT_EQ(desk_.Offer("PCB-0004").line, "scan \"PCB-0004\" refused: no slot waits for a scan");
  desk_.Finish(0);
  EXPECT_EQ(desk_.RunningUnit(0), "");
  EXPECT_EQ(desk_.Offer("PCB-0004").line, "scan \"PCB-0004\" bound to COM3 (slot 1)");
}

TEST_F(Desk, ASlotLabelPicksTheSlotOfTheNextScan) {
  EXPECT_EQ(desk_.Offer("SLOT-3").line, "slot scan \"SLOT-3\": the next scan binds COM5 (slot 3)");
  EXPECT_EQ(desk_.NextSlot(), "COM5 (slot 3)");
  EXPECT_EQ(desk_.Offer("PCB-0042").line, "scan \"PCB-0042\" bound to COM5 (slot 3)");
  EXPECT_EQ(desk_.Offer("PCB-0043").line, "scan \"PCB-0043\" bound to COM3 (slot 1)");
  EXPECT_EQ(desk_.Offer("SLOT-3").line,
            "slot scan \"SLOT-3\" refused: COM5 (slot 3) has scan \"PCB-0042\" bound already");
}

TEST_F(Desk, GoneSlotsWaitForNoScan) {
  EXPECT_EQ(desk_.SetPresent(0, false), "");
  EXPECT_EQ(desk_.Offer("PCB-0001").line, "scan \"PCB-0001\" bound to COM4 (slot 2)");
  // A slot whose port goes drops its scan and its pick: the board is
  // plugged in elsewhere, and the next board there is another one.
  ASSERT_TRUE(desk_.Offer("SLOT-3").taken);
  EXPECT_EQ(desk_.SetPresent(1, false), "PCB-0001");
  EXPECT_EQ(desk_.SetPresent(2, false), "");
  EXPECT_EQ(desk_.NextSlot(), "");
  EXPECT_EQ(desk_.Offer("PCB-0001").line, "scan \"PCB-0001\" refused: no slot waits for a scan");
  EXPECT_EQ(desk_.SetPresent(1, true), "");
  EXPECT_FALSE(desk_.MayStart(1));
}

TEST_F(Desk, AFinishedBoardsUnitStaysWithItsResult) {
  ASSERT_TRUE(desk_.Offer("PCB-0001").taken);
  EXPECT_TRUE(desk_.Busy());
  desk_.Start(0);
  EXPECT_TRUE(desk_.Busy());
  desk_.Finish(0);
  EXPECT_FALSE(desk_.Busy());  // shown, but nothing is left to write
  EXPECT_EQ(desk_.Slots()[0].unit, "PCB-0001");
  EXPECT_TRUE(desk_.Slots()[0].needs);
  ASSERT_TRUE(desk_.Offer("PCB-0002").taken);
  EXPECT_EQ(desk_.Slots()[0].unit, "PCB-0002");
  desk_.Start(0);
  EXPECT_EQ(desk_.Slots()[0].unit, "PCB-0002");
}

TEST_F(Desk, RefusedScansBindNothing) {
  ASSERT_TRUE(desk_.Offer("PCB-0001").taken);
  desk_.Start(0);
  ASSERT_TRUE(desk_.Offer("PCB-0002").taken);
  const struct {
    std::string scan, line;
  } kCases[] = {
      {"PCB-12",
       "scan \"PCB-12\" refused: it does not match scan_pattern \"PCB-\\d{4}(\\x1d.*)?\""},
      {"PCB-0001", "scan \"PCB-0001\" refused: it is bound to COM3 (slot 1) already"},
      {"PCB-0002", "scan \"PCB-0002\" refused: it is bound to COM4 (slot 2) already"},
      {"PCB-0009\a", "scan \"PCB-0009<0x07>\" refused: it holds a control character"},
      {"PCB-\x7f"
       "0009",
       "scan \"PCB-<0x7F>0009\" refused: it holds a control character"},
      {"SLOT-0", "slot scan \"SLOT-0\" refused: the station has slots 1 to 3"},
      {"SLOT-4", "slot scan \"SLOT-4\" refused: the station has slots 1 to 3"},
      {std::string(201, 'A'), "scan refused: longer than 200 bytes"},
      // Bytes that are no UTF-8 (a scanner on another code page), here
      // after a separator the pattern lets anything follow.
      {"PCB-0003\x1d\xff", "scan \"PCB-0003<GS><0xFF>\" refused: it is not UTF-8"},
      {"PCB-0003\x1d\xc3", "scan \"PCB-0003<GS><0xC3>\" refused: it is not UTF-8"},
      {"PCB-0003\x1d\xc0\xaf", "scan \"PCB-0003<GS><0xC0><0xAF>\" refused: it is not UTF-8"},
      {"PCB-0003\x1d\xed\xa0\x80",
       "scan \"PCB-0003<GS><0xED><0xA0><0x80>\" refused: it is not UTF-8"},
      {"PCB-0003\x1d\xc2\x9b"
       "2J",
       "scan \"PCB-0003<GS><U+009B>2J\" refused: it holds a control character"},
  };
  for (const auto& c : kCases) {
    const ScanAnswer answer = desk_.Offer(c.scan);
    EXPECT_FALSE(answer.taken) << c.scan;
    EXPECT_EQ(answer.line, c.line);
  }
  EXPECT_EQ(desk_.NextSlot(), "COM5 (slot 3)");
  EXPECT_FALSE(desk_.MayStart(2));
}

TEST_F(Desk, TheGroupSeparatorIsKeptAndShown) {
  const ScanAnswer answer = desk_.Offer(
      "PCB-0007\x1d"
      "10ABC");
  EXPECT_EQ(answer.line, "scan \"PCB-0007<GS>10ABC\" bound to COM3 (slot 1)");
  EXPECT_EQ(desk_.Slots()[0].unit, "PCB-0007<GS>10ABC");
  // Characters beyond ASCII are kept and shown as they are.
  EXPECT_TRUE(desk_.Offer("PCB-0008\x1d\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xa6").taken);
  EXPECT_EQ(desk_.Slots()[1].unit, "PCB-0008<GS>\xc3\xa9\xe2\x82\xac\xf0\x9f\x93\xa6");
  desk_.Start(0);
  EXPECT_EQ(desk_.RunningUnit(0),
            "PCB-0007\x1d"
            "10ABC");
}

TEST(ScanLinesTest, EndsAndLimits) {
  const struct {
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
    int too_long;
  } kCases[] = {
      {{"A1\r\nB2\nC3\rD4\tE5"}, {"A1", "B2", "C3", "D4"}, 0},
      {{"A1\r", "\nB2\r\n"}, {"A1", "B2"}, 0},  // CR LF split between reads
      {{"\r\n\n\t\r"}, {}, 0},
      {{std::string(201, 'X') + "\r\nOK\r\n"}, {"OK"}, 1},
      {{std::string(200, 'Y') + "\n"}, {std::string(200, 'Y')}, 0},
  };
  for (const auto& c : kCases) {
    ScanLines splitter;
    std::vector<std::string> lines;
    int too_long = 0;
    for (const std::string& chunk : c.chunks)
      splitter.Feed(
          chunk, [&](const std::string& l) { lines.push_back(l); }, [&] { ++too_long; });
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(too_long, c.too_long);
  }
}

#ifndef _WIN32
// A scanner on a pseudo-terminal, as the station opens a real one: its
// lines arrive whole, split reads and all, and an overlong one is refused.
TEST(ScannerReaderTest, LinesFromAPseudoTerminalArriveWhole) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string device = ::ptsname(master);
  std::mutex mutex;
  std::condition_variable came;
  std::vector<std::string> scans, notes;
  ScannerReader reader(
      link::MakePlatformPortSystem(), device, 9600, SystemClock(),
      [&](const std::string& scan) {
        std::lock_guard lock(mutex);
        scans.push_back(scan);
        came.notify_all();
      },
      [&](const std::string& note) {
        std::lock_guard lock(mutex);
        notes.push_back(note);
        came.notify_all();
      });
  reader.Start();
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(came.wait_for(lock, std::chrono::seconds(20), [&] { return !notes.empty(); }));
    EXPECT_EQ(notes[0], "scanner '" + device + "' reads scans");
  }
  const std::string sent =
      "PCB-0001\r\nPCB-00" + std::string("02\tSLOT-1\r") + std::string(250, 'Z') + "\nPCB-0003\n";
  for (size_t at = 0; at < sent.size(); at += 7) {
    const std::string piece = sent.substr(at, 7);
    ASSERT_EQ(::write(master, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
  }
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(came.wait_for(lock, std::chrono::seconds(20), [&] { return scans.size() >= 4; }));
    EXPECT_EQ(scans, (std::vector<std::string>{"PCB-0001", "PCB-0002", "SLOT-1", "PCB-0003"}));
    EXPECT_EQ(notes.back(), "scan refused: longer than 200 bytes");
  }
  reader.Stop();
  ::close(master);
}
#endif

}  // namespace
}  // namespace quelmar::station
