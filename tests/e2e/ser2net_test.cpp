// quelmar-cli against boards on "another machine": Debian's ser2net on
// loopback in front of paced simulators on pseudo-terminals, reached as
// rfc2217:// and socket:// ports, by flash and by a station.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "common/log.h"
#include "image/image_store.h"
#include "image/image_writer.h"
#include "link/link.h"
#include "link/posix_port.h"
#include "process.h"
#include "ser2net_server.h"
#include "station_client.h"
#include "support/fake_clock.h"
#include "support/recording_sink.h"
#include "update/update.h"

namespace quelmar::testing {
namespace {

using Bytes = std::vector<uint8_t>;
using Kind = Ser2net::Kind;
using namespace std::chrono_literals;

std::string Both(const RunResult& r) {
  return r.out + r.err;
}

// A block full of what telnet reads as commands: 0xFF alone, doubled, and
// followed by the command bytes (SB, SE, WILL, DO), between erased runs.
Bytes TelnetHostileBytes(size_t n, uint32_t seed) {
  Bytes bytes = RandomBytes(n, seed);
  const uint8_t telnet_bytes[] = {0xFF, 0xFA, 0xF0, 0xFB, 0xFD, 0x0D, 0x00};
  for (size_t i = 0; i < n; ++i) {
    if (i % 512 < 200) {
      bytes[i] = 0xFF;
    } else if (i % 3 == 0) {
      bytes[i] = telnet_bytes[bytes[i] % sizeof telnet_bytes];
    }
  }
  return bytes;
}

// One simulated board behind one ser2net port.
class RemoteBoard {
 public:
  // Paced boards answer at the wire's speed; the others as fast as they
  // can, which keeps the byte-exact cases short.
  // sim_extra: more options for the simulator (a fault, what it does after
  // a reboot).
  explicit RemoteBoard(Kind kind, bool paced = true, std::vector<std::string> options = {},
                       std::vector<std::string> sim_extra = {}) {
    std::vector<std::string> sim_args = sim_extra;
    if (paced) sim_args.push_back("--pace");
    sim_args.insert(sim_args.end(),
                    {"--quiet", "--erase-ms", "200", "--dump-code-a", dir_.File("a.bin"),
                     "--dump-code-b", dir_.File("b.bin"), "--dump-data", dir_.File("data.bin")});
    started_ = sim_.Start(sim_args) && server_.Start({{kind, sim_.device(), options}});
  }
  bool started() const { return started_; }
  std::string Url() const { return server_.Url(0); }
  Ser2net& server() { return server_; }
  // Stops the board so that its dumps are written.
  void StopBoard() { sim_.Stop(); }
  Bytes Dump(const char* name) const { return FileBytes(dir_.File(name)); }
  std::string File(const std::string& name) const { return dir_.File(name); }

