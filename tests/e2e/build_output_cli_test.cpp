// quelmar-cli with build output as the compiler wrote it (the ARM test
// firmware, its HEX and S-record): pack-code, info, and flash into simulated
// boards, one, several and in --auto, compared with objcopy's binaries.
#include <gtest/gtest.h>

#include <sstream>

#include "image/image_store.h"
#include "process.h"
#include "support/firmware.h"
#include "support/recording_sink.h"

namespace quelmar::testing {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

RunResult Cli(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  return RunProgram(QUELMAR_CLI_PATH, args, env, 120s);
}

void Write(const std::string& path, const Bytes& bytes) {
  WriteWholeFile(path, std::string(bytes.begin(), bytes.end()));
}

std::string Text(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// What a bank of flash holds after bytes were written from its start.
Bytes Bank(Bytes plain) {
  plain.resize(image::CODE_IMAGE_SIZE, 0xFF);
  return plain;
}

// The plain bytes a loaded code image file sends to each bank.
std::pair<Bytes, Bytes> Sent(const std::string& fcode) {
  RecordingSink sink;
  Log log(&sink);
  image::ImageStore store(log);
  if (!store.LoadCodeImageFromPath(fcode)) return {};
  auto decode = [&](const image::Image& img) {
    Bytes out;
    if (!img.present()) return out;
    for (uint32_t i = 0; i < img.length(); ++i) out.push_back(store.DecodeCodeByte(img.data()[i]));
    return out;
  };
  return {decode(store.CodeImage()), decode(store.ExtendedCodeImage())};
}

// An S-record line for the 32-bit address (S3), or the end (S7).
std::string S3(uint32_t address, const Bytes& data, int type = 3) {
  return SrecLine(type, address, data);
}

TEST(PackCode, EveryFormatOfOneProgramGivesTheSameCodeImageAsObjcopysBinaries) {
  TempDir dir;
  const Bytes a = FirmwareBytes("app_a.bin"), b = FirmwareBytes("app_b.bin");
  ASSERT_FALSE(a.empty() || b.empty());
  struct Case {
    const char* file;
    const char* name;  // as the user has it
    const char* format;
  };
  const Case cases[] = {
      {"app.elf", "app.elf", "ELF"},
      {"app.elf", "app.axf", "ELF"},
      {"app.hex", "app.hex", "Intel HEX"},
      {"app.srec", "app.srec", "S-record"},
      {"app.srec", "app.s19", "S-record"},
      {"app.srec", "app.mot", "S-record"},
      // Told by content, whatever the name says.
      {"app.elf", "firmware.bin", "ELF"},
      {"app.hex", "app.srec.txt", "Intel HEX"},
  };
  Bytes first;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string in = dir.File(c.name), out = dir.File(std::string(c.name) + ".fcode");
    const Bytes original = FirmwareBytes(c.file);
    Write(in, original);
    const RunResult r = Cli({"pack-code", "-o", out, in});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(
        lines[0].rfind(
            std::string("Packed ") + c.name + " (" + c.format + "): bank A 0x1A000000-0x1A002", 0),
        0u)
        << lines[0];
    EXPECT_EQ(lines[1], "Loading CODE completed !");
    EXPECT_EQ(lines[2], "Wrote " + out + ": encoding F, bank A " + std::to_string(a.size()) +
                            " bytes, bank B " + std::to_string(b.size()) + " bytes");
    const Bytes packed = FileBytes(out);
    if (first.empty()) first = packed;
    EXPECT_TRUE(packed == first) << "the same image from every format";
    const auto [sent_a, sent_b] = Sent(out);
    EXPECT_TRUE(sent_a == Bank(a)) << "bank A";
    EXPECT_TRUE(sent_b == Bank(b)) << "bank B";
    EXPECT_TRUE(FileBytes(in) == original) << "the input is never changed";
  }
  // Encoding E stores other bytes for the same program.
  const std::string out = dir.File("e.fcode");
  ASSERT_EQ(Cli({"pack-code", "-o", out, "--encoding", "E", FirmwareFile("full.elf")}).exit_code,
            0);
  const auto [full_a, full_b] = Sent(out);
  EXPECT_TRUE(full_a == FirmwareBytes("full_a.bin") && full_b == FirmwareBytes("full_b.bin"))
      << "both banks full";
}

TEST(PackCode, ARefusedInputWritesNothingAndSaysWhy) {
  TempDir dir;
  const std::string outside =
      " lies outside flash banks A (0x1A000000-0x1A07FFFF) and B (0x1B000000-0x1B07FFFF)";
  struct Case {
    const char* name;
    std::string bytes;
    std::string message;  // after "quelmar-cli: PATH: "
  };
  const std::vector<Case> cases = {
      {"ram.elf", Text(FirmwareBytes("ram.elf")), "segment 0: data at 0x10000000" + outside},
      {"low.srec", S3(0x1A000000, {1}) + S3(0x00001000, {2}) + S3(0, {}, 7),
       "line 2: data at 0x00001000" + outside},
      {"joined.srec", S3(0x1A000000, {1, 2, 3}) + S3(0x1A000001, {7}) + S3(0, {}, 7),
       "line 2: address 0x1A000001 is given 0x07, but line 1 gave it 0x02"},
      {"sum.srec", "S3061A00000001DF\n" + S3(0, {}, 7), "line 1: checksum mismatch"},
      {"cut.srec", S3(0x1A000000, {1}), "line 2: missing end record (S7, S8 or S9)"},
      {"high.hex", ":020000041A08D8\n:0100000001FE\n:00000001FF\n",
       "line 2: data at 0x1A080000" + outside},
      {"nothing.hex", ":00000001FF\n", "no data for bank A or bank B"},
      {"notes.txt", "just some words\n",
       "neither its content nor its name says ELF, Intel HEX or S-record"},
      {"image.elf", std::string("CFF_AB\0\0\0\0_BA\0\0\0\0", 17),
       "an image file (.fcode) already, not build output"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string in = dir.File(c.name);
    WriteWholeFile(in, c.bytes);
    // A new output is not made; an old one stays as it was.
    const std::string fresh = dir.File(std::string(c.name) + ".fcode");
    const RunResult r = Cli({"pack-code", "-o", fresh, in});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "quelmar-cli: " + in + ": " + c.message + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(std::ifstream(fresh).good());
    const std::string old = dir.File("old.fcode");
    WriteWholeFile(old, "old contents");
    EXPECT_EQ(Cli({"pack-code", "-o", old, in}).exit_code, 1);
    EXPECT_EQ(ReadWholeFile(old), "old contents");
    EXPECT_EQ(ReadWholeFile(in), c.bytes) << "the input is never changed";
  }
}

TEST(Info, ShowsWhatEachBankReceives) {
  TempDir dir;
  // Twelve bytes in bank A, each 16 bytes from the next: eleven gaps, of
  // which ten are listed.
  std::string text;
  for (uint32_t i = 0; i < 12; ++i) text += S3(0x1A000100 + 16 * i, {static_cast<uint8_t>(i)});
  text += S3(0x1B000000, {1, 2, 3, 4}) + S3(0, {}, 7);
  const std::string path = dir.File("app.s19");
  WriteWholeFile(path, text);
  const RunResult r = Cli({"info", path});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::string expected =
      "Packed app.s19 (S-record): bank A 0x1A000100-0x1A0001B0 (12 bytes), bank B "
      "0x1B000000-0x1B000003 (4 bytes).\n"
      "Loading CODE completed !\n"
      "File: " +
      path +
      "\n"
      "Kind: build output (S-record)\n"
      "Bank A (0x1A000000-0x1A07FFFF): 0x1A000100-0x1A0001B0, 12 bytes used, 11 gaps (165 bytes "
      "of 0xFF)\n";
  for (uint32_t i = 0; i < 10; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "  gap 0x%08X-0x%08X (15 bytes)\n", 0x1A000101 + 16 * i,
                  0x1A00010F + 16 * i);
    expected += line;
  }
  expected +=
      "  ... and 1 more gaps\n"
      "  sends 524288 bytes to flash bank A (0x1A000000), 0xFF after 0x1A0001B0\n"
      "Bank B (0x1B000000-0x1B07FFFF): 0x1B000000-0x1B000003, 4 bytes used, no gaps\n"
      "  sends 524288 bytes to flash bank B (0x1B000000), 0xFF after 0x1B000003\n"
      "Result: packs and loads\n";
  EXPECT_EQ(r.out, expected);

  // The test firmware: one gap in bank A between its two blocks, none in
  // bank B, the same from all three formats.
  std::string first;
  for (const char* file : {"app.elf", "app.hex", "app.srec"}) {
    SCOPED_TRACE(file);
    const RunResult fw = Cli({"info", FirmwareFile(file)});
    EXPECT_EQ(fw.exit_code, 0) << fw.err;
    const auto lines = Lines(fw.out);
    ASSERT_EQ(lines.size(), 10u) << fw.out;
    EXPECT_NE(lines[4].find(", 1 gap ("), std::string::npos) << lines[4];
    EXPECT_EQ(lines[5].rfind("  gap 0x1A000", 0), 0u) << lines[5];
    EXPECT_NE(lines[5].find("-0x1A001FFF ("), std::string::npos) << lines[5];
    EXPECT_NE(lines[7].find(", no gaps"), std::string::npos) << lines[7];
    const std::string banks = lines[4] + lines[5] + lines[7];
    if (first.empty()) first = banks;
    EXPECT_EQ(banks, first);
  }

  // A refused one says why, and yields nothing.
  const std::string bad = dir.File("bad.elf");
  Write(bad, FirmwareBytes("overlap.elf"));
  const RunResult refused = Cli({"info", bad});
  EXPECT_EQ(refused.exit_code, 1);
  const auto lines = Lines(refused.out);
  ASSERT_EQ(lines.size(), 4u) << refused.out;
  EXPECT_EQ(lines[0].rfind("Failed packing bad.elf (ELF): segments 0 (0x1A000000-", 0), 0u);
  EXPECT_EQ(lines[2], "Kind: build output (ELF)");
  EXPECT_EQ(lines[3], "Result: yields no image");
}

// Simulated boards with COM numbers in a port folder of the test's own.
class Boards {
 public:
  // Starts a board as COM<n>; its banks are dumped when it stops.
  void Add(int n, std::vector<std::string> args = {}) {
    args.insert(args.end(), {"--com", std::to_string(n), "--force", "--dump-code-a", Dump(n, 'a'),
                             "--dump-code-b", Dump(n, 'b')});
    auto sim = std::make_unique<SimProcess>();
    EXPECT_TRUE(sim->Start(args, Env()));
    sims_.push_back(std::move(sim));
  }
  // Stops all; what each said on stderr.
  std::string StopAll() {
    std::string all;
    for (auto& sim : sims_) {
      sim->Stop();
      all += sim->Stderr();
    }
    sims_.clear();
    return all;
  }
  // The board's banks hold objcopy's binaries of the program (stem).
  bool Holds(int n, const std::string& stem) const {
    return FileBytes(Dump(n, 'a')) == Bank(FirmwareBytes(stem + "_a.bin")) &&
           FileBytes(Dump(n, 'b')) == Bank(FirmwareBytes(stem + "_b.bin"));
  }
  std::vector<std::string> Env() const { return {"QUELMAR_PORT_DIR=" + ports_.path()}; }
  std::string File(const std::string& name) const { return dir_.File(name); }

