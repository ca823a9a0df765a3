// quelmar-cli flash with several boards, and --auto, against several
// simulators on pseudo-terminals that have COM numbers through links in a
// port folder of the test's own.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include "image/image_store.h"
#include "image/image_writer.h"
#include "process.h"

namespace quelmar::testing {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// What one board logs for a code image in bank A only, when all goes well.
const std::vector<std::string> kGoodBoardLines = {
    "Opened COM{n}",        "Get bootloader info... OK.", "Found bootloader v2.8.",
    "Get chip info... OK.", "Chip: LPC4357",              "Erase CODE... OK.",
    "Write CODE... OK."};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string WithNumber(std::string line, int n) {
  const size_t at = line.find("{n}");
  if (at != std::string::npos) line.replace(at, 3, std::to_string(n));
  return line;
}

// A port folder, an image and simulated boards with COM numbers in it.
class Line {
 public:
  Line() {
    image_ = RandomBytes(300000, 42);
    std::string error;
    EXPECT_TRUE(image::WriteFileAtomically(Code(), image::BuildCodeFile(&image_, nullptr, 'E'),
                                           &error))
        << error;
  }

  // Starts a board as COM<n>; its bank A is dumped when it stops.
  SimProcess& AddBoard(int n, std::vector<std::string> args = {}) {
    args.insert(args.end(), {"--com", std::to_string(n), "--force", "--dump-code-a",
                             BankFile(n, ++starts_[n]), "--quiet"});
    auto sim = std::make_unique<SimProcess>();
    EXPECT_TRUE(sim->Start(args, Env()));
    sims_.push_back(std::move(sim));
    return *sims_.back();
  }
  void StopAll() {
    for (auto& sim : sims_) sim->Stop();
  }
  // The board's bank A holds exactly the image (erased past it).
  bool FlashEqualsImage(int n, int start = 1) const {
    Bytes expected(image::CODE_IMAGE_SIZE, 0xFF);
    std::copy(image_.begin(), image_.end(), expected.begin());
    return FileBytes(BankFile(n, start)) == expected;
  }

  std::vector<std::string> Env() const { return {"QUELMAR_PORT_DIR=" + ports_.path()}; }
  std::string Code() const { return dir_.File("app.fcode"); }
  std::string Dir(const std::string& name) const { return dir_.File(name); }

 private:
  std::string BankFile(int n, int start) const {
    return dir_.File("bank-a-" + std::to_string(n) + "-" + std::to_string(start) + ".bin");
  }

