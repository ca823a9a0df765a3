// quelmar-cli flash's production options: what a profile fills in, what
// the command line overrides, and the shorthand's refusals.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "args.h"
#include "support/temp_dir.h"

namespace quelmar::cli {
namespace {

namespace fs = std::filesystem;

struct Parsed {
  std::optional<int> done;
  FlashArgs args;
};

Parsed Parse(std::vector<std::string> words) {
  words.insert(words.begin(), "flash");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  Parsed p;
  p.done = ParseFlash(static_cast<int>(argv.size()), argv.data(), "help\n", &p.args);
  return p;
}

class FlashArgsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::MakeTempDir("quelmar_args_");
    profile_ = (dir_ / "line.toml").string();
    std::ofstream(profile_) << "ports = [\"COM3\", \"COM4\"]\ncode = \"app.elf\"\n"
                               "code_sha256 = \"0123456789ABCDEF0123456789ABCDEF"
                               "0123456789ABCDEF0123456789ABCDEF\"\n"
                               "records = \"r/line.jsonl\"\nauto = true\ncount = 5\n"
                               "[[field]]\nname = \"serial\"\nat = 0x1A07FF00\nstart = 7\n"
                               "state = \"serial.state\"\n"
                               "[[field]]\nname = \"mac\"\nat = \"data:0x10\"\nformat = \"mac\"\n"
                               "state = \"mac.state\"\n";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string In(const std::string& name) const { return (dir_ / name).string(); }
  fs::path dir_;
  std::string profile_;
};

TEST_F(FlashArgsTest, TheProfileFillsInWhatTheCommandLineLeavesOut) {
  const Parsed p = Parse({"--profile", profile_});
  ASSERT_FALSE(p.done.has_value());
  EXPECT_EQ(p.args.ports, (std::vector<std::string>{"COM3", "COM4"}));
  EXPECT_EQ(p.args.code, In("app.elf"));
  EXPECT_EQ(p.args.code_sha256, "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
  EXPECT_EQ(p.args.records, (dir_ / "r" / "line.jsonl").lexically_normal().string());
  EXPECT_TRUE(p.args.auto_mode);
  EXPECT_EQ(p.args.count, 5u);
  ASSERT_EQ(p.args.fields.size(), 2u);
  EXPECT_EQ(p.args.fields[0].state_path, In("serial.state"));
  ASSERT_TRUE(p.args.profile.has_value());
  EXPECT_EQ(p.args.profile->file, profile_);
  EXPECT_EQ(p.args.profile->sha256.size(), 64u);
}

TEST_F(FlashArgsTest, TheCommandLineWins) {
  const Parsed p =
      Parse({"COM9", "--profile", profile_, "--code", "other.fcode", "--records", "mine.jsonl",
             "--count", "2", "--serial-at", "data:0x40", "--serial-format", "u32be",
             "--serial-state", "s.state", "--serial-start", "0x10"});
  ASSERT_FALSE(p.done.has_value());
  EXPECT_EQ(p.args.ports, std::vector<std::string>{"COM9"});
  EXPECT_EQ(p.args.code, "other.fcode");
  EXPECT_FALSE(p.args.code_sha256.has_value()) << "the profile's pin goes with its file";
  EXPECT_EQ(p.args.records, "mine.jsonl");
  EXPECT_EQ(p.args.count, 2u);
  // --serial-* replaces the profile's field of that name, the other stays.
  ASSERT_EQ(p.args.fields.size(), 2u);
  EXPECT_EQ(p.args.fields[0].name, "serial");
  EXPECT_EQ(p.args.fields[0].where.place, production::Place::kData);
  EXPECT_EQ(p.args.fields[0].where.offset, 0x40u);
  EXPECT_EQ(p.args.fields[0].format, production::Format::kU32Be);
  EXPECT_EQ(p.args.fields[0].start, 16u);
  EXPECT_EQ(p.args.fields[0].state_path, "s.state");
  EXPECT_EQ(p.args.fields[1].name, "mac");
}

TEST_F(FlashArgsTest, ShorthandAndProfileRefusals) {
  const struct {
    std::vector<std::string> words;
    int status;
  } cases[] = {
      {{"COM3", "--code", "a.fcode", "--serial-at", "0x1A07FF00"}, 2},
      {{"COM3", "--code", "a.fcode", "--serial-state", "s.state"}, 2},
      {{"COM3", "--code", "a.fcode", "--serial-at", "0x1C000000", "--serial-state", "s"}, 2},
      {{"COM3", "--code", "a.fcode", "--serial-at", "0x1A000000", "--serial-state", "s",
        "--serial-format", "text"},
       2},
      {{"COM3", "--code", "a.fcode", "--serial-at", "0x1A000000", "--serial-state", "s",
        "--serial-start", "-1"},
       2},
      {{"COM3", "--code", "a.fcode", "--records", ""}, 2},
      {{"COM3", "--profile", "/nonexistent/line.toml"}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    const Parsed p = Parse(c.words);
    EXPECT_EQ(p.done, c.status);
  }
}

}  // namespace
}  // namespace quelmar::cli
