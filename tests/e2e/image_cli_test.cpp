// quelmar-cli info, pack-code and pack-data as a user runs them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "common/log.h"
#include "image/image_store.h"
#include "process.h"
#include "support/recording_sink.h"

namespace quelmar::testing {
namespace {

using Bytes = std::vector<uint8_t>;

RunResult Cli(const std::vector<std::string>& args) {
  return RunProgram(QUELMAR_CLI_PATH, args, {}, std::chrono::seconds(60));
}

std::string RandomText(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

// The plain bytes a loaded image sends for its first n bytes.
Bytes Decoded(const image::ImageStore& store, const image::Image& img, size_t n, bool code) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) {
    out[i] = code ? store.DecodeCodeByte(img.data()[i]) : store.DecodeDataByte(img.data()[i]);
  }
  return out;
}

Bytes AsBytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

TEST(PackAndInfo, RawBanksAndDataLoadBackToTheirBytes) {
  TempDir dir;
  const std::string a = RandomText(1000, 1), b = RandomText(524288, 2), d = RandomText(700, 3);
  WriteWholeFile(dir.File("a.bin"), a);
  WriteWholeFile(dir.File("b.bin"), b);
  WriteWholeFile(dir.File("d.bin"), d);
  for (const char* encoding : {"F", "E"}) {
    SCOPED_TRACE(encoding);
    const RunResult packed = Cli({"pack-code", "-o", dir.File("app.fcode"), "--encoding", encoding,
                                  "--bank-a", dir.File("a.bin"), "--bank-b", dir.File("b.bin")});
    ASSERT_EQ(packed.exit_code, 0) << packed.out << packed.err;
    const RunResult info = Cli({"info", dir.File("app.fcode")});
    EXPECT_EQ(info.exit_code, 0);
    EXPECT_EQ(info.out.rfind("Loading CODE completed !\n", 0), 0u) << info.out;

    RecordingSink sink;
    Log log(&sink);
    image::ImageStore store(log);
    ASSERT_TRUE(store.LoadCodeImageFromPath(dir.File("app.fcode")));
    EXPECT_EQ(store.CodeEncoding(), encoding[0] == 'E' ? 1 : 0);
    EXPECT_EQ(Decoded(store, store.CodeImage(), a.size(), true), AsBytes(a));
    // The rest of the bank goes out erased.
    EXPECT_EQ(Decoded(store, store.CodeImage(), image::CODE_IMAGE_SIZE, true)[a.size() + 10], 0xFF);
    EXPECT_EQ(Decoded(store, store.ExtendedCodeImage(), b.size(), true), AsBytes(b));
  }
  for (const char* encoding : {"F", "D"}) {
    SCOPED_TRACE(encoding);
    const RunResult packed =
        Cli({"pack-data", "-o", dir.File("d.fdata"), "--encoding", encoding, dir.File("d.bin")});
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    RecordingSink sink;
    Log log(&sink);
    image::ImageStore store(log);
    ASSERT_TRUE(store.LoadDataImageFromPath(dir.File("d.fdata")));
    EXPECT_EQ(store.DataImage().length(), 1024u) << "padded to a multiple of 512";
    Bytes expected = AsBytes(d);
    expected.resize(1024, 0xFF);
    EXPECT_EQ(Decoded(store, store.DataImage(), 1024, false), expected);
    EXPECT_EQ(Cli({"info", dir.File("d.fdata")}).out.rfind("Loading FLASH completed !\n", 0), 0u);
  }
}

TEST(PackAndInfo, IntelHexIntoBothBanks) {
  TempDir dir;
  // Bank A at its start, bank B at offset 0x10 after a gap, via linear
  // address records.
  WriteWholeFile(dir.File("app.hex"),
                 ":020000041A00E0\n"
                 ":0400000001020304F2\n"
                 ":020000041B00DF\n"
                 ":02001000AABB89\n"
                 ":00000001FF\n");
  const RunResult packed = Cli({"pack-code", "-o", dir.File("app.fcode"), dir.File("app.hex")});
  ASSERT_EQ(packed.exit_code, 0) << packed.out << packed.err;
  RecordingSink sink;
  Log log(&sink);
  image::ImageStore store(log);
  ASSERT_TRUE(store.LoadCodeImageFromPath(dir.File("app.fcode")));
  EXPECT_EQ(Decoded(store, store.CodeImage(), 5, true), (Bytes{1, 2, 3, 4, 0xFF}));
  Bytes b(0x12, 0xFF);
  b[0x10] = 0xAA;
  b[0x11] = 0xBB;
  b.push_back(0xFF);
  EXPECT_EQ(Decoded(store, store.ExtendedCodeImage(), 0x13, true), b);

  WriteWholeFile(dir.File("bad.hex"), ":020000041A00E0\n:0400000001020304F3\n:00000001FF\n");
  const RunResult bad = Cli({"pack-code", "-o", dir.File("bad.fcode"), dir.File("bad.hex")});
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_NE(bad.err.find("line 2"), std::string::npos) << bad.err;
  EXPECT_FALSE(std::ifstream(dir.File("bad.fcode")).good()) << "no output for a refused input";

  // Two outputs joined into one file disagree on 0x1A000002.
  WriteWholeFile(dir.File("joined.hex"),
                 ":020000041A00E0\n"
                 ":0400000001020304F2\n"
                 ":01000200AA53\n"
                 ":00000001FF\n");
  const RunResult joined =
      Cli({"pack-code", "-o", dir.File("joined.fcode"), dir.File("joined.hex")});
  EXPECT_EQ(joined.exit_code, 1);
  EXPECT_EQ(joined.err, "quelmar-cli: " + dir.File("joined.hex") +
                            ": line 3: address 0x1A000002 is given 0xAA, but line 2 gave it 0x03\n");
  EXPECT_FALSE(std::ifstream(dir.File("joined.fcode")).good()) << "no output for a refused input";
}

TEST(PackAndInfo, InfoOnAFifoSaysItCannotOpenItAtOnce) {
  TempDir dir;
  // Nobody ever writes into the FIFO: a loader that opened or read it would
  // wait for ever (the run's limit kills it and the exit code shows it).
  const std::string fifo = dir.File("pipe.fcode");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const RunResult r = RunProgram(QUELMAR_CLI_PATH, {"info", fifo}, {}, std::chrono::seconds(10));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out.rfind("Failed open file !\n", 0), 0u) << r.out;
}