  TempDir dir_;
  TempDir ports_;  // mode 0700, ours: a port folder the program trusts
  Bytes image_;
  std::map<int, int> starts_;
  std::vector<std::unique_ptr<SimProcess>> sims_;
};

// Splits the log by board: every line after the loader's starts with one
// of the labels; what follows the label is that board's own log.
std::map<std::string, std::vector<std::string>> ByBoard(const std::string& out,
                                                        const std::vector<std::string>& labels,
                                                        std::vector<std::string>* strays) {
  std::map<std::string, std::vector<std::string>> boards;
  for (const std::string& line : Lines(out)) {
    bool taken = false;
    for (const std::string& label : labels) {
      if (line.rfind(label + ": ", 0) == 0) {
        boards[label].push_back(line.substr(label.size() + 2));
        taken = true;
      }
    }
    if (!taken) strays->push_back(line);
  }
  return boards;
}

TEST(SeveralBoards, OneFailingABlockLeavesTheOthersWrittenAndIsNamed) {
  // A board that refuses a block, and one whose line hangs up mid-bank:
  // neither stops the others.
  const struct {
    const char* name;
    const char* fault;
    const char* last_line;
  } cases[] = {
      {"refused block", "error=CC@block=A:100", "Incorrect CRC. i = 100"},
      {"hang-up mid-bank", "hangup@block=A:600", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Line line;
    line.AddBoard(11);
    line.AddBoard(12, {"--fault", c.fault});
    line.AddBoard(13);
    const RunResult r = RunProgram(QUELMAR_CLI_PATH,
                                   {"flash", "COM11", "COM12", "COM13", "--code", line.Code()},
                                   line.Env(), 120s);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    line.StopAll();

    std::vector<std::string> strays;
    auto boards = ByBoard(r.out, {"COM11", "COM12", "COM13"}, &strays);
    EXPECT_EQ(strays, std::vector<std::string>{"Loading CODE completed !"})
        << "the loader speaks once, unprefixed; every other line names its board";
    for (int n : {11, 13}) {
      const std::string label = "COM" + std::to_string(n);
      std::vector<std::string> expected;
      for (const auto& l : kGoodBoardLines) expected.push_back(WithNumber(l, n));
      expected.push_back("OK");
      EXPECT_EQ(boards[label], expected) << "a board's lines, whole and in order";
      EXPECT_TRUE(line.FlashEqualsImage(n)) << label;
    }
    const auto& failed = boards["COM12"];
    ASSERT_GE(failed.size(), 4u);
    EXPECT_EQ(failed[failed.size() - 3], "Write CODE... ");
    if (c.last_line != nullptr) {
      EXPECT_EQ(failed[failed.size() - 2], c.last_line);
    }
    EXPECT_EQ(failed.back(), "FAILED");
    // The summary comes last, in the order the ports were given.
    const auto all = Lines(r.out);
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(all.end() - 3, all.end()),
              (std::vector<std::string>{"COM11: OK", "COM12: FAILED", "COM13: OK"}));
  }
}

TEST(SeveralBoards, OnePortTwiceIsAUsageErrorAndTouchesNoBoard) {
  Line line;
  SimProcess sim;  // not quiet: its summary counts the requests it saw
  ASSERT_TRUE(sim.Start({"--com", "21"}, line.Env()));
  const std::vector<std::vector<std::string>> twice = {
      {"COM21", "21"},
      {"COM21", sim.device()},  // a link and its target
      {"COM21", "com21"},
  };
  for (const auto& ports : twice) {
    SCOPED_TRACE(ports[1]);
    std::vector<std::string> args = {"flash"};
    args.insert(args.end(), ports.begin(), ports.end());
    args.insert(args.end(), {"--code", line.Code()});
    const RunResult r = RunProgram(QUELMAR_CLI_PATH, args, line.Env());
    EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("the same port"), std::string::npos) << r.err;
  }
  sim.Stop();
  EXPECT_NE(sim.Stderr().find(" 0 requests"), std::string::npos) << sim.Stderr();
}

TEST(AutoMode, TwoBoardsInTurnOnOnePort) {
  Line line;
  const std::string records = line.Dir("records");
  BackgroundProgram cli;
  ASSERT_TRUE(cli.Start(QUELMAR_CLI_PATH,
                        {"flash", "COM31", "--auto", "--count", "2", "--code", line.Code(),
                         "--reboot", "--log-dir", records},
                        line.Env()));
  // Nothing on the port yet: the program waits without a word of failure.
  ASSERT_TRUE(cli.WaitForOutput("COM31: waiting for a board...\n", 1, 10s)) << cli.Out();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(cli.Out(), "Loading CODE completed !\nCOM31: waiting for a board...\n");

  // The first board runs its application after the reboot: its bootloader
  // goes silent on a port that stays.
  SimProcess& first = line.AddBoard(31, {"--after-reboot", "silent"});
  ASSERT_TRUE(cli.WaitForOutput("COM31: board 1: OK\n", 1, 60s)) << cli.Out();
  ASSERT_TRUE(cli.WaitForOutput("COM31: waiting for a board...\n", 2, 30s))
      << "the silence tells the board has gone\n"
      << cli.Out();
  // It is unplugged; the next board comes under the same number and goes
  // away (hangs up) after its reboot.
  first.Stop();
  line.AddBoard(31, {"--after-reboot", "hangup"});
  EXPECT_EQ(cli.Wait(90s), 0) << cli.Out() << cli.Err();
  line.StopAll();

  std::vector<std::string> expected = {"Loading CODE completed !", "COM31: waiting for a board..."};
  for (int board = 1; board <= 2; ++board) {
    for (const auto& l : kGoodBoardLines) expected.push_back("COM31: " + WithNumber(l, 31));
    expected.push_back("COM31: Reboot... OK.");
    expected.push_back("COM31: board " + std::to_string(board) + ": OK");
    if (board == 1) expected.push_back("COM31: waiting for a board...");
  }
  expected.push_back("Boards: 2 OK, 0 failed");
  EXPECT_EQ(Lines(cli.Out()), expected);
  EXPECT_TRUE(line.FlashEqualsImage(31, 1));
  EXPECT_TRUE(line.FlashEqualsImage(31, 2));

  // One record per board, each with its own log.
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(records))
    files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files.size(), 2u);
  for (int board = 1; board <= 2; ++board) {
    SCOPED_TRACE(board);
    const std::string& file = files[static_cast<size_t>(board - 1)];
    EXPECT_NE(file.find("-COM31-board" + std::to_string(board) + ".log"), std::string::npos)
        << file;
    const auto record = Lines(ReadWholeFile(file));
    ASSERT_GE(record.size(), 8u);
    EXPECT_EQ(record[0].rfind("Start: 20", 0), 0u) << record[0];
    EXPECT_EQ(record[1].rfind("Port: COM31 (/dev/pts/", 0), 0u) << record[1];
    EXPECT_EQ(std::vector<std::string>(record.begin() + 2, record.begin() + 7),
              (std::vector<std::string>{"Board: " + std::to_string(board), "Bootloader: 2.8",
                                        "Chip: LPC4357", "Result: OK", "Log:"}));
    EXPECT_EQ(record[7], "Opened COM31");
    EXPECT_EQ(record.back(), "Reboot... OK.");
  }
}

