// Values as an operator edits them: a list with one value in two spellings,
// saved with a byte order mark, with stray blanks; a list changed above the
// values already given; a MAC block that runs out; a folder with a name
// beyond ASCII. On Windows also the lock file that a holder keeps, and a
// state file that another program holds for a moment.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "common/utf8_path.h"
#include "image/image_writer.h"
#include "production/durable_file.h"
#include "production/plan.h"
#include "production/profile.h"
#include "production/value_list.h"
#include "support/temp_dir.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace quelmar::production {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

void WriteText(const std::string& utf8_path, const std::string& text) {
  std::FILE* file = OpenFile(utf8_path, "wb");
  ASSERT_NE(file, nullptr) << utf8_path;
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
}
std::string ReadText(const std::string& utf8_path) {
  std::string text;
  if (std::FILE* file = OpenFile(utf8_path, "rb")) {
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fclose(file);
  }
  return text;
}

FieldDef ListField(const std::string& format, uint32_t size = 0) {
  FieldDef f;
  f.name = "v";
  std::string why;
  EXPECT_TRUE(ParseFormat(format, &f.format, &f.pattern, &why)) << why;
  f.size = size;
  EXPECT_TRUE(SettleSize(&f, size != 0, &why)) << why;
  return f;
}

// The list's canonical values, each followed by '|', or the refusal (which
// keeps no value).
std::string ReadAs(const std::string& format, const std::string& bytes, const std::string& file) {
  std::vector<ListValue> values;
  std::string why;
  if (!ReadValueList(ListField(format, format == "text" ? 12 : 0), bytes, file, &values, &why)) {
    EXPECT_TRUE(values.empty()) << why;
    return why;
  }
  std::string result;
  for (const auto& v : values) result += v.canonical + "|";
  return result;
}

TEST(ValueList, OneValueInTwoSpellingsIsRefusedNamingBothLines) {
  struct Case {
    const char* name;
    const char* format;
    std::string bytes;
    std::string result;  // the canonical values, or the refusal
  };
  const Case cases[] = {
      {"a MAC in two spellings", "mac", "02:51:4D:00:00:2A\n02:51:4D:00:00:2B\n02-51-4d-00-00-2a\n",
       "'l.txt' lines 1 and 3 hold the same value, 02:51:4D:00:00:2A"},
      {"16 and 0x10", "u32le", "7\n16\n\n0x10\n", "'l.txt' lines 2 and 4 hold the same value, 16"},
      {"016 is 16", "u32be", "016\r\n7\r\n16\r\n", "'l.txt' lines 1 and 3 hold the same value, 16"},
      {"a pattern's numbers by value", "text:QM-%04u", "9\n0009\n",
       "'l.txt' lines 1 and 2 hold the same value, 9"},
      {"text as it stands", "text", "A-1\na-1\nA-1\n",
       "'l.txt' lines 1 and 3 hold the same value, \"A-1\""},
      {"a byte order mark", "text",
       "\xEF\xBB\xBF"
       "A-1\nA-2\n",
       "A-1|A-2|"},
      {"a byte order mark before a MAC", "mac",
       "\xEF\xBB\xBF"
       "02-51-4d-00-00-2a\n",
       "02:51:4D:00:00:2A|"},
      {"a leading blank", "text", "A-1\n A-2\n", "'l.txt' line 2: the value begins with a blank"},
      {"a trailing blank", "text", "A-1 \r\n", "'l.txt' line 1: the value ends with a blank"},
      {"a tab", "text", "A-1\n\nA\t2\n",
       "'l.txt' line 3: the value holds a control character (0x09)"},
      {"a lone carriage return", "text", "A\r2\n",
       "'l.txt' line 1: the value holds a control character (0x0D)"},
      {"an escape", "text", "A-1\nA-2\x1B[2J\n",
       "'l.txt' line 2: the value holds a control character (0x1B)"},
      {"a line of blanks", "text", "A-1\n   \nA-2\n",
       "'l.txt' line 2: the value begins with a blank"},
      // What a label list pasted from a web page or a spreadsheet brings:
      // characters that print as nothing, so "A-1" and "A-1" would be two
      // values and two boards with one label.
      {"a trailing no-break space", "text", "A-1\nA-1\xC2\xA0\n",
       "'l.txt' line 2: the value ends with a blank"},
      {"a leading ideographic space", "text",
       "\xE3\x80\x80"
       "A-2\n",
       "'l.txt' line 1: the value begins with a blank"},
      {"an 8-bit escape (C1 CSI)", "text",
       "A-1\nA\xC2\x9B"
       "2J\n",
       "'l.txt' line 2: the value holds a control character (U+009B)"},
      {"a zero-width space", "text", "A-1\nA\xE2\x80\x8B-1\n",
       "'l.txt' line 2: the value holds an invisible character (U+200B)"},
      {"a right-to-left override", "text",
       "A-\xE2\x80\xAE"
       "1\n",
       "'l.txt' line 1: the value holds an invisible character (U+202E)"},
      {"a batch merged with cat, its byte order mark on line 3", "text",
       "A-1\nA-2\n\xEF\xBB\xBF"
       "A-3\n",
       "'l.txt' line 3: the value holds an invisible character (U+FEFF)"},
      {"blanks around a number", "u32le", " 16\n", "'l.txt' line 1: ' 16' is no number"},
      {"numbers canonical", "u64le", "0x10\n017\n18", "16|17|18|"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ReadAs(c.format, c.bytes, "l.txt"), c.result);
  }
}