TEST(PackAndInfo, BrokenFilesGetTheLoadersWordsAndExitOne) {
  TempDir dir;
  WriteWholeFile(dir.File("a.bin"), RandomText(300, 4));
  ASSERT_EQ(
      Cli({"pack-code", "-o", dir.File("good.fcode"), "--bank-a", dir.File("a.bin")}).exit_code, 0);
  const std::string good = ReadWholeFile(dir.File("good.fcode"));
  std::string bad_sum = good;
  bad_sum[20] = static_cast<char>(bad_sum[20] ^ 1);
  const std::string empty_sections =
      std::string("CFF_AB") + std::string(4, '\0') + "_BA" + std::string(4, '\0');
  const struct {
    const char* name;
    std::string bytes;
    const char* first_line;
  } cases[] = {
      {"cut.fcode", good.substr(0, good.size() - 1), "Failed reading file !\n"},
      {"sum.fcode", bad_sum, "Incorrect CRC !\n"},
      {"empty.fcode", empty_sections, "Loading CODE failed... !!!\n"},
      {"letter.fdata", "DFE_DD", "Incorrect file !\n"},
      {"size.fdata", std::string("DFF_DD") + std::string("\x80\x01\0\0", 4),
       "Incorrect data size !\n"},
      {"nothing.fcode", "", "Failed reading file !\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteWholeFile(dir.File(c.name), c.bytes);
    const RunResult r = Cli({"info", dir.File(c.name)});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out.rfind(c.first_line, 0), 0u) << r.out;
  }
  EXPECT_EQ(Cli({"info", dir.File("missing.fcode")}).out.rfind("Failed open file !\n", 0), 0u);
}

TEST(PackAndInfo, NeverOverwritesItsInputAndRefusesBadUsage) {
  TempDir dir;
  const std::string a = RandomText(100, 5);
  WriteWholeFile(dir.File("a.bin"), a);
  const RunResult same = Cli({"pack-code", "-o", dir.File("a.bin"), "--bank-a", dir.File("a.bin")});
  EXPECT_NE(same.exit_code, 0);
  EXPECT_EQ(ReadWholeFile(dir.File("a.bin")), a);

  EXPECT_EQ(Cli({"pack-code", "--bank-a", dir.File("a.bin")}).exit_code, 2) << "no -o";
  EXPECT_EQ(Cli({"pack-code", "-o", dir.File("x.fcode")}).exit_code, 2) << "no input";
  EXPECT_EQ(Cli({"pack-code", "-o", dir.File("x.fcode"), "--encoding", "D", "--bank-a",
                 dir.File("a.bin")})
                .exit_code,
            2);
  EXPECT_EQ(
      Cli({"pack-data", "-o", dir.File("x.fdata"), "--encoding", "E", dir.File("a.bin")}).exit_code,
      2);
  EXPECT_EQ(Cli({"info"}).exit_code, 2);
  WriteWholeFile(dir.File("big.bin"), std::string(524289, 'x'));
  EXPECT_EQ(
      Cli({"pack-code", "-o", dir.File("x.fcode"), "--bank-a", dir.File("big.bin")}).exit_code, 1);
}

}  // namespace
}  // namespace quelmar::testing
