#include "image/image_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "image/file_system.h"
#include "image/image_writer.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"

namespace quelmar::image {
namespace {

using Bytes = std::vector<uint8_t>;
using Entry = testing::RecordingSink::Entry;
namespace fs = std::filesystem;

constexpr const char* kFailedRead = "Failed reading file !\n";
constexpr const char* kIncorrectFile = "Incorrect file !\n";
constexpr const char* kIncorrectCrc = "Incorrect CRC !\n";

// Raw file pieces, for files the writer would never make.
void Add(Bytes& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
}
void AddWord(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
// A filled code section: tag, length n, checksum over the n + 1 stored bytes
// under the given decoder, then the stored bytes.
Bytes CodeSection(const std::string& tag, const Bytes& stored, uint32_t checksum) {
  Bytes out;
  Add(out, tag);
  AddWord(out, static_cast<uint32_t>(stored.size() - 1));
  AddWord(out, checksum);
  return Concat(out, stored);
}
uint32_t CodeSum(const Bytes& stored, uint8_t mode) {
  uint32_t sum = 0;
  for (uint8_t s : stored) sum += DecodeCodeByte(s, mode);
  return sum;
}
Bytes WithoutLast(Bytes b) {
  b.pop_back();
  return b;
}
Bytes EmptySection(const std::string& tag) {
  Bytes out;
  Add(out, tag);
  AddWord(out, 0);
  return out;
}
Bytes Pattern(size_t n, uint32_t seed) {
  Bytes out(n);
  std::mt19937 rng(seed);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

class TempDir {
 public:
  TempDir() { path_ = quelmar::testing::MakeTempDir("quelmar_image_"); }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string Write(const std::string& name, const Bytes& bytes) const {
    const std::string p = (path_ / name).string();
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return p;
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class ScriptedChooser final : public FileChooser {
 public:
  explicit ScriptedChooser(std::optional<std::string> answer) : answer_(std::move(answer)) {}
  std::optional<std::string> ChooseImageFile(ImageKind kind) override {
    asked_.push_back(kind);
    return answer_;
  }
  std::vector<ImageKind> asked_;

 private:
  std::optional<std::string> answer_;
};

class ImageStoreTest : public ::testing::Test {
 protected:
  bool LoadCode(const Bytes& file) {
    return store_.LoadCodeImageFromPath(dir_.Write("t.fcode", file));
  }
  bool LoadData(const Bytes& file) {
    return store_.LoadDataImageFromPath(dir_.Write("t.fdata", file));
  }
  std::vector<Entry> TakeLog() {
    auto entries = sink_.Log();
    sink_.Clear();
    return entries;
  }
  void ExpectOnlyError(const char* text) { EXPECT_EQ(TakeLog(), (std::vector<Entry>{{1, text}})); }

  testing::RecordingSink sink_;
  Log log_{&sink_};
  ImageStore store_{log_};
  TempDir dir_;
};

TEST(ImageDecodeTest, WorkedValuesAndInverses) {
  struct Row {
    uint8_t stored, mode, code, data;
  };
  for (const Row& r :
       {Row{0x00, 0, 0xFF, 0xFF}, Row{0x00, 1, 0xFF, 0xFF}, Row{0xFE, 0, 0x01, 0x01},
        Row{0xFE, 1, 0x20, 0x10}, Row{0x7F, 0, 0x80, 0x80}, Row{0x7F, 1, 0x10, 0x08}}) {
    SCOPED_TRACE(::testing::Message() << "stored " << int{r.stored} << " mode " << int{r.mode});
    EXPECT_EQ(DecodeCodeByte(r.stored, r.mode), r.code);
    EXPECT_EQ(DecodeDataByte(r.stored, r.mode), r.data);
  }
  for (uint8_t mode : {uint8_t{0}, uint8_t{1}}) {
    for (int p = 0; p < 256; ++p) {
      const auto plain = static_cast<uint8_t>(p);
      ASSERT_EQ(DecodeCodeByte(EncodeCodeByte(plain, mode), mode), plain);
      ASSERT_EQ(DecodeDataByte(EncodeDataByte(plain, mode), mode), plain);
    }
  }
}

TEST(ImageDecodeTest, DataChecksumOfAllZeroStoredBytes) {
  const Bytes file = BuildDataFile(Bytes(256, 0xFF), 'F');
  ASSERT_EQ(file.size(), 14u + 256u);
  EXPECT_EQ(Bytes(file.begin() + 10, file.begin() + 14), (Bytes{0x00, 0xFF, 0x00, 0x00}));
  EXPECT_EQ(Bytes(file.begin() + 14, file.end()), Bytes(256, 0x00));
}

TEST_F(ImageStoreTest, CodeLoaderMessagesAndOrderOfChecks) {
  const Bytes good_a = CodeSection("_AB", {0x10, 0x20}, CodeSum({0x10, 0x20}, 0));
  Bytes header;
  Add(header, "CFF");
  struct Case {
    const char* name;
    Bytes file;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"empty file", {}, kFailedRead},
      {"wrong first byte alone", {'X'}, kIncorrectFile},
      {"file ends after C", {'C'}, kFailedRead},
      {"wrong second byte", {'C', 'E'}, kIncorrectFile},
      {"file ends before encoding", {'C', 'F'}, kFailedRead},
      {"data letter in code file", {'C', 'F', 'D'}, kIncorrectFile},
      {"lower case encoding", {'C', 'F', 'f'}, kIncorrectFile},
      {"lower case kind", {'c', 'F', 'F'}, kIncorrectFile},
      {"file ends before tag", header, kFailedRead},
      {"wrong tag byte 3", Concat(header, {'_', 'A', 'C'}), kIncorrectFile},
      {"section B tag in place of A", Concat(header, {'_', 'B', 'A'}), kIncorrectFile},
      {"length cut short", Concat(header, {'_', 'A', 'B', 1, 0}), kFailedRead},
      {"checksum cut short", Concat(header, {'_', 'A', 'B', 1, 0, 0, 0, 0xFF}), kFailedRead},
      {"stored bytes one short", Concat(header, WithoutLast(CodeSection("_AB", {0, 0}, 510))),
       kFailedRead},
      {"section B tag missing", Concat(header, good_a), kFailedRead},
      {"section B tag wrong", Concat(Concat(header, good_a), {'_', 'A', 'B'}), kIncorrectFile},
      {"section A checksum off by one",
       Concat(header, CodeSection("_AB", {0x10, 0x20}, CodeSum({0x10, 0x20}, 0) + 1)),
       kIncorrectCrc},
      {"section B checksum wrong after a good A",
       Concat(Concat(header, good_a), CodeSection("_BA", {1, 2, 3}, 0)), kIncorrectCrc},
      {"section A too long for the buffer",
       Concat(header, Concat({'_', 'A', 'B'}, {0x01, 0x00, 0x08, 0x00})),
       "Incorrect code size !\n"},
      {"section B length 0xFFFFFFFF",
       Concat(Concat(header, good_a), {'_', 'B', 'A', 0xFF, 0xFF, 0xFF, 0xFF}),
       "Incorrect code size !\n"},
  };
  const Bytes previous = BuildCodeFile(&good_a, &good_a, 'F');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(LoadCode(previous));
    ASSERT_TRUE(store_.CodeImage().present() && store_.ExtendedCodeImage().present());
    TakeLog();
    EXPECT_FALSE(LoadCode(c.file));
    ExpectOnlyError(c.message);
    // A malformed file discards the images loaded before.
    EXPECT_FALSE(store_.HasCodeImage());
    EXPECT_FALSE(store_.CodeImage().present());
    EXPECT_EQ(store_.CodeImage().length(), 0u);
    EXPECT_EQ(store_.ExtendedCodeImage().length(), 0u);
  }
}

TEST_F(ImageStoreTest, DataLoaderMessagesAndOrderOfChecks) {
  auto data_file = [](uint32_t length, std::optional<uint32_t> checksum, size_t stored) {
    Bytes out;
    Add(out, "DFF_DD");
    AddWord(out, length);
    if (checksum) AddWord(out, *checksum);
    out.resize(out.size() + stored, 0x00);
    return out;
  };
  struct Case {
    const char* name;
    Bytes file;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"empty file", {}, kFailedRead},
      {"wrong first byte alone", {'C'}, kIncorrectFile},
      {"file ends after D", {'D'}, kFailedRead},
      {"code letter in data file", {'D', 'F', 'E'}, kIncorrectFile},
      {"lower case encoding", {'D', 'F', 'd'}, kIncorrectFile},
      {"file ends before tag", {'D', 'F', 'D'}, kFailedRead},
      {"wrong tag", {'D', 'F', 'F', '_', 'D', 'A'}, kIncorrectFile},
      {"length cut short", {'D', 'F', 'F', '_', 'D', 'D', 0, 1, 0}, kFailedRead},
      // The size test comes before the checksum field is read.
      {"length 0", data_file(0, std::nullopt, 0), "Incorrect data size !\n"},
      {"length 255", data_file(255, std::nullopt, 0), "Incorrect data size !\n"},
      {"length 384", data_file(384, std::nullopt, 0), "Incorrect data size !\n"},
      {"checksum cut short", Concat(data_file(256, std::nullopt, 0), {0, 0xFF}), kFailedRead},
      {"stored bytes one short", data_file(256, 65280, 255), kFailedRead},
      {"huge length, short file", data_file(0xFFFFFF00u, 0, 10), kFailedRead},
      {"checksum wrong", data_file(256, 65281, 256), kIncorrectCrc},
  };
  const Bytes previous = BuildDataFile(Bytes(512, 0x5A), 'D');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(LoadData(previous));
    TakeLog();
    EXPECT_FALSE(LoadData(c.file));
    ExpectOnlyError(c.message);
    EXPECT_FALSE(store_.DataImage().present());
    EXPECT_EQ(store_.DataImage().length(), 0u);
  }
  // The good one of the same shape loads.
  EXPECT_TRUE(LoadData(data_file(256, 65280, 256)));
  EXPECT_EQ(TakeLog(), (std::vector<Entry>{{0, "Loading FLASH completed !\n"}}));
  EXPECT_EQ(store_.DataImage().length(), 256u);
}

TEST_F(ImageStoreTest, SeventeenByteFileLoadsNothingButSucceeds) {
  const Bytes a = Pattern(100, 1);
  ASSERT_TRUE(LoadCode(BuildCodeFile(&a, &a, 'E')));
  TakeLog();
  Bytes file;
  Add(file, "CFF");
  file = Concat(Concat(file, EmptySection("_AB")), EmptySection("_BA"));
  ASSERT_EQ(file.size(), 17u);
  EXPECT_TRUE(LoadCode(file));
  EXPECT_EQ(TakeLog(), (std::vector<Entry>{{1, "Loading CODE failed... !!!\n"}}));
  EXPECT_FALSE(store_.HasCodeImage());
  EXPECT_EQ(store_.CodeEncoding(), 0);
  EXPECT_EQ(store_.LastSectionA().length_field, 0u);
  EXPECT_TRUE(store_.LastSectionB().length_read);
}

TEST_F(ImageStoreTest, OnlySectionBFilled) {
  const Bytes b = Pattern(300, 2);
  EXPECT_TRUE(LoadCode(BuildCodeFile(nullptr, &b, 'F')));
  EXPECT_EQ(TakeLog(), (std::vector<Entry>{{0, "Loading CODE completed !\n"}}));
  EXPECT_FALSE(store_.CodeImage().present());
  EXPECT_EQ(store_.CodeImage().length(), 0u);
  ASSERT_TRUE(store_.ExtendedCodeImage().present());
  EXPECT_EQ(store_.ExtendedCodeImage().length(), CODE_IMAGE_SIZE);
}

TEST_F(ImageStoreTest, SectionLengthLimits) {
  Bytes header;
  Add(header, "CFF");
  // Length 1 carries two stored bytes; the rest of the buffer stays 0.
  const Bytes two = {0x12, 0x34};
  EXPECT_TRUE(LoadCode(
      Concat(Concat(header, CodeSection("_AB", two, CodeSum(two, 0))), EmptySection("_BA"))));
  ASSERT_TRUE(store_.CodeImage().present());
  EXPECT_EQ(store_.LastSectionA().length_field, 1u);
  EXPECT_EQ(store_.CodeImage().length(), CODE_IMAGE_SIZE);
  const uint8_t* buf = store_.CodeImage().data();
  EXPECT_EQ(buf[0], 0x12);
  EXPECT_EQ(buf[1], 0x34);
  for (uint32_t i = 2; i < CODE_IMAGE_SIZE; ++i) ASSERT_EQ(buf[i], 0) << i;
  EXPECT_EQ(store_.DecodeCodeByte(buf[CODE_IMAGE_SIZE - 1]), 0xFF);

  // Length 0x80000 carries 0x80001 stored bytes and loads.
  Bytes full = Pattern(CODE_IMAGE_SIZE + 1, 3);
  EXPECT_TRUE(LoadCode(
      Concat(Concat(header, EmptySection("_AB")), CodeSection("_BA", full, CodeSum(full, 0)))));
  ASSERT_TRUE(store_.ExtendedCodeImage().present());
  EXPECT_EQ(store_.ExtendedCodeImage().length(), CODE_IMAGE_SIZE);
  EXPECT_EQ(
      Bytes(store_.ExtendedCodeImage().data(), store_.ExtendedCodeImage().data() + kCodeBufferSize),
      full);
  TakeLog();

  // Length 0x80001 would overrun the buffer: refused, nothing loaded.
  full.push_back(0x42);
  EXPECT_FALSE(LoadCode(
      Concat(Concat(header, CodeSection("_AB", full, CodeSum(full, 0))), EmptySection("_BA"))));
  ExpectOnlyError("Incorrect code size !\n");
  EXPECT_FALSE(store_.HasCodeImage());
}

TEST_F(ImageStoreTest, ChecksumWithTheWrongRotationIsRefused) {
  const Bytes stored = Pattern(64, 4);
  uint32_t data_rotation_sum = 0;
  for (uint8_t s : stored) data_rotation_sum += DecodeDataByte(s, 1);
  ASSERT_NE(data_rotation_sum, CodeSum(stored, 1));
  Bytes file;
  Add(file, "CFE");
  file = Concat(Concat(file, CodeSection("_AB", stored, data_rotation_sum)), EmptySection("_BA"));
  EXPECT_FALSE(LoadCode(file));
  ExpectOnlyError(kIncorrectCrc);
  // A mode-0 checksum does not pass in mode 1 either.
  Bytes file0;
  Add(file0, "CFE");
  file0 =
      Concat(Concat(file0, CodeSection("_AB", stored, CodeSum(stored, 0))), EmptySection("_BA"));
  EXPECT_FALSE(LoadCode(file0));
  ExpectOnlyError(kIncorrectCrc);

  // And for data: the code rotation does not verify a 'D' file.
  Bytes plain = Pattern(256, 5);
  Bytes data = BuildDataFile(plain, 'D');
  uint32_t code_rotation_sum = 0;
  for (size_t i = 14; i < data.size(); ++i) code_rotation_sum += DecodeCodeByte(data[i], 1);
  for (int i = 0; i < 4; ++i) data[10 + i] = static_cast<uint8_t>(code_rotation_sum >> (8 * i));
  EXPECT_FALSE(LoadData(data));
  ExpectOnlyError(kIncorrectCrc);
}

TEST_F(ImageStoreTest, TrailingBytesAreIgnored) {
  const Bytes a = Pattern(1000, 6), b = Pattern(77, 7);
  const Bytes junk = {'C', 'F', 'F', 0xFF, 0x00, 0x13};
  EXPECT_TRUE(LoadCode(Concat(BuildCodeFile(&a, &b, 'E'), junk)));
  EXPECT_EQ(TakeLog(), (std::vector<Entry>{{0, "Loading CODE completed !\n"}}));
  EXPECT_TRUE(store_.CodeImage().present() && store_.ExtendedCodeImage().present());
  EXPECT_TRUE(LoadData(Concat(BuildDataFile(Pattern(512, 8), 'F'), junk)));
  EXPECT_EQ(TakeLog(), (std::vector<Entry>{{0, "Loading FLASH completed !\n"}}));
}

TEST_F(ImageStoreTest, FailedOpenAndCancelChangeNothing) {
  const Bytes a = Pattern(10, 9);
  ASSERT_TRUE(LoadCode(BuildCodeFile(&a, nullptr, 'E')));
  ASSERT_TRUE(LoadData(BuildDataFile(Pattern(256, 10), 'D')));
  TakeLog();
  const uint8_t* code_before = store_.CodeImage().data();
  const uint8_t* data_before = store_.DataImage().data();

  ScriptedChooser cancel(std::nullopt);
  EXPECT_FALSE(store_.LoadCodeImageFile(cancel));
  EXPECT_FALSE(store_.LoadDataImageFile(cancel));
  EXPECT_EQ(cancel.asked_, (std::vector<ImageKind>{ImageKind::kCode, ImageKind::kData}));
  EXPECT_TRUE(TakeLog().empty());

  const std::string missing = (dir_.path() / "missing.fcode").string();
  EXPECT_FALSE(store_.LoadCodeImageFromPath(missing));
  ExpectOnlyError("Failed open file !\n");
  ScriptedChooser chooses_missing(missing);
  EXPECT_FALSE(store_.LoadDataImageFile(chooses_missing));
  ExpectOnlyError("Failed open file !\n");
  // A folder, a device or a FIFO is no file to load, and none may block
  // (a FIFO without a writer would wait in open or read forever).
#ifdef _WIN32
  const std::vector<std::string> not_files = {dir_.path().string(), "NUL", "\\\\.\\NUL"};
#else
  const std::string fifo = (dir_.path() / "pipe.fcode").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<std::string> not_files = {dir_.path().string(), "/dev/null", fifo};
#endif
  for (const std::string& path : not_files) {
    EXPECT_FALSE(store_.LoadCodeImageFromPath(path)) << path;
    ExpectOnlyError("Failed open file !\n");
    EXPECT_FALSE(store_.LoadDataImageFromPath(path)) << path;
    ExpectOnlyError("Failed open file !\n");
  }

  EXPECT_EQ(store_.CodeImage().data(), code_before);
  EXPECT_EQ(store_.CodeImage().length(), CODE_IMAGE_SIZE);
  EXPECT_EQ(store_.DataImage().data(), data_before);
  EXPECT_EQ(store_.DataImage().length(), 256u);
  EXPECT_EQ(store_.CodeEncoding(), 1);
  EXPECT_EQ(store_.DataEncoding(), 1);
}

#ifdef _WIN32
// Device names are refused before they are opened: opening a serial port
// raises its lines, which resets many boards.
TEST_F(ImageStoreTest, DeviceNamesAreKnownWithoutOpening) {
  const std::string file = dir_.Write("COM3x.fcode", Bytes{1});
  const struct {
    std::string path;
    bool device;
  } cases[] = {
      {"COM3", true},
      {"com1", true},
      {"NUL", true},
      {"\\\\.\\COM12", true},
      {"\\\\.\\pipe\\x", true},
      {file, false},
      {dir_.path().string(), false},
      {"COM3x.fcode", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(quelmar::image::detail::IsDeviceName(c.path), c.device) << c.path;
  }
}
#endif

TEST_F(ImageStoreTest, ChooserPathIsLoaded) {
  const Bytes a = Pattern(5, 11);
  ScriptedChooser code(dir_.Write("x.fcode", BuildCodeFile(&a, nullptr, 'F')));
  EXPECT_TRUE(store_.LoadCodeImageFile(code));
  EXPECT_EQ(code.asked_, (std::vector<ImageKind>{ImageKind::kCode}));
  EXPECT_TRUE(store_.CodeImage().present());
  ScriptedChooser data(dir_.Write("x.fdata", BuildDataFile(Pattern(256, 12), 'F')));
  EXPECT_TRUE(store_.LoadDataImageFile(data));
  EXPECT_EQ(data.asked_, (std::vector<ImageKind>{ImageKind::kData}));
  EXPECT_TRUE(store_.DataImage().present());
}

TEST_F(ImageStoreTest, ModeIsKeptAfterALaterFailure) {
  EXPECT_FALSE(LoadCode({'C', 'F', 'E', '_'}));
  ExpectOnlyError(kFailedRead);
  EXPECT_EQ(store_.CodeEncoding(), 1);
  EXPECT_FALSE(LoadData({'D', 'F', 'D', '_', 'D', 'D', 0, 1, 0, 0}));
  ExpectOnlyError(kFailedRead);
  EXPECT_EQ(store_.DataEncoding(), 1);
  // An unknown letter leaves the mode as the last accepted one.
  EXPECT_FALSE(LoadCode({'C', 'F', 'X'}));
  EXPECT_EQ(store_.CodeEncoding(), 1);
  EXPECT_FALSE(LoadCode({'C', 'F', 'F'}));
  EXPECT_EQ(store_.CodeEncoding(), 0);
}

TEST_F(ImageStoreTest, AllocationFailures) {
  store_.SetAllocationLimit(1024);
  const Bytes a = Pattern(10, 13);
  EXPECT_FALSE(LoadCode(BuildCodeFile(&a, nullptr, 'F')));
  ExpectOnlyError("Failed allocate memory A !\n");
  EXPECT_FALSE(LoadCode(BuildCodeFile(nullptr, &a, 'F')));
  ExpectOnlyError("Failed allocate memory A !\n");
  EXPECT_FALSE(store_.HasCodeImage());
  EXPECT_TRUE(LoadData(BuildDataFile(Pattern(768, 14), 'F')));
  TakeLog();
  EXPECT_FALSE(LoadData(BuildDataFile(Pattern(1024, 14), 'F')));
  ExpectOnlyError("Failed allocate memory !\n");
  EXPECT_FALSE(store_.DataImage().present());
}

TEST_F(ImageStoreTest, FileCutAnywhereFailsReading) {
  const Bytes a = Pattern(40, 15), b = Pattern(33, 16);
  const Bytes code = BuildCodeFile(&a, &b, 'E');
  const Bytes data = BuildDataFile(Pattern(256, 17), 'D');
  for (size_t cut = 0; cut < code.size(); ++cut) {
    SCOPED_TRACE(cut);
    EXPECT_FALSE(LoadCode(Bytes(code.begin(), code.begin() + static_cast<long>(cut))));
    ExpectOnlyError(kFailedRead);
    EXPECT_FALSE(store_.HasCodeImage());
    EXPECT_FALSE(store_.LoadCodeImageFromMemory(code.data(), cut));
    ExpectOnlyError(kFailedRead);
  }
  for (size_t cut = 0; cut < data.size(); ++cut) {
    SCOPED_TRACE(cut);
    EXPECT_FALSE(LoadData(Bytes(data.begin(), data.begin() + static_cast<long>(cut))));
    ExpectOnlyError(kFailedRead);
    EXPECT_FALSE(store_.DataImage().present());
  }
  // Random cuts through files with full-size sections.
  const Bytes big_a = Pattern(CODE_IMAGE_SIZE, 18), big_b = Pattern(CODE_IMAGE_SIZE - 7, 19);
  const Bytes big = BuildCodeFile(&big_a, &big_b, 'F');
  const Bytes big_data = BuildDataFile(Pattern(256 * 1024, 20), 'F');
  std::mt19937 rng(21);
  for (int i = 0; i < 40; ++i) {
    const size_t cut = rng() % big.size();
    SCOPED_TRACE(cut);
    EXPECT_FALSE(LoadCode(Bytes(big.begin(), big.begin() + static_cast<long>(cut))));
    ExpectOnlyError(kFailedRead);
    const size_t data_cut = rng() % big_data.size();
    EXPECT_FALSE(LoadData(Bytes(big_data.begin(), big_data.begin() + static_cast<long>(data_cut))));
    ExpectOnlyError(kFailedRead);
  }
  EXPECT_TRUE(LoadCode(big));
  EXPECT_TRUE(LoadData(big_data));
}

TEST_F(ImageStoreTest, RoundTripThroughWriterAndLoader) {
  const Bytes a = Pattern(CODE_IMAGE_SIZE, 22), b = Pattern(4097, 23);
  const Bytes plain_data = Pattern(512 * 3, 24);
  for (char enc : {'F', 'E'}) {
    SCOPED_TRACE(enc);
    ASSERT_TRUE(LoadCode(BuildCodeFile(&a, &b, enc)));
    EXPECT_EQ(store_.CodeEncoding(), enc == 'E' ? 1 : 0);
    for (const auto& [image, plain] :
         {std::pair{&store_.CodeImage(), &a}, std::pair{&store_.ExtendedCodeImage(), &b}}) {
      ASSERT_TRUE(image->present());
      ASSERT_EQ(image->length(), CODE_IMAGE_SIZE);
      Bytes decoded(image->length());
      for (uint32_t i = 0; i < image->length(); ++i)
        decoded[i] = store_.DecodeCodeByte(image->data()[i]);
      Bytes expected = *plain;
      expected.resize(CODE_IMAGE_SIZE, 0xFF);  // the unwritten rest reaches the board erased
      ASSERT_EQ(decoded, expected);
    }
    EXPECT_TRUE(store_.LastSectionA().verified());
    EXPECT_EQ(store_.LastSectionB().length_field, 4097u);
  }
  for (char enc : {'F', 'D'}) {
    SCOPED_TRACE(enc);
    ASSERT_TRUE(LoadData(BuildDataFile(plain_data, enc)));
    EXPECT_EQ(store_.DataEncoding(), enc == 'D' ? 1 : 0);
    ASSERT_EQ(store_.DataImage().length(), plain_data.size());
    Bytes decoded(plain_data.size());
    for (size_t i = 0; i < decoded.size(); ++i)
      decoded[i] = store_.DecodeDataByte(store_.DataImage().data()[i]);
    EXPECT_EQ(decoded, plain_data);
    EXPECT_TRUE(store_.LastDataSection().verified());
  }
}

TEST_F(ImageStoreTest, LongPathLoads) {
  fs::path deep = dir_.path();
  for (int i = 0; i < 3; ++i) deep /= std::string(120, static_cast<char>('a' + i));
  fs::create_directories(deep);
  const std::string path = (deep / "firmware.fcode").string();
  ASSERT_GT(path.size(), 260u);
  const Bytes a = Pattern(10, 25);
  const Bytes file = BuildCodeFile(&a, nullptr, 'F');
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  EXPECT_TRUE(store_.LoadCodeImageFromPath(path));
  EXPECT_TRUE(store_.CodeImage().present());
}

}  // namespace
}  // namespace quelmar::image
