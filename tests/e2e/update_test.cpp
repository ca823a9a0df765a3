// Code and data flash updates through the real port code over a
// pseudo-terminal against the simulated board; what reaches the board's
// flash is compared with what the image holds.
#include <gtest/gtest.h>

#include <random>

#include "common/controls.h"
#include "common/ids.h"
#include "image/image_store.h"
#include "image/image_writer.h"
#include "link/link.h"
#include "link/posix_port.h"
#include "process.h"
#include "support/fake_clock.h"
#include "support/recording_sink.h"
#include "update/update.h"

namespace quelmar::testing {
namespace {

using update::UpdateOutcome;
using Bytes = std::vector<uint8_t>;

// One board on the simulator, driven in this process. The update's waits go
// through a fake clock, so the data flash's minute-long safety wait costs
// nothing; the port's own read deadlines stay real.
class SimBoard {
 public:
  explicit SimBoard(std::vector<std::string> sim_args) {
    dumps_ = {dir_.File("a.bin"), dir_.File("b.bin"), dir_.File("data.bin")};
    sim_args.insert(sim_args.end(), {"--dump-code-a", dumps_[0], "--dump-code-b", dumps_[1],
                                     "--dump-data", dumps_[2], "--quiet"});
    started_ = sim_.Start(sim_args);
  }

  bool Open() {
    if (!started_) return false;
    auto id = ports_->ResolvePort(sim_.device());
    if (!id) return false;
    link_.SetSelectedPort(*id);
    const bool ok = link_.OpenPort();
    sink_.Clear();
    return ok;
  }

  UpdateOutcome Run(UpdateOutcome (*procedure)(update::UpdateContext&)) {
    flags_.BusyFlag = 1;
    update::UpdateContext context{link_, images_, progress_, log_, clock_, flags_, sink_};
    return procedure(context);
  }

  // Stops the simulator so that it writes its flash dumps.
  void Stop() { sim_.Stop(); }
  Bytes BankA() const { return FileBytes(dumps_[0]); }
  Bytes BankB() const { return FileBytes(dumps_[1]); }
  Bytes Data() const { return FileBytes(dumps_[2]); }

