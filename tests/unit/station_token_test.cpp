// The control token as an operator gives it: on the command line, in a
// file an editor wrote, in the environment, two at once, or a weak one.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "station/page_server.h"
#include "support/temp_dir.h"

namespace quelmar::station {
namespace {

constexpr char kGood[] = "0123456789abcdef";  // the shortest taken
constexpr char kOther[] = "fedcba9876543210-other";

class TokenTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::filesystem::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  std::filesystem::path dir_ = testing::MakeTempDir("token");
};

TEST_F(TokenTest, TheFirstGivenIsTakenAndAWeakOneRefusedNamingWhere) {
  const std::string no_file = (dir_ / "absent.txt").string();
  struct Case {
    const char* name;
    std::optional<std::string> option;
    std::optional<std::string> file;  // its contents; kMissing for none at all
    std::optional<std::string> environment;
    TokenChoice choice;
    std::string result;  // the token, or what *why holds
  };
  const std::string kMissing = "\x01missing";
  const Case cases[] = {
      {"none given", {}, {}, {}, TokenChoice::kNone, ""},
      {"--token", kGood, {}, {}, TokenChoice::kChosen, kGood},
      {"--token before the environment", kGood, {}, kOther, TokenChoice::kChosen, kGood},
      {"--token before a weak environment", kGood, {}, "weak", TokenChoice::kChosen, kGood},
      {"the file before the environment",
       {},
       std::string(kGood) + "\n",
       kOther,
       TokenChoice::kChosen,
       kGood},
      {"the environment", {}, {}, kOther, TokenChoice::kChosen, kOther},
      {"the file's first line, its blanks and CR LF cut",
       {},
       std::string(kGood) + " \t\r\n" + kOther + "\n",
       {},
       TokenChoice::kChosen,
       kGood},
      {"a file without a line end", {}, std::string(kOther), {}, TokenChoice::kChosen, kOther},
      {"a file with a byte order mark",
       {},
       "\xEF\xBB\xBF" + std::string(kGood) + "\r\n",
       {},
       TokenChoice::kChosen,
       kGood},
      {"256 characters",
       std::string(256, 'k'),
       {},
       {},
       TokenChoice::kChosen,
       std::string(256, 'k')},
      {"--token and --token-file",
       kGood,
       std::string(kGood),
       {},
       TokenChoice::kRefused,
       "give --token or --token-file, not both"},
      {"an empty --token", "", {}, {}, TokenChoice::kRefused, "--token is empty"},
      {"15 characters",
       "0123456789abcde",
       {},
       {},
       TokenChoice::kRefused,
       "--token is shorter than 16 characters"},
      {"257 characters",
       std::string(257, 'k'),
       {},
       {},
       TokenChoice::kRefused,
       "--token is longer than 256 characters"},
      {"a space inside",
       "0123456789 abcdef",
       {},
       {},
       TokenChoice::kRefused,
       "--token holds a space, or a character other than printable ASCII"},
      {"a letter beyond ASCII",
       "0123456789abcd\xC3\xA9",
       {},
       {},
       TokenChoice::kRefused,
       "--token holds a space, or a character other than printable ASCII"},
      {"a weak environment",
       {},
       {},
       "short",
       TokenChoice::kRefused,
       "QUELMAR_TOKEN is shorter than 16 characters"},
      {"a weak file before a good environment",
       {},
       std::string("short\n"),
       kOther,
       TokenChoice::kRefused,
       "the token in '" + (dir_ / "token.txt").string() + "' is shorter than 16 characters"},
      {"a file of one endless line",
       {},
       std::string(100000, 'k'),
       {},
       TokenChoice::kRefused,
       "the token in '" + (dir_ / "token.txt").string() + "' is longer than 256 characters"},
      {"an empty file",
       {},
       std::string(),
       {},
       TokenChoice::kRefused,
       "the token file '" + (dir_ / "token.txt").string() + "' is empty"},
      {"the token on the second line",
       {},
       "\n" + std::string(kGood) + "\n",
       {},
       TokenChoice::kRefused,
       "the token file '" + (dir_ / "token.txt").string() + "' is empty"},
      {"no such file",
       {},
       kMissing,
       kOther,
       TokenChoice::kUnreadable,
       "cannot read the token file '" + no_file + "': "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TokenSources sources;
    sources.option = c.option;
    sources.environment = c.environment;
    if (c.file) sources.file = *c.file == kMissing ? no_file : Write("token.txt", *c.file);
    std::string token, why;
    EXPECT_EQ(ChooseToken(sources, &token, &why), c.choice) << why;
    if (c.choice == TokenChoice::kChosen || c.choice == TokenChoice::kNone) {
      EXPECT_EQ(token, c.result);
    } else {
      EXPECT_EQ(why.rfind(c.result, 0), 0u) << why;
      EXPECT_EQ(token, "") << "a refused token was handed on";
    }
  }
}

TEST_F(TokenTest, AFolderIsNoTokenFile) {
  TokenSources sources;
  sources.file = dir_.string();
  std::string token, why;
  EXPECT_EQ(ChooseToken(sources, &token, &why), TokenChoice::kUnreadable);
  EXPECT_EQ(why.rfind("cannot read the token file '" + dir_.string() + "': ", 0), 0u) << why;
}

TEST(MadeToken, KeepsTheRulesAndIsNewEachTime) {
  const std::string first = MakeToken();
  EXPECT_EQ(TokenFault(first), std::nullopt) << first;
  EXPECT_NE(MakeToken(), first);
}

}  // namespace
}  // namespace quelmar::station
