// The pieces of quelmar-cli that keep several boards apart: their sinks on
// one console, record names, and the command line.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "args.h"
#include "boards.h"
#include "cli.h"
#include "station/board_runner.h"
#include "support/file_contents.h"

namespace quelmar::cli {
namespace {

using quelmar::testing::Contents;
using station::BoardSink;

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    out_ = std::tmpfile();
    err_ = std::tmpfile();
    ASSERT_NE(out_, nullptr);
    ASSERT_NE(err_, nullptr);
  }
  void TearDown() override {
    std::fclose(out_);
    std::fclose(err_);
  }
  std::FILE* out_ = nullptr;
  std::FILE* err_ = nullptr;
};

TEST_F(Files, LinesArePrefixedAndPrintedOnlyWhenComplete) {
  std::string out;
  {
    BoardConsole console(out_, err_, {"COM3", "/dev/pts/4"});
    BoardSink a(console, 0, "COM3");
    BoardSink b(console, 1, "/dev/pts/4");
    a.LogText(0, "Erase CODE... ");
    b.LogText(0, "Erase CODE... ");
    EXPECT_EQ(Contents(out_), "") << "half a line waits for its end";
    b.LogText(0, "OK.\nWrite CODE... ");
    a.LogText(1, "\nIncorrect CRC. i = 5\n");
    b.ProgressChanged(ProgressState{5, 2047, 1, ""});  // no terminal: no bar
    b.Flush();
    b.Flush();  // nothing left: nothing printed
    a.ErrorBox("Quelmar Error");
    out = Contents(out_);
  }
  EXPECT_EQ(out,
            "/dev/pts/4: Erase CODE... OK.\n"
            "COM3: Erase CODE... \n"
            "COM3: Incorrect CRC. i = 5\n"
            "/dev/pts/4: Write CODE... \n");
  EXPECT_EQ(Contents(err_), "quelmar-cli: COM3: Quelmar Error\n");
}

TEST_F(Files, MutedSinksSayNothingAndRecordsKeepTheBoardsOwnText) {
  BoardConsole console(out_, err_, {"COM7"});
  BoardSink sink(console, 0, "COM7");
  sink.SetMuted(true);
  sink.LogText(1, "Failed opening COM7\n");
  sink.LogText(0, "Get bootloader info... ");
  sink.SetMuted(false);
  sink.LogText(0, "Opened COM7\n");
  sink.StartRecord();
  sink.LogText(0, "Reboot... ");
  sink.LogText(1, "\nIncorrect received data size. lpSize = 0\n");
  sink.LogText(0, "Write CODE... ");
  sink.Flush();
  EXPECT_EQ(sink.TakeRecord(),
            "Reboot... \nIncorrect received data size. lpSize = 0\nWrite CODE... \n");
  sink.LogText(0, "after the record\n");
  EXPECT_EQ(sink.TakeRecord(), "") << "recording ended with the take";
  EXPECT_EQ(Contents(out_),
            "COM7: Opened COM7\n"
            "COM7: Reboot... \n"
            "COM7: Incorrect received data size. lpSize = 0\n"
            "COM7: Write CODE... \n"
            "COM7: after the record\n");
}

TEST_F(Files, TextWrittenWhileMutedNeverReachesTheRecord) {
  BoardConsole console(out_, err_, {"COM7"});
  BoardSink sink(console, 0, "COM7");
  sink.StartRecord();
  sink.LogText(0, "Reboot... OK.\n");
  sink.SetMuted(true);
  sink.LogText(1, "Failed opening COM7\n");
  sink.ErrorBox("Quelmar Error");
  sink.SetMuted(false);
  sink.LogText(0, "Get chip info... OK.\n");
  EXPECT_EQ(sink.TakeRecord(), "Reboot... OK.\nGet chip info... OK.\n");
  EXPECT_EQ(Contents(err_), "") << "a muted error box says nothing";
}