  TempDir dir_;
  SimProcess sim_;
  bool started_ = false;
  std::vector<std::string> dumps_;
  RecordingSink sink_;
  Log log_{&sink_};
  std::unique_ptr<link::PortSystem> ports_ = link::MakePosixPortSystem();
  link::Link link_{*ports_, log_, sink_};
  image::ImageStore images_{log_};
  Progress progress_{&sink_};
  FakeClock clock_;
  UpdateFlags flags_;
};

// What a bank of flash holds after an image of these plain bytes was written.
Bytes ExpectedBank(const Bytes& plain) {
  Bytes bank(image::CODE_IMAGE_SIZE, 0xFF);
  std::copy(plain.begin(), plain.end(), bank.begin());
  return bank;
}

void ExpectEndedUnlocked(const SimBoard& b) {
  EXPECT_EQ(b.flags_.BusyFlag.load(), 0u);
  EXPECT_EQ(b.flags_.AbortFlag.load(), 0u);
  const auto controls = b.sink_.Controls();
  ASSERT_FALSE(controls.empty());
  // The ending re-enables; nothing after it disables.
  EXPECT_EQ(controls.back(), (std::pair<int, bool>{IDC_REBOOT, true}));
  for (const auto& c : controls) EXPECT_TRUE(c.second);
}

TEST(CodeUpdate, BothBanksReachFlashExactlyWithOldAndNewBootloaders) {
  const struct {
    const char* bootloader;
    char encoding;
  } cases[] = {{"2.7", 'F'}, {"2.8", 'E'}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bootloader);
    const Bytes a = RandomBytes(300001, 1);
    const Bytes b = RandomBytes(image::CODE_IMAGE_SIZE, 2);
    SimBoard board({"--bootloader", c.bootloader});
    ASSERT_TRUE(board.Open()) << board.sink_.Text();
    const Bytes file = image::BuildCodeFile(&a, &b, c.encoding);
    ASSERT_TRUE(board.images_.LoadCodeImageFromMemory(file.data(), file.size()));
    board.sink_.Clear();
    EXPECT_EQ(board.Run(update::RunCodeUpdate), UpdateOutcome::kSuccess);
    EXPECT_EQ(board.sink_.Text(),
              "Erase CODE... OK.\nWrite CODE... OK.\nWrite extended CODE... OK.\n");
    EXPECT_EQ(board.progress_.State().position, 0u);
    EXPECT_EQ(board.progress_.State().caption, "");
    ExpectEndedUnlocked(board);
    EXPECT_EQ(board.clock_.SleptMs(), 210u) << "200 ms after the erase, 10 ms before bank B";
    board.Stop();
    EXPECT_TRUE(board.BankA() == ExpectedBank(a)) << "bank A differs from the image";
    EXPECT_TRUE(board.BankB() == ExpectedBank(b)) << "bank B differs from the image";
  }
}

TEST(CodeUpdate, OnlyBankB) {
  const Bytes b = RandomBytes(4096 + 17, 3);
  SimBoard board({});
  ASSERT_TRUE(board.Open());
  const Bytes file = image::BuildCodeFile(nullptr, &b, 'F');
  ASSERT_TRUE(board.images_.LoadCodeImageFromMemory(file.data(), file.size()));
  board.sink_.Clear();
  EXPECT_EQ(board.Run(update::RunCodeUpdate), UpdateOutcome::kSuccess);
  EXPECT_EQ(board.sink_.Text(), "Erase CODE... OK.\nWrite extended CODE... OK.\n");
  board.Stop();
  EXPECT_TRUE(board.BankB() == ExpectedBank(b));
  EXPECT_EQ(board.BankA(), Bytes(image::CODE_IMAGE_SIZE, 0xFF)) << "bank A stays erased";
}

TEST(CodeUpdate, CrcErrorOnBlock5OfBankBStopsWithOneLine) {
  const Bytes a = RandomBytes(10000, 4);
  const Bytes b = RandomBytes(10000, 5);
  SimBoard board({"--fault", "error=CC@block=B:5"});
  ASSERT_TRUE(board.Open());
  const Bytes file = image::BuildCodeFile(&a, &b, 'F');
  ASSERT_TRUE(board.images_.LoadCodeImageFromMemory(file.data(), file.size()));
  board.sink_.Clear();
  EXPECT_EQ(board.Run(update::RunCodeUpdate), UpdateOutcome::kFailure);
  EXPECT_EQ(
      board.sink_.Text(),
      "Erase CODE... OK.\nWrite CODE... OK.\nWrite extended CODE... \nIncorrect CRC. i = 5\n");
  EXPECT_EQ(board.sink_.ErrorText(), "\nIncorrect CRC. i = 5\n");
  // The progress stays where the last accepted block left it.
  EXPECT_EQ(board.progress_.State().position, 5u);
  ExpectEndedUnlocked(board);
  EXPECT_TRUE(board.link_.IsPortReady()) << "the port stays open after a failed update";
  board.Stop();
  EXPECT_TRUE(board.BankA() == ExpectedBank(a));
  const Bytes bank_b = board.BankB();
  ASSERT_EQ(bank_b.size(), image::CODE_IMAGE_SIZE);
  EXPECT_TRUE(std::equal(b.begin(), b.begin() + 5 * 256, bank_b.begin())) << "blocks 0..4 written";
}

TEST(CodeUpdate, HangUpInTheMiddleOfABankFailsAtOnce) {
  const Bytes a = RandomBytes(image::CODE_IMAGE_SIZE, 6);
  SimBoard board({"--fault", "hangup@block=A:1000"});
  ASSERT_TRUE(board.Open());
  const Bytes file = image::BuildCodeFile(&a, nullptr, 'E');
  ASSERT_TRUE(board.images_.LoadCodeImageFromMemory(file.data(), file.size()));
  board.sink_.Clear();
  EXPECT_EQ(board.Run(update::RunCodeUpdate), UpdateOutcome::kFailure);
  const auto errors = board.sink_.ErrorText();
  EXPECT_EQ(board.sink_.Text(), "Erase CODE... OK.\nWrite CODE... " + errors);
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << "one error line: " << errors;
  EXPECT_NE(errors.find("i = 1000"), std::string::npos) << errors;
  // The port code saw the line go (so the exchange did not wait out its
  // read time-outs).
  ASSERT_NE(board.link_.PortHandle(), nullptr);
  EXPECT_TRUE(board.link_.PortHandle()->HungUp());
  ExpectEndedUnlocked(board);
  EXPECT_FALSE(board.link_.ProbePort()) << "the port monitor's probe sees the line gone";
}

TEST(DataUpdate, ImageWithA256ByteTailIsWrittenWhole) {
  const Bytes plain = RandomBytes(256 * 5, 7);
  // An erase that reports done at once is not trusted: the safety wait
  // follows (instantly, on the fake clock).
  SimBoard board({"--erase-ms", "0"});
  ASSERT_TRUE(board.Open());
  const Bytes file = image::BuildDataFile(plain, 'D');
  ASSERT_TRUE(board.images_.LoadDataImageFromMemory(file.data(), file.size()));
  board.sink_.Clear();
  EXPECT_EQ(board.Run(update::RunDataFlashUpdate), UpdateOutcome::kSuccess);
  EXPECT_EQ(board.sink_.Text(),
            "Start erase FLASH... OK.\n"
            "Waiting complete erase FLASH... OK.\n"
            "Failed wait BUSY flag... additional waiting.... OK.\n"
            "Goto write FLASH mode... OK.\n"
            "Write to FLASH... OK.\n");
  EXPECT_EQ(board.sink_.ErrorText(), "Failed wait BUSY flag... additional waiting.... OK.\n");
  ExpectEndedUnlocked(board);
  board.Stop();
  Bytes expected = plain;
  expected.resize(512 * 3, 0xFF);
  EXPECT_TRUE(board.Data() == expected) << "data flash holds " << board.Data().size() << " bytes";
}

TEST(DataUpdate, AbortDuringTheEraseWaitEndsSilently) {
  const Bytes plain = RandomBytes(1024, 8);
  SimBoard board({"--erase-ms", "600000"});
  ASSERT_TRUE(board.Open());
  const Bytes file = image::BuildDataFile(plain, 'F');
  ASSERT_TRUE(board.images_.LoadDataImageFromMemory(file.data(), file.size()));
  board.sink_.Clear();
  // The operator's stop request arrives while the board is still erasing.
  std::thread stopper([&] {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (board.sink_.Text().find("Waiting complete erase FLASH... ") == std::string::npos) {
      if (std::chrono::steady_clock::now() > limit) {
        ADD_FAILURE() << "waited 30 s for \"Waiting complete erase FLASH... \"; stopping anyway";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    board.flags_.AbortFlag = 1;
  });
  EXPECT_EQ(board.Run(update::RunDataFlashUpdate), UpdateOutcome::kAborted);
  stopper.join();
  EXPECT_EQ(board.sink_.Text(), "Start erase FLASH... OK.\nWaiting complete erase FLASH... ");
  EXPECT_EQ(board.progress_.State().caption, "Waiting...");
  ExpectEndedUnlocked(board);
}

TEST(Cli, FlashCodeAndDataThenRebootLeavesTheFilesUntouched) {
  TempDir dir;
  const Bytes a = RandomBytes(70000, 9);
  const Bytes b = RandomBytes(1000, 10);
  const Bytes d = RandomBytes(2048, 11);
  const std::string code = dir.File("app.fcode");
  const std::string data = dir.File("app.fdata");
  std::string error;
  ASSERT_TRUE(image::WriteFileAtomically(code, image::BuildCodeFile(&a, &b, 'E'), &error));
  ASSERT_TRUE(image::WriteFileAtomically(data, image::BuildDataFile(d, 'F'), &error));
  const std::string code_before = ReadWholeFile(code);
  const std::string data_before = ReadWholeFile(data);

  // An erase that takes 25.5 s needs no extra safety wait: the shortest
  // real run through the data flash.
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--erase-ms", "25500", "--dump-code-a", dir.File("a.bin"), "--dump-code-b",
                         dir.File("b.bin"), "--dump-data", dir.File("d.bin"), "--quiet"}));
  const RunResult r = RunProgram(
      QUELMAR_CLI_PATH, {"flash", sim.device(), "--code", code, "--data", data, "--reboot"}, {},
      std::chrono::seconds(90));
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out,
            "Loading CODE completed !\n"
            "Loading FLASH completed !\n"
            "Opened " +
                sim.device() +
                "\n"
                "Get bootloader info... OK.\nFound bootloader v2.8.\n"
                "Get chip info... OK.\nChip: LPC4357\n"
                "Erase CODE... OK.\nWrite CODE... OK.\nWrite extended CODE... OK.\n"
                "Start erase FLASH... OK.\n"
                "Waiting complete erase FLASH... OK.\n"
                "Goto write FLASH mode... OK.\n"
                "Write to FLASH... OK.\n"
                "Reboot... OK.\nCOM port closed.\n");
  EXPECT_EQ(r.err, "") << "no progress noise when stderr is not a terminal";
  sim.Stop();
  EXPECT_TRUE(FileBytes(dir.File("a.bin")) == ExpectedBank(a));
  EXPECT_TRUE(FileBytes(dir.File("b.bin")) == ExpectedBank(b));
  EXPECT_TRUE(FileBytes(dir.File("d.bin")) == d);
  EXPECT_EQ(ReadWholeFile(code), code_before);
  EXPECT_EQ(ReadWholeFile(data), data_before);
}