// A list saved by a spreadsheet as "ANSI", or cut in the middle of a
// character: the board would get bytes the records and the line's database
// cannot hold as they are. Refused whatever the format, naming the line;
// the characters at UTF-8's limits go through.
TEST(ValueList, ALineThatIsNotUtf8IsRefusedNamingTheFileAndTheLine) {
  struct Case {
    const char* name;
    const char* format;
    std::string bytes;
    std::string result;  // the values, or the refusal
  };
  const Case cases[] = {
      {"Latin-1 on line 7 of a CRLF list", "text",
       "A-1\r\nA-2\r\n\r\nA-4\r\nA-5\r\nA-6\r\nPr\xFC"
       "f-7\r\n",
       "'macs.txt' line 7: not UTF-8 (byte 0xFC at character 3); save the list as UTF-8"},
      {"Windows-1252's euro sign, a lone continuation byte", "text", "\x80-1\n",
       "'macs.txt' line 1: not UTF-8 (byte 0x80 at character 1); save the list as UTF-8"},
      {"counted in characters, not bytes", "text",
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"
       "\xE9\n",
       "'macs.txt' line 1: not UTF-8 (byte 0xE9 at character 4); save the list as UTF-8"},
      {"a character cut short at the line's end", "text", "A-1\nA-\xE2\x82\nA-3\n",
       "'macs.txt' line 2: not UTF-8 (byte 0xE2 at character 3); save the list as UTF-8"},
      {"a character cut short by the end of the file", "text", "A-1\nA-\xF0\x9F\x98",
       "'macs.txt' line 2: not UTF-8 (byte 0xF0 at character 3); save the list as UTF-8"},
      {"a character cut short by the next one", "text",
       "\xE2\x82"
       "A\n",
       "'macs.txt' line 1: not UTF-8 (byte 0xE2 at character 1); save the list as UTF-8"},
      {"an overlong slash", "text",
       "A\xC0\xAF"
       "1\n",
       "'macs.txt' line 1: not UTF-8 (byte 0xC0 at character 2); save the list as UTF-8"},
      {"an overlong three-byte form", "text", "\xE0\x80\xAF\n",
       "'macs.txt' line 1: not UTF-8 (byte 0xE0 at character 1); save the list as UTF-8"},
      {"an overlong four-byte form", "text", "\xF0\x8F\xBF\xBF\n",
       "'macs.txt' line 1: not UTF-8 (byte 0xF0 at character 1); save the list as UTF-8"},
      {"a surrogate", "text", "A\xED\xA0\x80\n",
       "'macs.txt' line 1: not UTF-8 (byte 0xED at character 2); save the list as UTF-8"},
      {"beyond U+10FFFF", "text", "\xF4\x90\x80\x80\n",
       "'macs.txt' line 1: not UTF-8 (byte 0xF4 at character 1); save the list as UTF-8"},
      {"a lead byte no character has", "text", "\xF8\x88\x80\x80\x80\n",
       "'macs.txt' line 1: not UTF-8 (byte 0xF8 at character 1); save the list as UTF-8"},
      {"after a byte order mark", "text",
       "\xEF\xBB\xBF"
       "\xFC\n",
       "'macs.txt' line 1: not UTF-8 (byte 0xFC at character 1); save the list as UTF-8"},
      {"in a MAC list", "mac", "02:51:4D:00:00:2A\n02:51:4D:00:00:2\xFC\n",
       "'macs.txt' line 2: not UTF-8 (byte 0xFC at character 17); save the list as UTF-8"},
      {"in a number list", "u32le", "1\n2\xA0\n",
       "'macs.txt' line 2: not UTF-8 (byte 0xA0 at character 2); save the list as UTF-8"},
      {"in a pattern's list", "text:QM-%04u", "9\n\xB9\n",
       "'macs.txt' line 2: not UTF-8 (byte 0xB9 at character 1); save the list as UTF-8"},
      {"the characters at UTF-8's limits go through", "text",
       "\xC2\xA1\n\xDF\xBF\n\xE0\xA0\x80\n\xED\x9F\xBF\n\xEE\x80\x80\n\xEF\xBF\xBD\n"
       "\xF0\x90\x80\x80\n\xF4\x8F\xBF\xBF\n",
       "\xC2\xA1|\xDF\xBF|\xE0\xA0\x80|\xED\x9F\xBF|\xEE\x80\x80|\xEF\xBF\xBD|"
       "\xF0\x90\x80\x80|\xF4\x8F\xBF\xBF|"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ReadAs(c.format, c.bytes, "macs.txt"), c.result);
  }
}