TEST_F(Files, LinesOfBoardsOnManyThreadsNeverMix) {
  constexpr int kBoards = 8;
  constexpr int kLines = 300;
  std::vector<std::string> labels;
  for (int i = 0; i < kBoards; ++i) labels.push_back("COM" + std::to_string(10 + i));
  {
    BoardConsole console(out_, err_, labels);
    std::vector<std::jthread> threads;
    for (int i = 0; i < kBoards; ++i) {
      threads.emplace_back([&, i] {
        BoardSink sink(console, static_cast<size_t>(i), labels[static_cast<size_t>(i)]);
        // Each line comes in three pieces, as a step and its outcome do.
        for (int k = 0; k < kLines; ++k) {
          sink.LogText(0, "Step " + std::to_string(k) + "... ");
          sink.LogText(0, "OK");
          sink.LogText(0, ".\n");
        }
      });
    }
  }
  std::vector<int> next(kBoards, 0);
  size_t count = 0;
  const std::string out = Contents(out_);
  for (size_t start = 0; start < out.size();) {
    const size_t end = out.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = out.substr(start, end - start);
    start = end + 1;
    const size_t colon = line.find(": ");
    ASSERT_NE(colon, std::string::npos) << line;
    const int board = std::stoi(line.substr(3, colon - 3)) - 10;
    ASSERT_TRUE(board >= 0 && board < kBoards) << line;
    EXPECT_EQ(line.substr(colon + 2), "Step " + std::to_string(next[board]++) + "... OK.");
    ++count;
  }
  EXPECT_EQ(count, size_t{kBoards * kLines});
}

TEST(RecordFileName, SafeForEveryFileSystem) {
  const struct {
    const char* label;
    unsigned board;
    const char* name;
  } cases[] = {
      {"COM3", 0, "20261207-101500-COM3.log"},
      {"COM3", 12, "20261207-101500-COM3-board12.log"},
      {"/dev/pts/4", 0, "20261207-101500-dev_pts_4.log"},
      {"\\\\.\\COM12", 1, "20261207-101500-COM12-board1.log"},
      {"./.hidden", 0, "20261207-101500-hidden.log"},
      {"/", 0, "20261207-101500-port.log"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(RecordFileName("20261207-101500", c.label, c.board), c.name);
  }
}

// Runs the flash parser on a command line; the exit code it ends with, or
// -1 to go on.
int ParseFlashLine(std::vector<std::string> words, FlashArgs* args) {
  words.insert(words.begin(), "flash");
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const auto done = ParseFlash(static_cast<int>(words.size()), argv.data(), "help\n", args);
  return done ? *done : -1;
}

TEST(FlashCommandLine, WhatIsAcceptedAndWhatIsAUsageError) {
  const struct {
    std::vector<std::string> words;
    int exit_code;
  } cases[] = {
      {{"COM3", "--code", "a.fcode"}, -1},
      {{"COM3", "4", "/dev/ttyUSB0", "--data", "d.fdata", "--reboot"}, -1},
      {{"--code", "a.fcode", "COM3", "COM4"}, -1},
      {{"COM3", "--auto", "--count", "5", "--reboot", "--log-dir", "logs"}, -1},
      {{"--help"}, 0},
      {{"COM3", "--code", "a.fcode", "-h"}, 0},
      {{}, 2},
      {{"COM3"}, 2},
      {{"--code", "a.fcode"}, 2},
      {{"COM3", "--code"}, 2},
      {{"COM3", "--code", "a", "--code", "b"}, 2},
      {{"COM3", "--reboot", "--count", "2"}, 2},
      {{"COM3", "--reboot", "--auto", "--count", "0"}, 2},
      {{"COM3", "--reboot", "--auto", "--count", "x"}, 2},
      {{"COM3", "--reboot", "--log-dir", ""}, 2},
      {{"COM3", "--reboot", "--speed", "9600"}, 2},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& w : c.words) line += w + " ";
    SCOPED_TRACE(line);
    FlashArgs args;
    EXPECT_EQ(ParseFlashLine(c.words, &args), c.exit_code);
  }
  FlashArgs args;
  ASSERT_EQ(ParseFlashLine({"COM3", "--code", "a.fcode", "4", "--auto", "--count", "7", "--log-dir",
                            "logs", "--reboot"},
                           &args),
            -1);
  EXPECT_EQ(args.ports, (std::vector<std::string>{"COM3", "4"}));
  EXPECT_EQ(args.code, "a.fcode");
  EXPECT_FALSE(args.data.has_value());
  EXPECT_TRUE(args.reboot && args.auto_mode);
  EXPECT_EQ(args.count, 7u);
  EXPECT_EQ(args.log_dir, "logs");
}

}  // namespace
}  // namespace quelmar::cli
