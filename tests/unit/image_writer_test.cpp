#include "image/image_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/image_store.h"
#include "image/intel_hex.h"
#include "support/temp_dir.h"

namespace quelmar::image {
namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = quelmar::testing::MakeTempDir("quelmar_writer_"); }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

TEST(BuildFileTest, CodeFileLayout) {
  const Bytes a = {0x00, 0x01};
  const Bytes file = BuildCodeFile(&a, nullptr, 'F');
  // Header, '_AB', N = 2, checksum 0 + 1 + 0xFF, NOT of 00 01 FF, then an empty '_BA'.
  const Bytes expected = {'C', 'F', 'F',  '_',  'A',  'B', 2,   0,   0, 0, 0x00, 0x01,
                          0,   0,   0xFF, 0xFE, 0x00, '_', 'B', 'A', 0, 0, 0,    0};
  EXPECT_EQ(file, expected);
  const Bytes e = BuildCodeFile(nullptr, nullptr, 'E');
  EXPECT_EQ(e.size(), 17u);
  EXPECT_EQ(e[2], 'E');
}

TEST(BuildFileTest, RefusesWhatTheFormatCannotHold) {
  const Bytes too_big(CODE_IMAGE_SIZE + 1, 0);
  const Bytes ok(16, 0);
  EXPECT_TRUE(BuildCodeFile(&too_big, nullptr, 'F').empty());
  EXPECT_TRUE(BuildCodeFile(&ok, &too_big, 'F').empty());
  EXPECT_TRUE(BuildCodeFile(&ok, nullptr, 'D').empty());
  EXPECT_TRUE(BuildDataFile(Bytes(256, 0), 'E').empty());
  EXPECT_TRUE(BuildDataFile(Bytes(), 'F').empty());
  EXPECT_TRUE(BuildDataFile(Bytes(300, 0), 'F').empty());
  EXPECT_FALSE(BuildDataFile(Bytes(512, 0), 'D').empty());
}

TEST_F(WriterTest, AtomicWriteCreatesAndReplaces) {
  const std::string path = (dir_ / "out.fcode").string();
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(path, Bytes{1, 2, 3}, &error)) << error;
  EXPECT_EQ(ReadAll(path), (Bytes{1, 2, 3}));
#ifndef _WIN32
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
#endif
  ASSERT_TRUE(WriteFileAtomically(path, Bytes{9}, &error)) << error;
  EXPECT_EQ(ReadAll(path), (Bytes{9}));
#ifndef _WIN32
  // The replaced file's permissions are kept (Windows files have no mode bits).
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
#endif
  // No temporary file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(WriterTest, AtomicWriteFailureLeavesTargetAlone) {
  std::string error;
  EXPECT_FALSE(WriteFileAtomically((dir_ / "no" / "such" / "x.fdata").string(), Bytes{1}, &error));
  EXPECT_FALSE(error.empty());
  // A folder in the way of the rename: the folder stays, no temp file stays.
  fs::create_directory(dir_ / "taken");
  fs::path inside = dir_ / "taken" / "keep";
  std::ofstream(inside) << "x";
  error.clear();
  EXPECT_FALSE(WriteFileAtomically((dir_ / "taken").string(), Bytes{1}, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(fs::exists(inside));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

// One Intel HEX record with its checksum.
std::string Record(uint8_t type, uint16_t address, const Bytes& data) {
  Bytes raw = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
               static_cast<uint8_t>(address), type};
  raw.insert(raw.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : raw) sum = static_cast<uint8_t>(sum + b);
  raw.push_back(static_cast<uint8_t>(-sum));
  std::string line = ":";
  char hex[3];
  for (uint8_t b : raw) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    line += hex;
  }
  return line + "\n";
}
std::string Linear(uint16_t upper) {
  return Record(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
}
const std::string kEof = Record(1, 0, {});

TEST(IntelHexTest, BanksGapsAndExtendedAddresses) {
  const std::string text = Linear(0x1A00) + Record(0, 0x0000, {1, 2, 3}) +
                           Record(0, 0x0010, {4}) +  // a gap of 0xFF between
                           Linear(0x1B00) + Record(0, 0xFFFE, {5, 6}) + Linear(0x1B01) +
                           Record(0, 0x0000, {7}) +  // across 64 KiB
                           Record(5, 0, {0x1A, 0, 0, 0x01}) + kEof +
                           ":this line comes after the end and is not read\n";
  CodeBanks banks;
  std::string error;
  ASSERT_TRUE(ParseIntelHex(text, &banks, &error)) << error;
  Bytes expected_a(0x11, 0xFF);
  expected_a[0] = 1, expected_a[1] = 2, expected_a[2] = 3, expected_a[0x10] = 4;
  EXPECT_EQ(banks.bank_a, expected_a);
  ASSERT_EQ(banks.bank_b.size(), 0x10001u);
  EXPECT_EQ(banks.bank_b[0], 0xFF);
  EXPECT_EQ(banks.bank_b[0xFFFE], 5);
  EXPECT_EQ(banks.bank_b[0xFFFF], 6);
  EXPECT_EQ(banks.bank_b[0x10000], 7);
}

TEST(IntelHexTest, OneBankOnlyAndLastByteOfBank) {
  CodeBanks banks;
  std::string error;
  ASSERT_TRUE(ParseIntelHex(Linear(0x1B07) + Record(0, 0xFFFF, {0xAB}) + kEof, &banks, &error))
      << error;
  EXPECT_TRUE(banks.bank_a.empty());
  ASSERT_EQ(banks.bank_b.size(), 0x80000u);
  EXPECT_EQ(banks.bank_b.back(), 0xAB);
  // CRLF line ends and lower-case digits are fine too.
  std::string crlf = Linear(0x1A00) + Record(0, 4, {0xCD}) + kEof;
  for (size_t p = 0; (p = crlf.find('\n', p)) != std::string::npos; p += 2) crlf.insert(p, "\r");
  for (char& c : crlf) c = static_cast<char>(std::tolower(c));
  ASSERT_TRUE(ParseIntelHex(crlf, &banks, &error)) << error;
  EXPECT_EQ(banks.bank_a, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xCD}));
}