TEST(Cli, BadFilesStopBeforeTheBoardIsTouched) {
  TempDir dir;
  const std::string broken = dir.File("broken.fcode");
  WriteWholeFile(broken, "CFF_AB");
  SimProcess sim;
  ASSERT_TRUE(sim.Start({}));
  const RunResult r = RunProgram(QUELMAR_CLI_PATH, {"flash", sim.device(), "--code", broken});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "Failed reading file !\n");
  const std::string empty = dir.File("empty.fcode");
  const Bytes none;
  std::string error;
  ASSERT_TRUE(
      image::WriteFileAtomically(empty, image::BuildCodeFile(nullptr, nullptr, 'F'), &error));
  const RunResult e = RunProgram(QUELMAR_CLI_PATH, {"flash", sim.device(), "--code", empty});
  EXPECT_EQ(e.exit_code, 1);
  EXPECT_EQ(e.out, "Loading CODE failed... !!!\n");
  EXPECT_EQ(e.err, "quelmar-cli: " + empty + ": both code banks are empty: nothing to write.\n");
  sim.Stop();
  EXPECT_NE(sim.Stderr().find("0 requests"), std::string::npos) << sim.Stderr();
}

TEST(Cli, FlashUsage) {
  EXPECT_EQ(RunProgram(QUELMAR_CLI_PATH, {"flash"}).exit_code, 2);
  EXPECT_EQ(RunProgram(QUELMAR_CLI_PATH, {"flash", "COM3"}).exit_code, 2);
  EXPECT_EQ(RunProgram(QUELMAR_CLI_PATH, {"flash", "COM3", "--code"}).exit_code, 2);
  EXPECT_EQ(RunProgram(QUELMAR_CLI_PATH, {"flash", "--help"}).exit_code, 0);
}

}  // namespace
}  // namespace quelmar::testing
