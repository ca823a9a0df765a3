// A production run's records against what happened to each board: values
// reserved before a failure, a record that could not be written, and the
// images' hashes against files changed on disk after they were loaded.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "image/image_writer.h"
#include "production/records_view.h"
#include "production/run.h"
#include "production/sha256.h"
#include "support/firmware.h"
#include "support/temp_dir.h"

namespace quelmar::production {
namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;
using nlohmann::json;

void WriteBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

std::string Sha(const Bytes& bytes) {
  return Sha256Hex(bytes.data(), bytes.size());
}

Bytes CodeFile(uint8_t seed) {
  Bytes code(1000);
  for (size_t i = 0; i < code.size(); ++i) code[i] = static_cast<uint8_t>(i * 7 + seed);
  return image::BuildCodeFile(&code, nullptr, 'E');
}

Bytes DataFile(uint8_t seed) {
  return image::BuildDataFile(Bytes(512, seed), 'D');
}

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::MakeTempDir("quelmar_run_");
    ASSERT_FALSE(dir_.empty());
    images_.SetFileDigest(&digest_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string File(const std::string& name) const { return (dir_ / name).string(); }

  // A counter in bank A's erased padding, past the code.
  FieldDef Counter(const std::string& name, uint32_t offset, uint64_t start,
                   std::optional<uint64_t> end = std::nullopt) const {
    FieldDef f;
    f.name = name;
    f.where = {Place::kBankA, offset};
    f.format = Format::kU32Le;
    f.size = 4;
    f.start = start;
    f.end = end;
    f.state_path = File(name + ".state");
    return f;
  }

  std::vector<json> Records(const std::string& path) const {
    RecordsRead read;
    std::string why;
    EXPECT_TRUE(ReadRecords(path, &read, &why)) << why;
    EXPECT_TRUE(read.warnings.empty());
    return {read.records.begin(), read.records.end()};
  }

  fs::path dir_;
  Log log_;
  Sha256FileDigest digest_;
  image::ImageStore images_{log_};
};

// The second field is used up on the second board: that board gets no
// image, but the serial number it was given is spent, so its record must
// still name it (or the number is a gap no one can explain).
TEST_F(RunTest, ALaterFieldUsedUpKeepsTheEarlierFieldsValuesInTheRecord) {
  WriteBytes(File("app.fcode"), CodeFile(1));
  ASSERT_TRUE(images_.LoadCodeImageFromPath(File("app.fcode")));
  RunSettings settings;
  settings.fields = {Counter("serial", 0x1000, 100), Counter("batch", 0x1004, 7, 7)};
  settings.records_path = File("records.jsonl");
  settings.code_path = File("app.fcode");
  ProductionRun run;
  std::string why;
  ASSERT_TRUE(run.Prepare(settings, images_, &why)) << why;

  for (unsigned board = 1; board <= 2; ++board) {
    BoardSession session(run, "COM3", "/dev/ttyUSB0");
    const auto reserved = session.Reserve(&why);
    if (board == 1) {
      ASSERT_EQ(reserved, ValueSource::Reserved::kOk) << why;
      ASSERT_TRUE(session.Finish("ok", std::nullopt, "Write CODE... OK.\n", &why)) << why;
    } else {
      ASSERT_EQ(reserved, ValueSource::Reserved::kUsedUp);
      const std::string line = why;
      ASSERT_TRUE(session.Finish("failed", line, "", &why)) << why;
    }
  }
  const auto records = Records(File("records.jsonl"));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["fields"], json({{"serial", 100}, {"batch", 7}}));
  EXPECT_EQ(records[1]["fields"], json({{"serial", 101}}));
  EXPECT_EQ(records[1]["result"], "failed");
  EXPECT_NE(records[1]["failure"].get<std::string>().find("'batch'"), std::string::npos);
}

// A board written OK whose record cannot be written (the records file was
// rotated and a folder made in its place) is a failed board: counted so,
// and --json's record says so.
TEST_F(RunTest, ABoardWhoseRecordWasNotWrittenCountsFailed) {
  WriteBytes(File("app.fcode"), CodeFile(1));
  ASSERT_TRUE(images_.LoadCodeImageFromPath(File("app.fcode")));
  std::FILE* events = std::tmpfile();
  ASSERT_NE(events, nullptr);
  RunSettings settings;
  settings.records_path = File("out/records.jsonl");
  settings.code_path = File("app.fcode");
  settings.json = events;
  ProductionRun run;
  std::string why;
  ASSERT_TRUE(run.Prepare(settings, images_, &why)) << why;
  {
    BoardSession session(run, "COM3", "/dev/ttyUSB0");
    ASSERT_TRUE(session.Finish("ok", std::nullopt, "", &why)) << why;
  }
  fs::rename(dir_ / "out" / "records.jsonl", dir_ / "out" / "records.jsonl.1");
  fs::create_directory(dir_ / "out" / "records.jsonl");
  {
    BoardSession session(run, "COM4", "/dev/ttyUSB1");
    EXPECT_FALSE(session.Finish("ok", std::nullopt, "", &why));
    EXPECT_NE(why.find("was moved or deleted"), std::string::npos) << why;
  }
  EXPECT_EQ(run.Ok(), 1u);
  EXPECT_EQ(run.Failed(), 1u);

  std::rewind(events);
  std::vector<json> record_events;
  char line[8192];
  while (std::fgets(line, sizeof line, events) != nullptr) {
    const json event = json::parse(line, nullptr, false);
    if (event.is_object() && event["type"] == "record") record_events.push_back(event);
  }
  std::fclose(events);
  ASSERT_EQ(record_events.size(), 2u);
  EXPECT_EQ(record_events[0]["result"], "ok");
  EXPECT_EQ(record_events[1]["result"], "failed");
}