 private:
  TempDir dir_;
  SimProcess sim_;
  Ser2net server_;
  bool started_ = false;
};

RunResult Cli(const std::vector<std::string>& args) {
  return RunProgram(QUELMAR_CLI_PATH, args, {}, 60s);
}

TEST(Ser2net, IdentifyAndRebootThroughEachKindOfPort) {
  struct Case {
    Kind kind;
    const char* command;
    const char* tail;  // what follows the identification
  } cases[] = {
      {Kind::kRfc2217, "identify", ""},
      {Kind::kRaw, "identify", ""},
      {Kind::kRfc2217, "reboot", "Reboot... OK.\nCOM port closed.\n"},
      {Kind::kRaw, "reboot", "Reboot... OK.\nCOM port closed.\n"},
  };
  for (const Case& c : cases) {
    RemoteBoard board(c.kind);
    ASSERT_TRUE(board.started());
    SCOPED_TRACE(board.Url() + " " + c.command);
    const RunResult r = Cli({c.command, board.Url()});
    EXPECT_EQ(r.exit_code, 0) << Both(r);
    EXPECT_EQ(r.out, "Opened " + board.Url() +
                         "\nGet bootloader info... OK.\nFound bootloader v2.8.\n"
                         "Get chip info... OK.\nChip: LPC4357\n" +
                         c.tail);
  }
}

TEST(Ser2net, TwoBanksArriveByteExact) {
  for (Kind kind : {Kind::kRfc2217, Kind::kRaw}) {
    RemoteBoard board(kind, false, {"chardelay: false"});
    ASSERT_TRUE(board.started());
    SCOPED_TRACE(board.Url());
    const Bytes bank_a = TelnetHostileBytes(20000, 1);
    const Bytes bank_b = TelnetHostileBytes(6000, 2);
    std::string error;
    ASSERT_TRUE(image::WriteFileAtomically(board.File("app.fcode"),
                                           image::BuildCodeFile(&bank_a, &bank_b, 'E'), &error))
        << error;
    const RunResult r = Cli({"flash", board.Url(), "--code", board.File("app.fcode")});
    EXPECT_EQ(r.exit_code, 0) << Both(r);
    board.StopBoard();
    Bytes expected_a(image::CODE_IMAGE_SIZE, 0xFF), expected_b(image::CODE_IMAGE_SIZE, 0xFF);
    std::copy(bank_a.begin(), bank_a.end(), expected_a.begin());
    std::copy(bank_b.begin(), bank_b.end(), expected_b.begin());
    EXPECT_TRUE(board.Dump("a.bin") == expected_a) << "bank A differs";
    EXPECT_TRUE(board.Dump("b.bin") == expected_b) << "bank B differs";
  }
}

// The data flash's erase wait lasts most of a minute in real time, so the
// data image goes through the platform's port system in this process, its
// waits on a fake clock (the port's read deadlines stay real).
TEST(Ser2net, ErasedHeavyDataImageArrivesByteExact) {
  for (Kind kind : {Kind::kRfc2217, Kind::kRaw}) {
    RemoteBoard board(kind, false, {"chardelay: false"});
    ASSERT_TRUE(board.started());
    SCOPED_TRACE(board.Url());
    RecordingSink sink;
    Log log(&sink);
    auto ports = link::MakePlatformPortSystem();
    link::Link link(*ports, log, sink);
    const auto id = ports->ResolvePort(board.Url());
    ASSERT_TRUE(id.has_value());
    link.SetSelectedPort(*id);
    ASSERT_TRUE(link.OpenPort()) << sink.Text();
    const Bytes data = TelnetHostileBytes(256 * 24, 3);
    const Bytes file = image::BuildDataFile(data, 'D');
    image::ImageStore images(log);
    ASSERT_TRUE(images.LoadDataImageFromMemory(file.data(), file.size()));
    Progress progress(&sink);
    FakeClock clock;
    UpdateFlags flags;
    flags.BusyFlag = 1;
    update::UpdateContext context{link, images, progress, log, clock, flags, sink};
    EXPECT_EQ(update::RunDataFlashUpdate(context), update::UpdateOutcome::kSuccess) << sink.Text();
    link.ClosePort();
    board.StopBoard();
    const Bytes flash = board.Dump("data.bin");
    ASSERT_GE(flash.size(), data.size());
    EXPECT_TRUE(Bytes(flash.begin(), flash.begin() + static_cast<ptrdiff_t>(data.size())) == data)
        << "data flash differs";
  }
}

TEST(Ser2net, SeveralRemoteBoardsAtOnce) {
  TempDir dir;
  SimProcess sims[3];
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(
        sims[i].Start({"--quiet", "--dump-code-a", dir.File("a" + std::to_string(i) + ".bin")}));
  }
  Ser2net server;
  ASSERT_TRUE(server.Start({{Kind::kRfc2217, sims[0].device(), {"chardelay: false"}},
                            {Kind::kRaw, sims[1].device(), {"chardelay: false"}},
                            {Kind::kRfc2217, sims[2].device(), {"chardelay: false"}}}));
  const Bytes image = TelnetHostileBytes(12000, 9);
  std::string error;
  ASSERT_TRUE(image::WriteFileAtomically(dir.File("app.fcode"),
                                         image::BuildCodeFile(&image, nullptr, 'E'), &error));
  const RunResult r =
      Cli({"flash", server.Url(0), server.Url(1), server.Url(2), "--code", dir.File("app.fcode")});
  EXPECT_EQ(r.exit_code, 0) << Both(r);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_NE(r.out.find(server.Url(i) + ": OK\n"), std::string::npos) << r.out;
  }
  Bytes expected(image::CODE_IMAGE_SIZE, 0xFF);
  std::copy(image.begin(), image.end(), expected.begin());
  for (int i = 0; i < 3; ++i) {
    sims[i].Stop();
    EXPECT_TRUE(FileBytes(dir.File("a" + std::to_string(i) + ".bin")) == expected)
        << "board " << i << " differs";
  }
}

// A flash that is writing its first bank, through an rfc2217 port.
class FlashUnderWay {
 public:
  FlashUnderWay() : board_(Kind::kRfc2217) {
    const Bytes image = RandomBytes(120000, 5);
    std::string error;
    EXPECT_TRUE(image::WriteFileAtomically(board_.File("app.fcode"),
                                           image::BuildCodeFile(&image, nullptr, 'E'), &error));
  }
  bool Start() {
    if (!board_.started()) return false;
    if (!flash_.Start(QUELMAR_CLI_PATH,
                      {"flash", board_.Url(), "--code", board_.File("app.fcode")}))
      return false;
    if (!flash_.WaitForOutput("Write CODE", 1, 30s)) {
      ADD_FAILURE() << "the flash did not start writing within 30 s: " << flash_.Out()
                    << flash_.Err();
      return false;
    }
    // Well into the bank.
    std::this_thread::sleep_for(300ms);
    return true;
  }
  RemoteBoard& board() { return board_; }
  BackgroundProgram& flash() { return flash_; }

