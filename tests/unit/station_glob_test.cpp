// The station's port globs.
#include "station/port_glob.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quelmar::station
