// quelmar-cli station against simulated boards with COM numbers in a port
// folder of the test's own: one port named twice is refused before any
// board is touched; a glob that finds a named port again under its link
// makes no second slot; the control token is the first one given, and a
// weak one is refused.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "image/image_writer.h"
#include "process.h"
#include "station_client.h"

namespace quelmar::testing {
namespace {

using namespace std::chrono_literals;

class StationPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto bank_a = RandomBytes(3000, 5);
    std::string error;
    ASSERT_TRUE(image::WriteFileAtomically(dir_.File("app.fcode"),
                                           image::BuildCodeFile(&bank_a, nullptr, 'E'), &error))
        << error;
  }
  std::vector<std::string> Env() const { return {"QUELMAR_PORT_DIR=" + ports_.path()}; }

  TempDir dir_;
  TempDir ports_;  // mode 0700, ours: a port folder the program trusts
};

TEST_F(StationPorts, OnePortTwiceIsRefusedBeforeAnyBoardIsTouched) {
  SimProcess sim;  // not quiet: its summary counts the requests it saw
  ASSERT_TRUE(sim.Start({"--com", "21"}, Env()));
  const struct {
    const char* what;
    std::vector<std::string> ports;
    std::string first, second;  // as the refusal names them
  } cases[] = {
      {"COM21 and 21", {"COM21", "21"}, "COM21", "21"},
      {"a glob and the link it matches", {"COM2?", sim.device()}, "COM21", sim.device()},
      {"a device path and its COM link", {sim.device(), "COM21"}, sim.device(), "COM21"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string list;
    for (const auto& p : c.ports) list += (list.empty() ? "\"" : ", \"") + p + "\"";
    const std::string profile = dir_.File("twice.toml");
    WriteWholeFile(profile, "ports = [" + list + "]\ncode = \"app.fcode\"\nreboot = true\n" +
                                "listen = \"127.0.0.1:0\"\n");
    const RunResult r = RunProgram(QUELMAR_CLI_PATH, {"station", profile}, Env(), 60s);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_EQ(r.out, "") << "no dashboard is started";
    EXPECT_EQ(r.err, "quelmar-cli: " + profile + ": '" + c.first + "' and '" + c.second +
                         "' are the same port\n");
  }
  sim.Stop();
  EXPECT_NE(sim.Stderr().find(" 0 requests"), std::string::npos) << sim.Stderr();
}

TEST_F(StationPorts, AGlobThatFindsANamedPortUnderALinkMakesNoSecondSlot) {
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--after-reboot", "silent", "--quiet"}, Env()));
  StationRun station;
  ASSERT_TRUE(station.Start(
      dir_, "ports = [\"" + sim.device() + "\", \"COM8?\"]\ncode = \"app.fcode\"\nreboot = true\n",
      Env()));
  nlohmann::json last;
  ASSERT_TRUE(
      station.WaitFor([](const nlohmann::json& s) { return s["slots"].size() == 1u; }, 20s, &last))
      << last.dump();
  // The terminal gets a COM number through a link made while the station
  // runs; the glob finds it at its next look.
  std::filesystem::create_symlink(sim.device(), ports_.File("COM81"));
  const std::string note =
      "quelmar-cli: 'COM81' and '" + sim.device() + "' are the same port: 'COM81' gets no slot.\n";
  const auto end = std::chrono::steady_clock::now() + 20s;
  while (Occurrences(station.program().Err(), note) == 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(station.WaitFor([](const nlohmann::json& s) { return s["slots"][0]["boards"] == 1; },
                              60s, &last))
      << last.dump() << station.program().Err();
  std::this_thread::sleep_for(2500ms);  // two more looks at the ports
  last = station.State();
  EXPECT_EQ(last["slots"].size(), 1u) << last.dump();
  EXPECT_EQ(last["slots"][0]["port"], sim.device());
  EXPECT_EQ(last["slots"][0]["boards"], 1) << "the board was written once";
  EXPECT_EQ(station.Stop(), 0) << station.program().Out() << station.program().Err();
  EXPECT_EQ(Occurrences(station.program().Err(), note), 1) << station.program().Err();
}

// The control token as an operator gives it: the first of --token-file,
// QUELMAR_TOKEN and the profile's is the one taken; a weak one, two at
// once or a file that cannot be read stop the station before it starts.
TEST_F(StationPorts, TheFirstTokenGivenIsTakenAndAWeakOneRefused) {
  const std::string profile = dir_.File("station.toml");
  const std::string listen = "127.0.0.1:" + std::to_string(FreePort());
  const auto write_profile = [&](const std::string& token) {
    WriteWholeFile(profile, "ports = [\"COM9?\"]\ncode = \"app.fcode\"\nlisten = \"" + listen +
                                "\"\ntoken = \"" + token + "\"\n");
  };
  const std::string file = dir_.File("token.txt");
  WriteWholeFile(file, "file-token-0123456789 \r\n");
  const std::string absent = dir_.File("absent.txt");
  const std::string good = "cli-token-0123456789";
  const std::string no_env = "QUELMAR_TOKEN=";  // as if unset
  const std::string env = "QUELMAR_TOKEN=env-token-0123456789";

  const struct {
    const char* what;
    std::vector<std::string> options;
    std::string environment;
    std::string profile_token;
    int exit;
    std::string says;  // the first line on stderr
  } refused[] = {
      {"a short --token",
       {"--token", "0123456789abcde"},
       no_env,
       "profile-token-0123456789",
       2,
       "quelmar-cli: --token is shorter than 16 characters"},
      {"--token twice",
       {"--token", good, "--token", good},
       no_env,
       "profile-token-0123456789",
       2,
       "quelmar-cli: --token may be given once"},
      {"--token and --token-file",
       {"--token", good, "--token-file", file},
       no_env,
       "profile-token-0123456789",
       2,
       "quelmar-cli: give --token or --token-file, not both"},
      {"no token file",
       {"--token-file", absent},
       env,
       "profile-token-0123456789",
       1,
       "quelmar-cli: cannot read the token file '" + absent + "': No such file or directory"},
      {"a short QUELMAR_TOKEN",
       {},
       "QUELMAR_TOKEN=short",
       "profile-token-0123456789",
       2,
       "quelmar-cli: QUELMAR_TOKEN is shorter than 16 characters"},
      {"a short token in the profile",
       {},
       no_env,
       "short",
       1,
       "quelmar-cli: " + profile + ": 'token' is shorter than 16 characters"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.what);
    write_profile(c.profile_token);
    std::vector<std::string> args = {"station", profile};
    args.insert(args.end(), c.options.begin(), c.options.end());
    std::vector<std::string> environment = Env();
    environment.push_back(c.environment);
    const RunResult r = RunProgram(QUELMAR_CLI_PATH, args, environment, 20s);
    EXPECT_EQ(r.exit_code, c.exit) << r.out << r.err;
    EXPECT_EQ(r.out, "") << "the station started";
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.says) << r.err;
  }

  const struct {
    const char* what;
    std::vector<std::string> options;
    std::string environment;
    std::string token;
  } taken[] = {
      {"the file before the environment and the profile",
       {"--token-file", file},
       env,
       "file-token-0123456789"},
      {"the environment before the profile", {}, env, "env-token-0123456789"},
      {"the profile's", {}, no_env, "profile-token-0123456789"},
  };
  write_profile("profile-token-0123456789");
  for (const auto& c : taken) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = {"station", profile};
    args.insert(args.end(), c.options.begin(), c.options.end());
    std::vector<std::string> environment = Env();
    environment.push_back(c.environment);
    BackgroundProgram station;
    ASSERT_TRUE(station.Start(QUELMAR_CLI_PATH, args, environment));
    EXPECT_TRUE(station.WaitForOutput("\nToken: ", 1, 20s)) << station.Out() << station.Err();
    EXPECT_NE(station.Out().find("\nToken: " + c.token + "\n"), std::string::npos) << station.Out();
    station.Signal(SIGINT);
    station.Wait(20s);
  }
}

}  // namespace
}  // namespace quelmar::testing