TEST(ValueList, EachValueKeepsItsLineAndIsWrittenAsItsCanonicalText) {
  const FieldDef mac = ListField("mac");
  std::vector<ListValue> values;
  std::string why;
  ASSERT_TRUE(ReadValueList(mac, "\xEF\xBB\xBF\n02-51-4d-00-00-2a\n\n02:51:4d:00:01:ff\n", "m",
                            &values, &why))
      << why;
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].line, 2u);
  EXPECT_EQ(values[1].line, 4u);
  EXPECT_EQ(values[1].value.number, 0x02514D0001FFu);
  EXPECT_EQ(CanonicalText(mac, values[1].value), "02:51:4D:00:01:FF");
  EXPECT_EQ(CanonicalText(mac, FieldValue{0x02514D0001FF, "", false}), "02:51:4D:00:01:FF");
  // The first board of a list saved with a byte order mark gets its value,
  // not EF BB BF.
  const FieldDef text = ListField("text", 6);
  ASSERT_TRUE(ReadValueList(text,
                            "\xEF\xBB\xBF"
                            "AB\n",
                            "t", &values, &why))
      << why;
  Bytes bytes;
  ASSERT_TRUE(EncodeValue(text, values[0].value, &bytes, &why)) << why;
  EXPECT_EQ(bytes, (Bytes{'A', 'B', 0, 0, 0, 0}));
}

