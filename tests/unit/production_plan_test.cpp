// Field plans: every refusal before a board is touched, each board's own
// patched copy, and value sources that never hand a value out twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "image/image_writer.h"
#include "production/durable_file.h"
#include "production/plan.h"
#include "support/temp_dir.h"

namespace quelmar::production {
namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}
std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Images with code at the start of bank A (its last byte, 0x1A0003E7, the
// only non-erased one after 0x1A0003DD; the rest erased padding), no
// bank B, and a data image of 1024 bytes with non-erased bytes in its
// first 16.
class PlanTest : public ::testing::Test {
 public:
  void SetUp() override {
    dir_ = testing::MakeTempDir("quelmar_plan_");
    ASSERT_FALSE(dir_.empty());
    Bytes code(1000);
    for (size_t i = 0; i < code.size(); ++i) code[i] = static_cast<uint8_t>(i * 7 + 1);
    std::fill(code.begin() + 990, code.end(), 0xFF);
    code[999] = 0x00;
    const Bytes file = image::BuildCodeFile(&code, nullptr, 'E');
    ASSERT_TRUE(images_.LoadCodeImageFromMemory(file.data(), file.size()));
    Bytes data(1024, 0xFF);
    for (int i = 0; i < 16; ++i) data[i] = static_cast<uint8_t>(i);
    const Bytes data_file = image::BuildDataFile(data, 'D');
    ASSERT_TRUE(images_.LoadDataImageFromMemory(data_file.data(), data_file.size()));
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  FieldDef Field(const std::string& name, const std::string& where, const std::string& format,
                 uint64_t start = 1) {
    FieldDef f;
    f.name = name;
    std::string why;
    EXPECT_TRUE(ParseWhere(where, &f.where, &why)) << why;
    EXPECT_TRUE(ParseFormat(format, &f.format, &f.pattern, &why)) << why;
    f.start = start;
    f.size = NaturalSize(f.format) ? NaturalSize(f.format) : 8;
    f.state_path = (dir_ / (name + ".state")).string();
    return f;
  }

  static Bytes DecodedBank(const image::ImageStore& s, Place place) {
    const image::Image& img = place == Place::kBankA   ? s.CodeImage()
                              : place == Place::kBankB ? s.ExtendedCodeImage()
                                                       : s.DataImage();
    Bytes out(img.length());
    for (uint32_t i = 0; i < img.length(); ++i)
      out[i] =
          place == Place::kData ? s.DecodeDataByte(img.data()[i]) : s.DecodeCodeByte(img.data()[i]);
    return out;
  }

  fs::path dir_;
  Log log_;
  image::ImageStore images_{log_};
};

TEST_F(PlanTest, RefusalsNameTheFieldAndTheReason) {
  struct Case {
    const char* name;
    std::function<std::vector<FieldDef>(PlanTest&)> fields;
    const char* why;
  };
  const Case cases[] = {
      {"bank not written",
       [](PlanTest& t) { return std::vector{t.Field("sn", "0x1B000000", "u32le")}; },
       "field 'sn' at 0x1B000000: bank B is not written by the code image"},
      {"past bank end",
       [](PlanTest& t) { return std::vector{t.Field("sn", "0x1A07FFFE", "u32le")}; },
       "field 'sn' at 0x1A07FFFE: its 4 bytes reach past the end of bank A"},
      {"past data end", [](PlanTest& t) { return std::vector{t.Field("m", "data:1020", "mac")}; },
       "field 'm' at data:0x3FC: its 6 bytes reach past the end of the data image"},
      {"over code", [](PlanTest& t) { return std::vector{t.Field("sn", "0x1A000010", "u32le")}; },
       "field 'sn' at 0x1A000010: the image has bytes other than 0xFF there (from 0x1A000010); "
       "set overwrite = true to write over them"},
      {"over the last code byte",
       [](PlanTest& t) { return std::vector{t.Field("sn", "0x1A0003E4", "u32le")}; },
       "field 'sn' at 0x1A0003E4: the image has bytes other than 0xFF there (from 0x1A0003E7); "
       "set overwrite = true to write over them"},
      {"over data", [](PlanTest& t) { return std::vector{t.Field("m", "data:12", "mac")}; },
       "field 'm' at data:0xC: the image has bytes other than 0xFF there (from data:0xC); set "
       "overwrite = true to write over them"},
      {"overlap",
       [](PlanTest& t) {
         return std::vector{t.Field("sn", "0x1A07FF00", "u32le"),
                            t.Field("mac", "0x1A07FF02", "mac")};
       },
       "field 'mac' at 0x1A07FF02: it overlaps field 'sn' at 0x1A07FF00"},
      {"start too big",
       [](PlanTest& t) {
         return std::vector{t.Field("sn", "0x1A07FF00", "u32le", uint64_t{1} << 32)};
       },
       "field 'sn' at 0x1A07FF00: its start 4294967296 does not fit u32le"},
      {"end too big",
       [](PlanTest& t) {
         auto f = t.Field("sn", "0x1A07FF00", "u32be");
         f.end = uint64_t{1} << 33;
         return std::vector{f};
       },
       "field 'sn' at 0x1A07FF00: its end 8589934592 does not fit u32be"},
      {"end below start",
       [](PlanTest& t) {
         auto f = t.Field("sn", "0x1A07FF00", "u32le", 100);
         f.end = 99;
         return std::vector{f};
       },
       "field 'sn' at 0x1A07FF00: its end is below its start"},
      {"same state file",
       [](PlanTest& t) {
         auto a = t.Field("a", "0x1A07FF00", "u32le");
         auto b = t.Field("b", "0x1A07FF10", "u32le");
         b.state_path = a.state_path;
         return std::vector{a, b};
       },
       "field 'b' at 0x1A07FF10: it shares its state file with field 'a'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FieldPlan plan;
    std::string why;
    EXPECT_FALSE(plan.Prepare(c.fields(*this), images_, &why));
    EXPECT_EQ(why, c.why);
    EXPECT_TRUE(plan.empty());
  }
}

TEST_F(PlanTest, SourceFileRefusals) {
  auto prepare = [&](FieldDef f, std::string* why) {
    FieldPlan plan;
    return plan.Prepare({f}, images_, why);
  };
  std::string why;
  auto f = Field("sn", "0x1A07FF00", "u32le");
  WriteText(f.state_path, "next 12x\n");
  EXPECT_FALSE(prepare(f, &why));
  EXPECT_EQ(why, "field 'sn' at 0x1A07FF00: the state file '" + f.state_path +
                     "' is corrupt (its first line should be \"next N\")");
  WriteText(f.state_path, "");
  EXPECT_FALSE(prepare(f, &why));
  WriteText(f.state_path, "next 7\n");
  fs::permissions(f.state_path, fs::perms::owner_read);
  EXPECT_FALSE(prepare(f, &why));
  EXPECT_EQ(why, "field 'sn' at 0x1A07FF00: the state file '" + f.state_path + "' is read-only");
  fs::permissions(f.state_path, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(prepare(f, &why)) << why;

  auto label = Field("label", "0x1A07FF10", "text");
  label.list_path = (dir_ / "labels.txt").string();
  WriteText(label.list_path, "A-1\nA-2\nA-3\nA-2\n");
  EXPECT_FALSE(prepare(label, &why));
  EXPECT_EQ(why, "field 'label' at 0x1A07FF10: '" + label.list_path +
                     "' lines 2 and 4 hold the same value, \"A-2\"");
  WriteText(label.list_path, "A-1\nTOO-LONG-LABEL\n");
  EXPECT_FALSE(prepare(label, &why));
  EXPECT_EQ(why, "field 'label' at 0x1A07FF10: '" + label.list_path +
                     "' line 2: \"TOO-LONG-LABEL\" is longer than its size, 8");
  WriteText(label.list_path, "A-1\nA-2\n");
  WriteText(label.state_path, "used 3\n");
  EXPECT_FALSE(prepare(label, &why));
  EXPECT_NE(why.find("says 3 values are used"), std::string::npos) << why;
}

TEST_F(PlanTest, ALockHeldTooLongIsRefusedNamingTheHolder) {
  auto f = Field("sn", "0x1A07FF00", "u32le");
  FileLock held;
  std::string why;
  ASSERT_TRUE(held.Acquire(f.state_path + ".lock", std::chrono::milliseconds(0), &why)) << why;
  ValueSource source;
  const SourceOptions options{std::chrono::milliseconds(100), ""};
  EXPECT_FALSE(source.Open(f, options, &why));
  EXPECT_EQ(why, "'" + f.state_path + ".lock' is locked for more than 0.1 s by " + ProcessName() +
                     ", which is still running: let it finish or end it (its lock goes with it)");
  held.Release();
  ASSERT_TRUE(source.Open(f, options, &why)) << why;
  FieldValue v;
  EXPECT_EQ(source.Reserve(&v, &why), ValueSource::Reserved::kOk) << why;
}

TEST_F(PlanTest, EachBoardGetsItsOwnBytesAndTheSharedImagesStay) {
  auto sn = Field("sn", "0x1A07FF00", "u32le", 100000);
  auto mac = Field("mac", "data:0x10", "mac", 0x02514D0000FF);
  auto label = Field("label", "0x1A000400", "text:QM-%08u", 7);
  label.size = 12;
  FieldPlan plan;
  std::string why;
  ASSERT_TRUE(plan.Prepare({sn, mac, label}, images_, &why)) << why;
  const Bytes shared_a = DecodedBank(images_, Place::kBankA);
  const Bytes shared_data = DecodedBank(images_, Place::kData);

  for (int board = 0; board < 2; ++board) {
    SCOPED_TRACE(board);
    std::vector<FieldValue> values;
    ASSERT_EQ(plan.Reserve(&values, &why), ValueSource::Reserved::kOk) << why;
    BoardImages mine;
    ASSERT_TRUE(plan.Patch(images_, values, &mine, &why)) << why;
    EXPECT_EQ(mine.images.CodeEncoding(), images_.CodeEncoding());
    EXPECT_EQ(mine.images.DataEncoding(), images_.DataEncoding());
    EXPECT_FALSE(mine.images.ExtendedCodeImage().present());

    Bytes want_a = shared_a;
    const uint32_t serial = 100000 + static_cast<uint32_t>(board);
    for (int k = 0; k < 4; ++k) want_a[0x7FF00 + k] = static_cast<uint8_t>(serial >> (8 * k));
    const std::string text = board == 0 ? "QM-00000007" : "QM-00000008";
    std::copy(text.begin(), text.end(), want_a.begin() + 0x400);
    want_a[0x400 + 11] = 0;
    EXPECT_EQ(DecodedBank(mine.images, Place::kBankA), want_a);

    Bytes want_data = shared_data;
    const Bytes mac_bytes = {0x02,
                             0x51,
                             0x4D,
                             0x00,
                             static_cast<uint8_t>(board == 0 ? 0x00 : 0x01),
                             static_cast<uint8_t>(board == 0 ? 0xFF : 0x00)};
    std::copy(mac_bytes.begin(), mac_bytes.end(), want_data.begin() + 0x10);
    EXPECT_EQ(DecodedBank(mine.images, Place::kData), want_data);
  }
  EXPECT_EQ(DecodedBank(images_, Place::kBankA), shared_a);
  EXPECT_EQ(DecodedBank(images_, Place::kData), shared_data);
}

TEST_F(PlanTest, OverwriteLetsAFieldReplaceCodeBytes) {
  auto sn = Field("sn", "0x1A000010", "u32be", 0xDEADBEEF);
  sn.overwrite = true;
  FieldPlan plan;
  std::string why;
  ASSERT_TRUE(plan.Prepare({sn}, images_, &why)) << why;
  std::vector<FieldValue> values;
  ASSERT_EQ(plan.Reserve(&values, &why), ValueSource::Reserved::kOk);
  BoardImages mine;
  ASSERT_TRUE(plan.Patch(images_, values, &mine, &why)) << why;
  Bytes want = DecodedBank(images_, Place::kBankA);
  const Bytes field = {0xDE, 0xAD, 0xBE, 0xEF};
  std::copy(field.begin(), field.end(), want.begin() + 0x10);
  EXPECT_EQ(DecodedBank(mine.images, Place::kBankA), want);
}

TEST_F(PlanTest, CountersAndListsRunInOrderAcrossRestartsUntilUsedUp) {
  struct Case {
    const char* name;
    std::function<void(FieldDef&)> set;
    std::vector<std::string> shown;  // the values, then used up
    std::string used_up;
  };
  const Case cases[] = {
      {"counter with step and end",
       [](FieldDef& f) {
         f.start = 10;
         f.step = 5;
         f.end = 20;
       },
       {"10", "15", "20"},
       "field 'f': the counter is used up (its end is 20)"},
      {"counter at the top of u32",
       [](FieldDef& f) { f.start = 0xFFFFFFFE; },
       {"4294967294", "4294967295"},
       "field 'f': the counter is used up: its next value 4294967296 does not fit u32le"},
      {"list",
       [&](FieldDef& f) {
         f.format = Format::kText;
         f.size = 8;
         f.list_path = (dir_ / "list.txt").string();
         WriteText(f.list_path, "L1\r\nL2\n\nL3");
       },
       {"L1", "L2", "L3"},
       "field 'f': the list '" + (dir_ / "list.txt").string() + "' is used up (3 values)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto f = Field("f", "0x1A07FF00", "u32le");
    fs::remove(f.state_path);
    c.set(f);
    std::vector<std::string> shown;
    std::string why;
    for (int run = 0; run < 10; ++run) {
      // A fresh plan each time, as a new process would make.
      FieldPlan plan;
      ASSERT_TRUE(plan.Prepare({f}, images_, &why)) << why;
      std::vector<FieldValue> values;
      const auto reserved = plan.Reserve(&values, &why);
      if (reserved == ValueSource::Reserved::kUsedUp) break;
      ASSERT_EQ(reserved, ValueSource::Reserved::kOk) << why;
      const ShownValue v = ShowValue(f, values[0]);
      shown.push_back(v.is_number ? std::to_string(v.number) : v.text);
    }
    EXPECT_EQ(shown, c.shown);
    EXPECT_EQ(why, c.used_up);
  }
}

TEST_F(PlanTest, StateFileHoldsTheNextValueAfterEachReservation) {
  auto f = Field("sn", "0x1A07FF00", "u32le", 500);
  ValueSource source;
  std::string why;
  ASSERT_TRUE(source.Open(f, SourceOptions{}, &why)) << why;
  FieldValue v;
  ASSERT_EQ(source.Reserve(&v, &why), ValueSource::Reserved::kOk);
  EXPECT_EQ(v.number, 500u);
  EXPECT_EQ(ReadText(f.state_path), "next 501\nstart 500\nstep 1\n");
  // No temporary file is left beside it.
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(dir_)) files += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 2u);  // the state and its lock file
}

TEST_F(PlanTest, EightThreadsWithTheirOwnSourcesGetDistinctConsecutiveValues) {
  auto f = Field("sn", "0x1A07FF00", "u32le", 1000);
  constexpr int kThreads = 8;
  constexpr int kEach = 25;
  std::vector<std::vector<uint64_t>> got(kThreads);
  std::vector<std::string> errors(kThreads);
  ValueSource shared;
  std::string why;
  ASSERT_TRUE(shared.Open(f, SourceOptions{}, &why)) << why;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        // Half share one source (one process), half have their own (as
        // other processes would): each opens the lock file anew.
        ValueSource own;
        ValueSource* source = &shared;
        if (t % 2 == 1) {
          if (!own.Open(f, SourceOptions{}, &errors[t])) return;
          source = &own;
        }
        for (int i = 0; i < kEach; ++i) {
          FieldValue v;
          if (source->Reserve(&v, &errors[t]) != ValueSource::Reserved::kOk) return;
          got[t].push_back(v.number);
        }
      });
    }
  }
  std::set<uint64_t> all;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(got[t].size(), size_t{kEach}) << errors[t];
    EXPECT_TRUE(std::is_sorted(got[t].begin(), got[t].end()));
    all.insert(got[t].begin(), got[t].end());
  }
  ASSERT_EQ(all.size(), size_t{kThreads * kEach});
  EXPECT_EQ(*all.begin(), 1000u);
  EXPECT_EQ(*all.rbegin(), 1000u + kThreads * kEach - 1);
  EXPECT_EQ(ReadText(f.state_path),
            "next " + std::to_string(1000 + kThreads * kEach) + "\nstart 1000\nstep 1\n");
}

}  // namespace
}  // namespace quelmar::production
