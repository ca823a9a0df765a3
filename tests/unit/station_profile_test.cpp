// The station's profile, its port globs and the images' SHA-256.
#include <gtest/gtest.h>

#include <fstream>

#include "station/sha256.h"
#include "station/station_profile.h"
#include "support/temp_dir.h"

namespace quelmar::station {
namespace {

TEST(GlobTest, MatchesAsAShellWould) {
  struct Case {
    const char* glob;
    const char* name;
    bool match;
  };
  const Case cases[] = {
      {"/dev/ttyUSB*", "/dev/ttyUSB0", true},
      {"/dev/ttyUSB*", "/dev/ttyUSB12", true},
      {"/dev/ttyUSB*", "/dev/ttyUSB", true},
      {"/dev/ttyUSB*", "/dev/ttyACM0", false},
      {"/dev/ttyUSB*", "/dev/ttyUSB0/x", true},
      {"COM*", "COM3", true},
      {"COM*", "XCOM3", false},
      {"COM?", "COM3", true},
      {"COM?", "COM12", false},
      {"COM1?", "COM12", true},
      {"COM1?", "COM1", false},
      {"*USB*", "/dev/ttyUSB3", true},
      {"a*b*c", "aXbYc", true},
      {"a*b*c", "aXbYcZ", false},
      {"a*b*c", "abbbc", true},
      {"*", "", true},
      {"?", "", false},
      {"COM3", "COM3", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(GlobMatch(c.glob, c.name), c.match) << c.glob << " ~ " << c.name;
  EXPECT_TRUE(IsGlob("COM*"));
  EXPECT_TRUE(IsGlob("/dev/tty?"));
  EXPECT_FALSE(IsGlob("/dev/ttyUSB0"));
}

TEST(Sha256Test, KnownDigests) {
  struct Case {
    std::string input;
    const char* hex;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // 56 bytes: the length no longer fits the first block.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    Sha256 whole;
    whole.Update(c.input.data(), c.input.size());
    EXPECT_EQ(HexOf(whole.Finish()), c.hex) << c.input.size();
    // Fed in uneven pieces, the digest is the same.
    Sha256 pieces;
    for (size_t at = 0, step = 1; at < c.input.size(); at += step, step = step * 3 % 101 + 1)
      pieces.Update(c.input.data() + at, std::min(step, c.input.size() - at));
    EXPECT_EQ(HexOf(pieces.Finish()), c.hex) << c.input.size();
  }
}

TEST(StationProfileTest, ReadsKeysAndResolvesPathsAgainstItsFolder) {
  const std::string dir = testing::MakeTempDir("profile").string();
  const std::string path = dir + "/line3.toml";
  std::ofstream(path) << "ports = [\"/dev/ttyUSB*\", \"COM7\"]\n"
                         "code = \"fw/app.elf\"\n"
                         "data = \"cal.fdata\"\n"
                         "reboot = true\n"
                         "log_dir = \"records\"\n"
                         "listen = \"0.0.0.0:8081\"\n"
                         "token = \"t0k\"\n";
  StationProfile p;
  std::string error;
  ASSERT_TRUE(LoadStationProfile(path, &p, &error)) << error;
  EXPECT_EQ(p.name, "line3");
  EXPECT_EQ(p.ports, (std::vector<std::string>{"/dev/ttyUSB*", "COM7"}));
  EXPECT_EQ(p.code, dir + "/fw/app.elf");
  EXPECT_EQ(p.data, dir + "/cal.fdata");
  EXPECT_EQ(p.log_dir, dir + "/records");
  EXPECT_TRUE(p.reboot);
  EXPECT_EQ(p.listen, "0.0.0.0:8081");
  EXPECT_EQ(p.token, "t0k");
}

TEST(StationProfileTest, RefusalsNameTheLineAndKey) {
  struct Case {
    const char* text;
    const char* error;  // what the error line holds after the file name
  };
  const Case cases[] = {
      {"ports = [\"COM1\"]\ncode = \"a\"\ncolour = 3\n", ":3: unknown key 'colour'"},
      {"ports = [\"COM1\"]\ncode = 5\n", ":2: 'code' must be a string"},
      {"ports = \"COM1\"\ncode = \"a\"\n", ":1: 'ports' must be a list"},
      {"ports = []\ncode = \"a\"\n", ":1: 'ports' must be a list"},
      {"ports = [\"COM1\", 3]\ncode = \"a\"\n", ":1: 'ports' must be a list"},
      {"ports = [\"COM1\"]\nreboot = \"yes\"\n", ":2: 'reboot' must be true or false"},
      {"ports = [\"COM1\"]\ncode = \"a\"\n[[field]]\nname = \"serial\"\n",
       ":3: 'field' is not supported by the station yet"},
      {"code = \"a\"\n", ": no 'ports'"},
      {"ports = [\"COM1\"]\n", ": nothing to do"},
      {"ports = [\"COM1\"\ncode = \"a\"\n", ":2: "},  // a TOML syntax error
  };
  const std::string dir = testing::MakeTempDir("profile").string();
  const std::string path = dir + "/p.toml";
  for (const Case& c : cases) {
    std::ofstream(path, std::ios::trunc) << c.text;
    StationProfile p;
    std::string error;
    EXPECT_FALSE(LoadStationProfile(path, &p, &error)) << c.text;
    EXPECT_EQ(error.rfind(path + c.error, 0), 0u) << error;
  }
  std::string error;
  StationProfile p;
  EXPECT_FALSE(LoadStationProfile(dir + "/missing.toml", &p, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace quelmar::station
