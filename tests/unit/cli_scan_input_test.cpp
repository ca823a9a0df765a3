// What a terminal (or a keyboard-wedge scanner on it) hands the station:
// its lines become scans whole, whatever bytes they hold.
#include "scan_input.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace quelmar::cli {
namespace {

TEST(ReadScansTest, EveryByteOfALineReachesItsScan) {
  using namespace std::string_literals;
  const struct {
    std::string input;
    std::vector<std::string> scans;
    int too_long;
  } kCases[] = {
      // A NUL byte stays in its scan (the desk refuses it) and the next
      // line is a scan of its own.
      {"A\0B\nPCB-1\n"s, {"A\0B"s, "PCB-1"}, 0},
      {"\0\nPCB-2\r\n"s, {"\0"s, "PCB-2"}, 0},
      {"PCB-3\tPCB-4\rPCB-5\r\n"s, {"PCB-3", "PCB-4", "PCB-5"}, 0},
      // 10 KB without a line end, then a good scan.
      {std::string(10240, 'Z') + "\nPCB-6\n", {"PCB-6"}, 1},
      {std::string(255, 'Q') + "\0"s + std::string(300, 'Q') + "\nPCB-7\n", {"PCB-7"}, 1},
      {"PCB-8", {}, 0},  // its end never came
  };
  for (const auto& c : kCases) {
    std::FILE* in = std::tmpfile();
    ASSERT_NE(in, nullptr);
    ASSERT_EQ(std::fwrite(c.input.data(), 1, c.input.size(), in), c.input.size());
    std::rewind(in);
    std::vector<std::string> scans;
    int too_long = 0;
    ReadScans(
        in, [&](const std::string& scan) { scans.push_back(scan); }, [&] { ++too_long; });
    std::fclose(in);
    EXPECT_EQ(scans, c.scans) << c.input.substr(0, 40);
    EXPECT_EQ(too_long, c.too_long) << c.input.substr(0, 40);
  }
}

}  // namespace
}  // namespace quelmar::cli