// A list source, run after run: the images need a place for the field.
class ListRunTest : public ::testing::Test {
 public:
  void SetUp() override {
    dir_ = testing::MakeTempDir("quelmar_values_");
    ASSERT_FALSE(dir_.empty());
    Bytes code(1000, 0x11);
    const Bytes file = image::BuildCodeFile(&code, nullptr, 'E');
    ASSERT_TRUE(images_.LoadCodeImageFromMemory(file.data(), file.size()));
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  FieldDef Field(const std::string& format, uint32_t size = 0) {
    FieldDef f = ListField(format, size);
    std::string why;
    EXPECT_TRUE(ParseWhere("0x1A07FF00", &f.where, &why));
    f.list_path = Utf8FromPath(dir_ / "list.txt");
    f.state_path = Utf8FromPath(dir_ / "list.state");
    return f;
  }

  // The values a fresh run gives until used up (at most n), then the line
  // that stopped it: "A-1|A-2|used up: ..." or "refused: ...".
  std::string Run(const FieldDef& f, int n) {
    FieldPlan plan;
    std::string why;
    if (!plan.Prepare({f}, images_, &why)) return "refused: " + why;
    std::string out;
    for (int i = 0; i < n; ++i) {
      std::vector<FieldValue> values;
      const auto reserved = plan.Reserve(&values, &why);
      if (reserved != ValueSource::Reserved::kOk)
        return out + (reserved == ValueSource::Reserved::kUsedUp ? "used up: " : "failed: ") + why;
      const ShownValue shown = ShowValue(f, values[0]);
      out += (shown.is_number ? std::to_string(shown.number) : shown.text) + "|";
    }
    return out;
  }

  fs::path dir_;
  Log log_;
  image::ImageStore images_{log_};
};

TEST_F(ListRunTest, AListChangedAboveWhatWasGivenIsRefusedAndAppendingGoesOn) {
  const std::string list = Utf8FromPath(dir_ / "list.txt");
  const std::string state = Utf8FromPath(dir_ / "list.state");
  const std::string changed = "refused: field 'v' at 0x1A07FF00: the first 2 values of '" + list +
                              "' were given already and have changed since (the last given was ";
  const std::string keep = ": keep them as they were and add new values at the end";
  struct Case {
    const char* name;
    std::string before, given, after;
    std::string result;  // of a run on the list after
  };
  const Case cases[] = {
      {"a line put on top", "A-1\nA-2\nA-3\n", "A-1|A-2|", "A-0\nA-1\nA-2\nA-3\n",
       changed + "\"A-2\")" + keep},
      {"sorted", "C-1\nA-1\nB-1\n", "C-1|A-1|", "A-1\nB-1\nC-1\n", changed + "\"A-1\")" + keep},
      {"a batch merged in", "A-1\nA-3\nA-5\n", "A-1|A-3|", "A-1\nA-2\nA-3\nA-4\nA-5\n",
       changed + "\"A-3\")" + keep},
      {"the first value replaced", "A-1\nA-2\nA-3\n", "A-1|A-2|", "X-1\nA-2\nA-3\n",
       changed + "\"A-2\")" + keep},
      {"cut above", "A-1\nA-2\nA-3\n", "A-1|A-2|", "A-3\n",
       "refused: field 'v' at 0x1A07FF00: the state file '" + state +
           "' says 2 values are used, but '" + list + "' has only 1"},
      {"appended at the end", "A-1\nA-2\n", "A-1|A-2|", "A-1\nA-2\nA-3\nA-4\n",
       "A-3|A-4|used up: field 'v': the list '" + list + "' is used up (4 values)"},
      {"a byte order mark and empty lines added", "A-1\nA-2\nA-3\n", "A-1|A-2|",
       "\xEF\xBB\xBF\nA-1\n\nA-2\r\nA-3\n",
       "A-3|used up: field 'v': the list '" + list + "' is used up (3 values)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FieldDef f = Field("text", 8);
    fs::remove(dir_ / "list.state");
    WriteText(list, c.before);
    ASSERT_EQ(Run(f, 2), c.given);
    WriteText(list, c.after);
    EXPECT_EQ(Run(f, 5), c.result);
  }
}

TEST_F(ListRunTest, AStateOf110IsReadAndGainsWhatWasGivenOnItsNextWrite) {
  const FieldDef f = Field("mac");
  WriteText(f.list_path, "02:51:4D:00:00:01\n02:51:4D:00:00:02\n02-51-4d-00-00-0a\n");
  WriteText(f.state_path, "used 2\n");
  EXPECT_EQ(Run(f, 1), "02:51:4D:00:00:0A|");
  const std::string after = ReadText(f.state_path);
  EXPECT_EQ(after.substr(0, after.find("sha256")), "used 3\nlast 02:51:4D:00:00:0A\n");
  // And from then on a change above is seen: the first value respelled
  // stays the same value, a new one on top does not.
  WriteText(f.list_path,
            "02-51-4d-00-00-01\n02:51:4D:00:00:02\n02:51:4D:00:00:0A\n02:51:4D:00:00:0B\n");
  EXPECT_EQ(Run(f, 1), "02:51:4D:00:00:0B|");
  WriteText(f.list_path,
            "02:51:4D:00:00:00\n02:51:4D:00:00:01\n02:51:4D:00:00:02\n02:51:4D:00:00:0A\n"
            "02:51:4D:00:00:0B\n02:51:4D:00:00:0C\n");
  EXPECT_EQ(Run(f, 1).substr(0, 50), "refused: field 'v' at 0x1A07FF00: the first 4 valu");
}

TEST_F(ListRunTest, AMacCounterNeverCarriesIntoTheNextBlockOrTheMulticastBit) {
  struct Case {
    const char* name;
    const char* start;
    const char* end;  // nullptr: none
    uint64_t step;
    std::string result;
  };
  const Case cases[] = {
      {"no end: the low 24 bits of start", "02:51:4D:FF:FF:FE", nullptr, 1,
       "02:51:4D:FF:FF:FE|02:51:4D:FF:FF:FF|used up: field 'v': the counter is used up (a MAC "
       "without an end stays in its start's block, which ends at 02:51:4D:FF:FF:FF)"},
      {"no end, a step past the block", "02:51:4D:FF:FF:E0", nullptr, 16,
       "02:51:4D:FF:FF:E0|02:51:4D:FF:FF:F0|used up: field 'v': the counter is used up (a MAC "
       "without an end stays in its start's block, which ends at 02:51:4D:FF:FF:FF)"},
      {"no end, the last unicast block", "02:FF:FF:FF:FF:FF", nullptr, 1,
       "02:FF:FF:FF:FF:FF|used up: field 'v': the counter is used up (a MAC without an end stays "
       "in its start's block, which ends at 02:FF:FF:FF:FF:FF)"},
      {"carrying inside the range", "02:51:4D:00:FF:FE", "02:51:4D:01:00:00", 1,
       "02:51:4D:00:FF:FE|02:51:4D:00:FF:FF|02:51:4D:01:00:00|used up: field 'v': the counter is "
       "used up (its end is 02:51:4D:01:00:00)"},
      {"a range across an OUI the profile names", "02:51:4D:FF:FF:FF", "02:51:4E:00:00:00", 1,
       "02:51:4D:FF:FF:FF|02:51:4E:00:00:00|used up: field 'v': the counter is used up (its end "
       "is 02:51:4E:00:00:00)"},
      {"a multicast start", "03:00:00:00:00:00", nullptr, 1,
       "refused: field 'v' at 0x1A07FF00: its start 03:00:00:00:00:00 is a multicast address "
       "(its first byte is odd)"},
      {"a range into multicast", "02:FF:FF:FF:FF:F0", "04:00:00:00:00:10", 1,
       "refused: field 'v' at 0x1A07FF00: its range reaches the multicast address "
       "03:00:00:00:00:00"},
      {"an end below the start", "02:51:4D:00:00:10", "02:51:4D:00:00:0F", 1,
       "refused: field 'v' at 0x1A07FF00: its end is below its start"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FieldDef f = Field("mac");
    f.list_path.clear();
    fs::remove(dir_ / "list.state");
    ASSERT_TRUE(ParseMac(c.start, &f.start));
    if (c.end != nullptr) {
      uint64_t end = 0;
      ASSERT_TRUE(ParseMac(c.end, &end));
      f.end = end;
    }
    f.step = c.step;
    EXPECT_EQ(Run(f, 5), c.result);
  }
}

// A folder named beyond ASCII: the profile's path and the same path given
// directly lead to one state file (on Windows, where the ANSI code page
// once decoded one and UTF-8 the other).
TEST_F(ListRunTest, APathInAProfileAndTheSamePathGivenDirectlyNameOneStateFile) {
  const fs::path folder = dir_ / PathFromUtf8(
                                     "Pr\xC3\xBC"
                                     "fplatz 3");
  fs::create_directory(folder);
  const std::string profile = Utf8FromPath(folder / "line.toml");
  WriteText(profile,
            "[[field]]\nname = \"serial\"\nat = 0x1A07FF00\nstart = 100000\n"
            "state = \"serial.state\"\n");
  Profile loaded;
  std::string why;
  ASSERT_TRUE(LoadProfile(profile, &loaded, &why)) << why;
  ASSERT_EQ(loaded.fields.size(), 1u);
  EXPECT_EQ(loaded.fields[0].state_path, Utf8FromPath(folder / "serial.state"));

  FieldDef given = loaded.fields[0];
  given.state_path = Utf8FromPath(folder) + "/serial.state";
  EXPECT_EQ(Run(loaded.fields[0], 1), "100000|");
  EXPECT_EQ(Run(given, 1), "100001|");
  EXPECT_EQ(Run(loaded.fields[0], 1), "100002|");
  EXPECT_EQ(ReadText(Utf8FromPath(folder / "serial.state")), "next 100003\nstart 100000\nstep 1\n");
  // Nothing went to a folder of another name.
  size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(dir_)) entries += entry.path() == folder ? 0 : 1;
  EXPECT_EQ(entries, 0u);
}

#ifdef _WIN32
TEST_F(ListRunTest, AHeldLockFileCannotBeRemoved) {
  const std::string lock = Utf8FromPath(dir_ / PathFromUtf8("Pr\xC3\xBC"
                                                            "f.lock"));
  FileLock held;
  std::string why;
  ASSERT_TRUE(held.Acquire(lock, std::chrono::milliseconds(0), &why)) << why;
  EXPECT_FALSE(DeleteFileW(WideFromUtf8(lock).c_str()));
  EXPECT_TRUE(held.StillHeld(&why)) << why;
  held.Release();
  EXPECT_TRUE(DeleteFileW(WideFromUtf8(lock).c_str()));
}

TEST_F(ListRunTest, AStateFileHeldForAMomentByAnotherProgramIsReplacedAfterIt) {
  const std::string target = Utf8FromPath(dir_ / "serial.state");
  WriteText(target, "next 1\n");
  // As a virus scanner opens it: reading, sharing everything but deletion.
  HANDLE scanner =
      CreateFileW(WideFromUtf8(target).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(scanner, INVALID_HANDLE_VALUE);
  std::thread done([scanner] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    CloseHandle(scanner);
  });
  std::string why;
  const bool written =
      image::WriteFileAtomically(target, {'n', 'e', 'x', 't', ' ', '2', '\n'}, &why);
  done.join();
  EXPECT_TRUE(written) << why;
  EXPECT_EQ(ReadText(target), "next 2\n");
}
#endif

}  // namespace
}  // namespace quelmar::production