TEST(AutoMode, CountIsForAllPortsTogetherAndFailuresAreCounted) {
  Line line;
  line.AddBoard(41);
  line.AddBoard(42, {"--fault", "error=BB@block=A:3"});
  const RunResult r = RunProgram(QUELMAR_CLI_PATH,
                                 {"flash", "COM41", "COM42", "--auto", "--count", "2", "--code",
                                  line.Code()},
                                 line.Env(), 120s);
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_EQ(Occurrences(r.out, "COM41: board 1: OK\n"), 1) << r.out;
  EXPECT_EQ(Occurrences(r.out, "COM42: board 1: FAILED\n"), 1) << r.out;
  EXPECT_EQ(Lines(r.out).back(), "Boards: 1 OK, 1 failed");
  line.StopAll();
  EXPECT_TRUE(line.FlashEqualsImage(41));
}

TEST(SeveralBoards, OnePortPrintsAsAlwaysAndARecordKeepsTheSameLog) {
  Line line;
  line.AddBoard(51);
  const std::string records = line.Dir("records");
  const RunResult r =
      RunProgram(QUELMAR_CLI_PATH, {"flash", "COM51", "--code", line.Code(), "--log-dir", records},
                 line.Env(), 120s);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  std::vector<std::string> expected = {"Loading CODE completed !"};
  for (const auto& l : kGoodBoardLines) expected.push_back(WithNumber(l, 51));
  EXPECT_EQ(Lines(r.out), expected) << "one port: no prefixes, no summary";
  line.StopAll();
  EXPECT_TRUE(line.FlashEqualsImage(51));

  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(records))
    files.push_back(entry.path().filename().string());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].substr(15), "-COM51.log") << files[0];
  const auto record = Lines(ReadWholeFile(records + "/" + files[0]));
  ASSERT_EQ(record.size(), 6u + kGoodBoardLines.size());
  EXPECT_EQ(std::vector<std::string>(record.begin() + 2, record.begin() + 6),
            (std::vector<std::string>{"Bootloader: 2.8", "Chip: LPC4357", "Result: OK", "Log:"}));
  EXPECT_EQ(std::vector<std::string>(record.begin() + 6, record.end()),
            std::vector<std::string>(expected.begin() + 1, expected.end()))
      << "the record holds the board's log, not the loader's";
}

TEST(AutoMode, CtrlCWhileWaitingEndsWithTheCount) {
  Line line;
  BackgroundProgram cli;
  ASSERT_TRUE(cli.Start(QUELMAR_CLI_PATH,
                        {"flash", "COM61", "COM62", "--auto", "--code", line.Code()}, line.Env()));
  ASSERT_TRUE(cli.WaitForOutput("waiting for a board...\n", 2, 10s)) << cli.Out();
  cli.Signal(SIGINT);
  EXPECT_EQ(cli.Wait(20s), 0) << cli.Out() << cli.Err();
  EXPECT_EQ(Lines(cli.Out()).back(), "Boards: 0 OK, 0 failed");
  EXPECT_NE(cli.Err().find("stopped by the user."), std::string::npos) << cli.Err();
}

}  // namespace
}  // namespace quelmar::testing