 private:
  RemoteBoard board_;
  BackgroundProgram flash_;
};

TEST(Ser2net, ServerGoneOrStalledMidBankEndsTheFlashWithAFailure) {
  for (int signal_number : {SIGKILL, SIGSTOP}) {
    SCOPED_TRACE(signal_number == SIGKILL ? "ser2net killed" : "ser2net stopped");
    FlashUnderWay run;
    ASSERT_TRUE(run.Start());
    const auto sent = std::chrono::steady_clock::now();
    run.board().server().Signal(signal_number);
    const int status = run.flash().Wait(30s);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - sent);
    EXPECT_EQ(status, 1) << "quelmar-cli did not end with status 1 within 30 s: "
                         << run.flash().Out() << run.flash().Err();
    const std::string out = run.flash().Out();
    EXPECT_EQ(out.find("Write CODE... OK."), std::string::npos) << out;
    // What the user saw, for the record (not a pass or fail condition).
    const size_t last_line = out.rfind('\n', out.size() >= 2 ? out.size() - 2 : 0);
    std::printf("[ seen ] %s: %lld ms, last line: %s",
                signal_number == SIGKILL ? "killed" : "stopped",
                static_cast<long long>(took.count()),
                last_line == std::string::npos ? out.c_str() : out.c_str() + last_line + 1);
  }
}

TEST(Ser2net, SecondClientIsRefusedAsInUse) {
  FlashUnderWay run;
  ASSERT_TRUE(run.Start());
  const RunResult second = Cli({"identify", run.board().Url()});
  EXPECT_EQ(second.exit_code, 1) << Both(second);
  EXPECT_EQ(second.out, "Failed opening " + run.board().Url() + "\n" + run.board().Url() +
                            " is in use by another client of its server.\n");
  // A code write runs to its end after Ctrl-C; the board is not needed again.
  run.flash().Signal(SIGKILL);
  run.flash().Wait(30s);
}

// A board that talks on its own, over and over: the test writes its end of
// a pseudo-terminal, as a running application would print.
class ChattyBoard {
 public:
  explicit ChattyBoard(std::string line) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        !link::MakeRawBoardEnd(master_)) {
      return;
    }
    device_ = ::ptsname(master_);
    talker_ = std::thread([this, line = std::move(line)] {
      while (!stop_.load()) {
        (void)!::write(master_, line.data(), line.size());
        char heard[256];
        while (::read(master_, heard, sizeof heard) > 0) {
        }
        std::this_thread::sleep_for(2ms);
      }
    });
  }
  ~ChattyBoard() {
    stop_.store(true);
    if (talker_.joinable()) talker_.join();
    if (master_ >= 0) ::close(master_);
  }
  ChattyBoard(const ChattyBoard&) = delete;
  ChattyBoard& operator=(const ChattyBoard&) = delete;
  const std::string& device() const { return device_; }

 private:
  int master_ = -1;
  std::string device_;
  std::atomic<bool> stop_{false};
  std::thread talker_;
};

// A board whose own output says "in use" is not a port taken by another
// client: the port opens, and what the board said is no bootloader reply.
// Where the board's words fall against ser2net's telnet offer differs from
// one connection to the next, so each kind is opened a few times.
TEST(Ser2net, ABoardThatPrintsInUseIsNotABusyPort) {
  for (Kind kind : {Kind::kRfc2217, Kind::kRaw}) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      ChattyBoard board("Flash in use, please wait\r\n");
      ASSERT_FALSE(board.device().empty());
      Ser2net server;
      ASSERT_TRUE(server.Start({{kind, board.device(), {"chardelay: false"}}}));
      SCOPED_TRACE(server.Url(0) + ", attempt " + std::to_string(attempt + 1));
      const RunResult r = Cli({"identify", server.Url(0)});
      EXPECT_EQ(r.exit_code, 1) << Both(r);
      EXPECT_EQ(r.out.rfind("Opened " + server.Url(0) + "\nGet bootloader info... ", 0), 0u)
          << r.out;
      EXPECT_EQ(r.out.find("in use by another client"), std::string::npos) << r.out;
    }
  }
}