// The images are replaced on disk between their load and the run's start
// (a build finishing, a copy from the server): every record must carry the
// hash of what the boards were sent, the bytes loaded.
TEST_F(RunTest, TheRecordsHashTheImagesAsLoadedNotAsTheyAreNow) {
  const Bytes code = CodeFile(1), data = DataFile(2);
  WriteBytes(File("app.fcode"), code);
  WriteBytes(File("cal.fdata"), data);
  ASSERT_TRUE(images_.LoadCodeImageFromPath(File("app.fcode")));
  ASSERT_TRUE(images_.LoadDataImageFromPath(File("cal.fdata")));
  WriteBytes(File("app.fcode"), CodeFile(9));
  fs::remove(File("cal.fdata"));
  WriteBytes(File("cal.fdata"), DataFile(8));

  RunSettings settings;
  settings.records_path = File("records.jsonl");
  settings.code_path = File("app.fcode");
  settings.data_path = File("cal.fdata");
  ProductionRun run;
  std::string why;
  ASSERT_TRUE(run.Prepare(settings, images_, &why)) << why;
  BoardSession session(run, "COM3", "/dev/ttyUSB0");
  ASSERT_TRUE(session.Finish("ok", std::nullopt, "", &why)) << why;
  const auto records = Records(File("records.jsonl"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["code"], json({{"file", File("app.fcode")}, {"sha256", Sha(code)}}));
  EXPECT_EQ(records[0]["data"], json({{"file", File("cal.fdata")}, {"sha256", Sha(data)}}));
}

// The digest an image load gives is the SHA-256 of the whole file as
// `sha256sum` gives it, whatever kind of file, even bytes the loader itself
// never needed; a load that failed or came from memory has none.
TEST_F(RunTest, ALoadsDigestIsThatOfTheWholeFile) {
  const Bytes trailing = [] {
    Bytes b = CodeFile(3);
    b.insert(b.end(), {'t', 'a', 'i', 'l'});
    return b;
  }();
  const struct {
    const char* name;
    Bytes bytes;
    bool code;
  } cases[] = {
      {"app.fcode", CodeFile(1), true},
      {"tail.fcode", trailing, true},
      {"app.elf", testing::FirmwareBytes("app.elf"), true},
      {"app.hex", testing::FirmwareBytes("app.hex"), true},
      {"cal.fdata", DataFile(5), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.bytes.empty());
    WriteBytes(File(c.name), c.bytes);
    const auto& file = c.code ? images_.CodeFile() : images_.DataFile();
    ASSERT_TRUE(c.code ? images_.LoadCodeImageFromPath(File(c.name))
                       : images_.LoadDataImageFromPath(File(c.name)));
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->path, File(c.name));
    EXPECT_EQ(file->digest, Sha(c.bytes));
  }
  // A failed load leaves no digest behind, and the next file's is its own.
  Bytes broken = CodeFile(4);
  broken[20] ^= 0x55;
  WriteBytes(File("broken.fcode"), broken);
  EXPECT_FALSE(images_.LoadCodeImageFromPath(File("broken.fcode")));
  EXPECT_FALSE(images_.CodeFile().has_value());
  ASSERT_TRUE(images_.LoadCodeImageFromPath(File("app.fcode")));
  EXPECT_EQ(images_.CodeFile()->digest, Sha(CodeFile(1)));
  const Bytes memory = CodeFile(6);
  ASSERT_TRUE(images_.LoadCodeImageFromMemory(memory.data(), memory.size()));
  EXPECT_FALSE(images_.CodeFile().has_value());
  // A run then has no hash to record, and says so rather than reading the
  // file again.
  RunSettings settings;
  settings.code_path = File("app.fcode");
  ProductionRun run;
  std::string why;
  EXPECT_FALSE(run.Prepare(settings, images_, &why));
  EXPECT_EQ(why, "no hash of '" + File("app.fcode") + "' as it was loaded");
}

}  // namespace
}  // namespace quelmar::production