 private:
  std::string Dump(int n, char bank) const { return dir_.File("dump-" + std::to_string(n) + bank); }
  TempDir dir_;
  TempDir ports_;
  std::vector<std::unique_ptr<SimProcess>> sims_;
};

TEST(FlashBuildOutput, LogsAsTheFcodeDoesWithOneFirstLineAndTheFlashHoldsTheProgram) {
  Boards boards;
  // The reference: the same program packed into an .fcode first.
  const std::string fcode = boards.File("app.fcode");
  ASSERT_EQ(Cli({"pack-code", "-o", fcode, FirmwareFile("app.elf")}).exit_code, 0);
  boards.Add(70, {"--quiet"});
  const RunResult reference = Cli({"flash", "COM70", "--code", fcode}, boards.Env());
  ASSERT_EQ(reference.exit_code, 0) << reference.out << reference.err;
  boards.StopAll();
  EXPECT_TRUE(boards.Holds(70, "app"));
  ASSERT_EQ(Lines(reference.out).front(), "Loading CODE completed !");

  struct Case {
    const char* file;
    const char* stem;  // the program it holds
    const char* format;
  };
  for (const Case& c : {Case{"app.elf", "app", "ELF"}, Case{"app.hex", "app", "Intel HEX"},
                        Case{"app.srec", "app", "S-record"}, Case{"full.elf", "full", "ELF"}}) {
    SCOPED_TRACE(c.file);
    boards.Add(70, {"--quiet"});
    const Bytes original = FirmwareBytes(c.file);
    const RunResult r = Cli({"flash", "COM70", "--code", FirmwareFile(c.file)}, boards.Env());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    boards.StopAll();
    EXPECT_TRUE(boards.Holds(70, c.stem)) << "the flash differs from objcopy's binaries";
    EXPECT_TRUE(FirmwareBytes(c.file) == original) << "the build output is never changed";
    const size_t first_end = r.out.find('\n') + 1;
    EXPECT_EQ(r.out.rfind(std::string("Packed ") + c.file + " (" + c.format + "): bank A ", 0), 0u)
        << r.out;
    if (std::string(c.stem) == "app") {
      EXPECT_EQ(r.out.substr(first_end), reference.out) << "all but the first line as for .fcode";
    }
  }
}

TEST(FlashBuildOutput, ARefusedFileTouchesNoBoard) {
  Boards boards;
  boards.Add(71);  // not quiet: its summary counts the requests it saw
  const RunResult r = Cli({"flash", "COM71", "--code", FirmwareFile("ram.elf")}, boards.Env());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out,
            "Failed packing ram.elf (ELF): segment 0: data at 0x10000000 lies outside flash banks "
            "A (0x1A000000-0x1A07FFFF) and B (0x1B000000-0x1B07FFFF)\n");
  EXPECT_NE(boards.StopAll().find(" 0 requests"), std::string::npos);
}

