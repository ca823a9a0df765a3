// Fields: where they go, how each format lays out its bytes, and SHA-256
// against the published test vectors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "production/fields.h"
#include "production/sha256.h"

namespace quelmar::production {
namespace {

using Bytes = std::vector<uint8_t>;

struct EncodeCase {
  const char* name;
  const char* format;
  uint32_t size;  // 0: the format's default
  FieldValue value;
  Bytes bytes;
};

FieldDef SpecFor(const EncodeCase& c) {
  FieldDef def;
  def.name = "f";
  std::string why;
  EXPECT_TRUE(ParseFormat(c.format, &def.format, &def.pattern, &why)) << why;
  def.size = c.size;
  def.start = c.value.number;
  EXPECT_TRUE(SettleSize(&def, c.size != 0, &why)) << why;
  return def;
}

TEST(FieldEncode, EachFormatLaysOutItsBytes) {
  const EncodeCase cases[] = {
      {"u32le", "u32le", 0, {100042, "", false}, {0xCA, 0x86, 0x01, 0x00}},
      {"u32le max", "u32le", 0, {0xFFFFFFFF, "", false}, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"u32be", "u32be", 0, {0x01020304, "", false}, {0x01, 0x02, 0x03, 0x04}},
      {"u64le",
       "u64le",
       0,
       {0x0102030405060708, "", false},
       {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}},
      {"mac", "mac", 0, {0x02514D00002A, "", false}, {0x02, 0x51, 0x4D, 0x00, 0x00, 0x2A}},
      {"mac from list",
       "mac",
       0,
       {0, "02-51-4d-00-01-ff", true},
       {0x02, 0x51, 0x4D, 0x00, 0x01, 0xFF}},
      {"u32le from list", "u32le", 0, {0, "0x10", true}, {0x10, 0, 0, 0}},
      {"pattern fills size",
       "text:QM-%08u",
       0,
       {42, "", false},
       {'Q', 'M', '-', '0', '0', '0', '0', '0', '0', '4', '2'}},
      {"pattern NUL-padded", "text:S%u", 6, {7, "", false}, {'S', '7', 0, 0, 0, 0}},
      {"pattern percent", "text:%%%03u", 5, {5, "", false}, {'%', '0', '0', '5', 0}},
      {"text from list", "text", 8, {0, "LBL-1", true}, {'L', 'B', 'L', '-', '1', 0, 0, 0}},
      {"text exactly size", "text", 3, {0, "abc", true}, {'a', 'b', 'c'}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FieldDef def = SpecFor(c);
    Bytes bytes;
    std::string why;
    ASSERT_TRUE(EncodeValue(def, c.value, &bytes, &why)) << why;
    EXPECT_EQ(bytes, c.bytes);
  }
}

TEST(FieldEncode, ValuesThatDoNotFitAreRefusedWithTheReason) {
  const struct {
    const char* format;
    uint32_t size;
    FieldValue value;
    const char* why;
  } cases[] = {
      {"u32le", 0, {uint64_t{1} << 32, "", false}, "4294967296 does not fit u32le"},
      {"u32be", 0, {uint64_t{1} << 32, "", false}, "4294967296 does not fit u32be"},
      {"mac", 0, {uint64_t{1} << 48, "", false}, "281474976710656 does not fit mac"},
      {"text", 4, {0, "TOOLONG", true}, "\"TOOLONG\" is longer than its size, 4"},
      {"text:X%u", 3, {100, "", false}, "\"X100\" is longer than its size, 3"},
      {"u32le", 0, {0, "12z", true}, "'12z' is no number"},
      {"mac", 0, {0, "02:51:4D:00:00", true}, "'02:51:4D:00:00' is no MAC address"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    FieldDef def = SpecFor({"", c.format, c.size, {}, {}});
    Bytes bytes;
    std::string why;
    EXPECT_FALSE(EncodeValue(def, c.value, &bytes, &why));
    EXPECT_EQ(why, c.why);
  }
}

// A scanned unit as a scan field takes it: at its formats' edges, and a
// unit two labels could share as a number ("42", "042") is refused.
TEST(FieldScan, AUnitIsTakenOnlyAsTheFieldCanHoldIt) {
  const struct {
    const char* format;
    uint32_t size;
    const char* unit;
    Bytes bytes;      // written; empty: refused
    const char* why;  // the refusal's start
  } cases[] = {
      {"text", 4, "AB", {'A', 'B', 0, 0}, ""},
      {"text", 4, "ABCD", {'A', 'B', 'C', 'D'}, ""},
      {"text", 4, "ABCDE", {}, "unit \"ABCDE\" (5 bytes) is longer than field 'f''s size, 4"},
      {"u32le", 0, "0", {0, 0, 0, 0}, ""},
      {"u32be", 0, "4294967295", {0xFF, 0xFF, 0xFF, 0xFF}, ""},
      {"u32le", 0, "4294967296", {}, "unit \"4294967296\" does not fit field 'f' (u32le"},
      {"u64le", 0, "18446744073709551615", Bytes(8, 0xFF), ""},
      {"u64le", 0, "18446744073709551616", {}, "unit \"18446744073709551616\" does not fit"},
      {"u64le", 0, "184467440737095516150", {}, "unit \"184467440737095516150\" does not fit"},
      {"u32le", 0, "042", {}, "unit \"042\" is no decimal number without leading zeros"},
      {"u32le", 0, "0x2A", {}, "unit \"0x2A\" is no decimal number"},
      {"u32le", 0, "+42", {}, "unit \"+42\" is no decimal number"},
      {"u32le", 0, "", {}, "unit \"\" is no decimal number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.format) + " " + c.unit);
    FieldDef def = SpecFor({"", c.format, c.size, {}, {}});
    def.from_scan = true;
    FieldValue value;
    std::string why;
    const bool taken = ScanValue(def, c.unit, &value, &why);
    EXPECT_EQ(taken, !c.bytes.empty()) << why;
    if (!taken) {
      EXPECT_EQ(why.rfind(c.why, 0), 0u) << why;
      continue;
    }
    Bytes bytes;
    ASSERT_TRUE(EncodeValue(def, value, &bytes, &why)) << why;
    EXPECT_EQ(bytes, c.bytes);
  }
}

TEST(FieldWhere, AddressesAndDataOffsets) {
  const struct {
    const char* text;
    bool ok;
    Place place;
    uint32_t offset;
  } cases[] = {
      {"0x1A07FF00", true, Place::kBankA, 0x7FF00},
      {"0x1a000000", true, Place::kBankA, 0},
      {"0x1B07FFFF", true, Place::kBankB, 0x7FFFF},
      {"data:0x10", true, Place::kData, 0x10},
      {"data:512", true, Place::kData, 512},
      {"0x1A080000", false, {}, 0},
      {"0x1AFFFFFF", false, {}, 0},
      {"0x19FFFFFF", false, {}, 0},
      {"data:", false, {}, 0},
      {"data:-1", false, {}, 0},
      {"bank", false, {}, 0},
      {"0x", false, {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Where where;
    std::string why;
    ASSERT_EQ(ParseWhere(c.text, &where, &why), c.ok) << why;
    if (!c.ok) {
      EXPECT_FALSE(why.empty());
      continue;
    }
    EXPECT_EQ(where.place, c.place);
    EXPECT_EQ(where.offset, c.offset);
  }
}

TEST(FieldFormat, PatternsTakeExactlyOneUnsignedConversion) {
  const struct {
    const char* text;
    bool ok;
  } cases[] = {
      {"text:QM-%08u", true}, {"text:%u", true},     {"text:%%%u%%", true},
      {"text:%d", false},     {"text:%u%u", false},  {"text:none", false},
      {"text:%08x", false},   {"text:%021u", false}, {"u16le", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Format format;
    std::string pattern, why;
    EXPECT_EQ(ParseFormat(c.text, &format, &pattern, &why), c.ok) << why;
  }
}

TEST(FieldSize, DefaultsAndRefusals) {
  FieldDef def;
  std::string why;
  def.format = Format::kMac;
  def.size = 4;
  EXPECT_FALSE(SettleSize(&def, true, &why));
  EXPECT_EQ(why, "size must be 6 for this format");
  def.format = Format::kText;
  EXPECT_FALSE(SettleSize(&def, false, &why));
  def.format = Format::kTextPattern;
  def.pattern = "QM-%08u";
  def.start = 5;
  ASSERT_TRUE(SettleSize(&def, false, &why));
  EXPECT_EQ(def.size, 11u);
}

TEST(Mac, TextRoundTripsAndCarries) {
  uint64_t v = 0;
  ASSERT_TRUE(ParseMac("02:51:4D:00:00:FF", &v));
  EXPECT_EQ(MacText(v + 1), "02:51:4D:00:01:00");
  EXPECT_EQ(MacText(0xFFFFFFFFFFFF), "FF:FF:FF:FF:FF:FF");
  EXPECT_FALSE(ParseMac("02:51:4D:00:00:GG", &v));
  EXPECT_FALSE(ParseMac("02:51:4D:00:00:0", &v));
}

TEST(Sha256, PublishedVectors) {
  const struct {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
       "mnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message.substr(0, 20));
    EXPECT_EQ(Sha256Hex(c.message.data(), c.message.size()), c.digest);
    // Fed in uneven pieces, as blocks arrive.
    Sha256 hash;
    for (size_t at = 0; at < c.message.size(); at += 37)
      hash.Update(c.message.data() + at, std::min<size_t>(37, c.message.size() - at));
    EXPECT_EQ(hash.FinishHex(), c.digest);
    // The hash starts afresh after a finish.
    hash.Update("abc", 3);
    EXPECT_EQ(hash.FinishHex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  }
}

}  // namespace
}  // namespace quelmar::production