TEST(IntelHexTest, FaultsNameTheLine) {
  std::string bad_sum = Record(0, 0, {1, 2});
  bad_sum[bad_sum.size() - 2] = bad_sum[bad_sum.size() - 2] == '0' ? '1' : '0';
  struct Case {
    const char* name;
    std::string text;
    const char* fragment;
  };
  const std::vector<Case> cases = {
      {"bad checksum", Linear(0x1A00) + Record(0, 0, {9}) + bad_sum + kEof, "line 3: checksum"},
      {"below bank A", Linear(0x19FF) + Record(0, 0xFFFF, {1}) + kEof,
       "line 2: data at 0x19FFFFFF"},
      {"past bank A", Linear(0x1A08) + Record(0, 0, {1}) + kEof, "line 2: data at 0x1A080000"},
      {"record runs past bank B", Linear(0x1B07) + Record(0, 0xFFFF, {1, 2}) + kEof,
       "line 2: data at 0x1B080000"},
      {"no extended address", Record(0, 0, {1}) + kEof, "line 1: data at 0x00000000"},
      {"segment address", Record(2, 0, {0x10, 0x00}) + Record(0, 4, {1}) + kEof,
       "line 2: data at 0x00010004"},
      {"missing end", Linear(0x1A00) + Record(0, 0, {1}), "line 3: missing end-of-file"},
      {"no colon", Linear(0x1A00) + "00000001FF\n", "line 2:"},
      {"not hex", ":0G000001FF\n", "line 1:"},
      {"length mismatch", ":0300000001FC\n", "line 1: record length 3"},
      {"unknown type", Record(6, 0, {}) + kEof, "line 1: unsupported record type 6"},
      {"eof with data", Record(1, 0, {1}), "line 1: end-of-file record"},
      // Two build outputs joined into one file: the later value must not win.
      {"overlap, other value", Linear(0x1A00) + Record(0, 0x10, {1, 2, 3}) + Record(0, 0x12, {9}) +
       kEof, "line 3: address 0x1A000012 is given 0x09, but line 2 gave it 0x03"},
      {"overlap in bank B through another base",
       Linear(0x1B00) + Record(0, 0x0000, {0xAA}) + Record(2, 0, {0x00, 0x00}) +
           Linear(0x1B00) + Record(0, 0x0000, {0xAA, 0xAB}) + Record(0, 0x0001, {0xAC}) + kEof,
       "line 6: address 0x1B000001 is given 0xAC, but line 5 gave it 0xAB"},
      {"0xFF over a written byte", Linear(0x1A00) + Record(0, 0, {0}) + Record(0, 0, {0xFF}) + kEof,
       "line 3: address 0x1A000000 is given 0xFF, but line 2 gave it 0x00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CodeBanks banks;
    std::string error;
    EXPECT_FALSE(ParseIntelHex(c.text, &banks, &error));
    EXPECT_EQ(error.rfind(c.fragment, 0), 0u) << error;
  }
}

TEST(IntelHexTest, RepeatsOfTheSameValuesPass) {
  // A record given twice, a partial overlap that agrees, and an unwritten
  // byte (erased, 0xFF) that a later record fills with 0xFF.
  const std::string text = Linear(0x1A00) + Record(0, 0, {1, 2, 3}) + Record(0, 0, {1, 2, 3}) +
                           Record(0, 2, {3, 4}) + Record(0, 8, {0xFF}) + Record(0, 6, {5}) +
                           Record(0, 6, {5}) + kEof;
  CodeBanks banks;
  std::string error;
  ASSERT_TRUE(ParseIntelHex(text, &banks, &error)) << error;
  EXPECT_EQ(banks.bank_a, (Bytes{1, 2, 3, 4, 0xFF, 0xFF, 5, 0xFF, 0xFF}));
}

TEST_F(WriterTest, HexToCodeFileToLoader) {
  CodeBanks banks;
  std::string error;
  ASSERT_TRUE(ParseIntelHex(Linear(0x1A00) + Record(0, 0, {0x10, 0x20, 0x30}) + Linear(0x1B00) +
                                Record(0, 2, {0x40}) + kEof,
                            &banks, &error))
      << error;
  const std::string path = (dir_ / "app.fcode").string();
  ASSERT_TRUE(WriteFileAtomically(path, BuildCodeFile(&banks.bank_a, &banks.bank_b, 'E'), &error));
  Log log;
  ImageStore store(log);
  ASSERT_TRUE(store.LoadCodeImageFromPath(path));
  ASSERT_TRUE(store.CodeImage().present() && store.ExtendedCodeImage().present());
  const uint8_t* a = store.CodeImage().data();
  const uint8_t* b = store.ExtendedCodeImage().data();
  EXPECT_EQ((Bytes{store.DecodeCodeByte(a[0]), store.DecodeCodeByte(a[1]),
                   store.DecodeCodeByte(a[2]), store.DecodeCodeByte(a[3])}),
            (Bytes{0x10, 0x20, 0x30, 0xFF}));
  EXPECT_EQ((Bytes{store.DecodeCodeByte(b[0]), store.DecodeCodeByte(b[2])}), (Bytes{0xFF, 0x40}));
  EXPECT_EQ(store.LastSectionB().length_field, 3u);
}

}  // namespace
}  // namespace quelmar::image
