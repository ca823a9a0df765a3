// Identification and reboot through the real port code over a
// pseudo-terminal, against the simulated board.
#include <gtest/gtest.h>

#include <memory>

#include "common/log.h"
#include "link/link.h"
#include "link/posix_port.h"
#include "process.h"
#include "support/recording_sink.h"

namespace quelmar::testing {
namespace {

using Entry = RecordingSink::Entry;

RunResult Cli(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  return RunProgram(QUELMAR_CLI_PATH, args, env, std::chrono::seconds(60));
}

const char kIdentified[] =
    "Get bootloader info... OK.\n"
    "Found bootloader v2.8.\n"
    "Get chip info... OK.\n"
    "Chip: LPC4357\n";

TEST(Identify, Lpc4357WithBootloader28ByDevicePath) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({}));
  const RunResult r = Cli({"identify", sim.device()});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "Opened " + sim.device() + "\n" + kIdentified);
  EXPECT_EQ(r.err, "");
}

TEST(Identify, ByComNumberThroughTheUsersLinkFolder) {
  TempDir links;
  const std::string env = "QUELMAR_PORT_DIR=" + links.path();
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--com", "97"}, {env}));
  for (const char* port : {"COM97", "97"}) {
    const RunResult r = Cli({"identify", port}, {env});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, std::string("Opened COM97\n") + kIdentified);
  }
  const RunResult listed = Cli({"ports"}, {env});
  EXPECT_EQ(listed.exit_code, 0);
  EXPECT_NE(listed.out.find("COM97"), std::string::npos) << listed.out;
}

TEST(Identify, InProcessSeveritiesAndTheReadRule) {
  // The same exchange through the library, to see severities and timing.
  struct Case {
    const char* name;
    std::vector<std::string> sim_args;
    bool opens;
    std::vector<Entry> after_opened;
    std::chrono::milliseconds at_least{0};
  };
  const Case cases[] = {
      {"unsupported bootloader",
       {"--bootloader", "1.9"},
       false,
       {{0, "Get bootloader info... "},
        {0, "OK.\nFound bootloader v1.9.\n"},
        {1, "Unsupported bootloader !\n"},
        {0, "COM port closed.\n"}}},
      {"silent board: two reads of 1100 ms",
       {"--fault", "silent@cmd=0x01"},
       false,
       {{0, "Get bootloader info... "},
        {1, "FAIL.\nNot reply from device !\n"},
        {0, "COM port closed.\n"}},
       std::chrono::milliseconds(2200)},
      {"unknown chip",
       {"--chip", "0x12345678"},
       true,
       {{0, "Get bootloader info... "},
        {0, "OK.\nFound bootloader v2.8.\n"},
        {0, "Get chip info... "},
        {0, "OK.\n"},
        {1, "Chip: unknown - 12345678\n"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimProcess sim;
    ASSERT_TRUE(sim.Start(c.sim_args));
    RecordingSink sink;
    Log log(&sink);
    auto ports = link::MakePosixPortSystem();
    link::Link board(*ports, log, sink);
    auto id = ports->ResolvePort(sim.device());
    ASSERT_TRUE(id.has_value());
    board.SetSelectedPort(*id);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(board.OpenPort(), c.opens);
    const auto took = std::chrono::steady_clock::now() - start;
    std::vector<Entry> expected = {{0, "Opened " + sim.device() + "\n"}};
    expected.insert(expected.end(), c.after_opened.begin(), c.after_opened.end());
    EXPECT_EQ(sink.Log(), expected);
    // A silent board is asked twice, each read waiting out its deadline.
    EXPECT_GE(took, c.at_least);
  }
}

TEST(Identify, UnsupportedAndSilentBoardsExitWithOne) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--bootloader", "1.9"}));
  const RunResult r = Cli({"identify", sim.device()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "Opened " + sim.device() +
                       "\nGet bootloader info... OK.\nFound bootloader v1.9.\n"
                       "Unsupported bootloader !\nCOM port closed.\n");
}

TEST(Reboot, ConfirmedAndThePortIsClosed) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({}));
  const RunResult r = Cli({"reboot", sim.device()});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "Opened " + sim.device() + "\n" + kIdentified + "Reboot... OK.\nCOM port closed.\n");
  // The board answers again after its restart.
  const RunResult again = Cli({"identify", sim.device()});
  EXPECT_EQ(again.exit_code, 0);
}

TEST(Cli, UsageErrorsExitWithTwo) {
  EXPECT_EQ(Cli({}).exit_code, 2);
  EXPECT_EQ(Cli({"frobnicate"}).exit_code, 2);
  EXPECT_EQ(Cli({"identify"}).exit_code, 2);
  EXPECT_EQ(Cli({"identify", "COM1", "COM2"}).exit_code, 2);
  EXPECT_EQ(Cli({"identify", "--bogus"}).exit_code, 2);
  EXPECT_EQ(Cli({"identify", "COMX"}).exit_code, 2);
  const RunResult help = Cli({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("identify"), std::string::npos);
  const RunResult version = Cli({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out.rfind("quelmar-cli ", 0), 0u);
}

TEST(Cli, MissingPortFailsWithOne) {
  TempDir links;
  const RunResult r = Cli({"identify", "COM120"}, {"QUELMAR_PORT_DIR=" + links.path()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out.rfind("Failed opening COM120\n", 0), 0u) << r.out;
}

}  // namespace
}  // namespace quelmar::testing