TEST(FlashBuildOutput, SeveralBoardsAndAutoTakeItToo) {
  Boards boards;
  boards.Add(72, {"--quiet"});
  boards.Add(73, {"--quiet"});
  const RunResult r =
      Cli({"flash", "COM72", "COM73", "--code", FirmwareFile("app.srec")}, boards.Env());
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  const auto lines = Lines(r.out);
  ASSERT_GE(lines.size(), 4u);
  // Packed and loaded once, before any board, unprefixed.
  EXPECT_EQ(lines[0].rfind("Packed app.srec (S-record): ", 0), 0u) << r.out;
  EXPECT_EQ(lines[1], "Loading CODE completed !");
  EXPECT_EQ(Occurrences(r.out, "Packed "), 1);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
            (std::vector<std::string>{"COM72: OK", "COM73: OK"}));
  boards.StopAll();
  EXPECT_TRUE(boards.Holds(72, "app"));
  EXPECT_TRUE(boards.Holds(73, "app"));

  boards.Add(74, {"--quiet"});
  const RunResult automatic =
      Cli({"flash", "COM74", "--auto", "--count", "1", "--code", FirmwareFile("app.hex")},
          boards.Env());
  EXPECT_EQ(automatic.exit_code, 0) << automatic.out << automatic.err;
  EXPECT_EQ(Lines(automatic.out).front().rfind("Packed app.hex (Intel HEX): ", 0), 0u);
  EXPECT_EQ(Lines(automatic.out).back(), "Boards: 1 OK, 0 failed");
  boards.StopAll();
  EXPECT_TRUE(boards.Holds(74, "app"));
}

}  // namespace
}  // namespace quelmar::testing