TEST(Ser2net, PortsThatAreNotRfc2217AreToldApart) {
  struct Case {
    Kind server_kind;
    const char* expected;
  } cases[] = {
      {Kind::kRaw,
       " gave no telnet answer: not an RFC 2217 port; for a raw TCP port use socket://"},
      {Kind::kPlainTelnet,
       " refused serial-port control (COM-PORT-OPTION): for a raw TCP port use socket://"},
  };
  for (const Case& c : cases) {
    RemoteBoard board(c.server_kind);
    ASSERT_TRUE(board.started());
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(board.server().Port(0));
    const RunResult r = Cli({"identify", url});
    EXPECT_EQ(r.exit_code, 1) << Both(r);
    EXPECT_EQ(r.out, "Failed opening " + url + "\n" + url + c.expected +
                         "127.0.0.1:" + std::to_string(board.server().Port(0)) + ".\n");
  }
}

TEST(Ser2net, NoServerAndNoHostAreSaidInOneLine) {
  // A port nothing listens on: the one ser2net used, after it stopped.
  uint16_t closed_port = 0;
  {
    RemoteBoard board(Kind::kRfc2217);
    ASSERT_TRUE(board.started());
    closed_port = board.server().Port(0);
  }
  const std::string refused = "rfc2217://127.0.0.1:" + std::to_string(closed_port);
  struct Case {
    std::string url;
    std::string said;
  } cases[] = {
      {refused, refused + " refused the connection: no port server listens there.\n"},
      {"socket://no-such-host.invalid:7000", "There is no host no-such-host.invalid for "},
  };
  for (const Case& c : cases) {
    const RunResult r = Cli({"identify", c.url});
    EXPECT_EQ(r.exit_code, 1) << Both(r);
    EXPECT_EQ(r.out.rfind("Failed opening " + c.url + "\n" + c.said, 0), 0u) << r.out;
    EXPECT_EQ(Occurrences(r.out, "\n"), 2) << r.out;
  }
}

// A station's slots on remote ports show what their boards did, for as long
// as the port server is there: OK after a written board, FAILED with its
// failure line after a refused one; GONE only once the server has gone.
TEST(Ser2net, AStationSlotKeepsItsResultWhileItsServerIsThere) {
  RemoteBoard good(Kind::kRfc2217, false, {"chardelay: false"}, {"--after-reboot", "silent"});
  RemoteBoard faulty(Kind::kRfc2217, false, {"chardelay: false"},
                     {"--fault", "error=CC@block=A:3"});
  ASSERT_TRUE(good.started() && faulty.started());
  TempDir dir;
  const Bytes bank_a = RandomBytes(4000, 3);
  std::string error;
  ASSERT_TRUE(image::WriteFileAtomically(dir.File("app.fcode"),
                                         image::BuildCodeFile(&bank_a, nullptr, 'E'), &error))
      << error;
  StationRun station;
  ASSERT_TRUE(station.Start(dir, "ports = [\"" + good.Url() + "\", \"" + faulty.Url() +
                                     "\"]\ncode = \"app.fcode\"\nreboot = true\n"));
  nlohmann::json last;
  ASSERT_TRUE(station.WaitFor(
      [](const nlohmann::json& s) {
        return s["slots"].size() == 2u && s["slots"][0]["boards"] == 1 &&
               s["slots"][1]["boards"] == 1;
      },
      90s, &last))
      << last.dump() << station.program().Err();
  // Three looks at the ports' presence, and more: each state read says the
  // boards' results.
  const auto end = std::chrono::steady_clock::now() + 3500ms;
  int reads = 0;
  while (std::chrono::steady_clock::now() < end) {
    last = station.State();
    ASSERT_TRUE(last.is_object());
    EXPECT_EQ(last["slots"][0]["state"], "ok") << "read " << reads << ": " << last.dump();
    EXPECT_EQ(last["slots"][1]["state"], "failed") << "read " << reads << ": " << last.dump();
    EXPECT_EQ(last["slots"][1]["failure"], "Incorrect CRC. i = 3") << last.dump();
    if (::testing::Test::HasFailure()) break;
    ++reads;
    std::this_thread::sleep_for(100ms);
  }
  // The port server goes: both slots show it.
  good.server().Stop();
  faulty.server().Stop();
  EXPECT_TRUE(station.WaitFor(
      [](const nlohmann::json& s) {
        return s["slots"][0]["state"] == "gone" && s["slots"][1]["state"] == "gone";
      },
      30s, &last))
      << last.dump();
  EXPECT_EQ(station.Stop(), 1) << "a board failed\n"
                               << station.program().Out() << station.program().Err();
  EXPECT_NE(station.program().Out().find(good.Url() + ": board 1: OK\n"), std::string::npos)
      << station.program().Out();
  EXPECT_NE(
      station.program().Out().find(faulty.Url() + ": board 1: FAILED (Incorrect CRC. i = 3)\n"),
      std::string::npos)
      << station.program().Out();
}

}  // namespace
}  // namespace quelmar::testing
