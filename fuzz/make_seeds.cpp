// Writes small, valid starting inputs for the fuzz targets with the
// packer's writer: DIR/code, DIR/data, DIR/hex, DIR/srec and DIR/elf (the
// last two filled by run.sh from the compiled test firmware, beside one
// hand-made S-record here), and records files as flash --records writes
// them in DIR/records.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "image/image_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

Bytes Ramp(size_t n, uint8_t start) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(start + i * 7);
  return out;
}

bool Put(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool PutText(const fs::path& path, const std::string& text) {
  return Put(path, Bytes(text.begin(), text.end()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: fuzz_make_seeds DIR\n");
    return 2;
  }
  const fs::path dir = argv[1];
  for (const char* sub : {"code", "data", "hex", "srec", "elf", "records"})
    fs::create_directories(dir / sub);
  bool ok = true;
  int n = 0;
  const Bytes small = Ramp(5, 1), medium = Ramp(300, 9);
  for (char enc : {'F', 'E'}) {
    using quelmar::image::BuildCodeFile;
    const std::string e(1, enc);
    ok &= Put(dir / "code" / ("empty_" + e), BuildCodeFile(nullptr, nullptr, enc));
    ok &= Put(dir / "code" / ("a_" + e), BuildCodeFile(&small, nullptr, enc));
    ok &= Put(dir / "code" / ("b_" + e), BuildCodeFile(nullptr, &small, enc));
    ok &= Put(dir / "code" / ("ab_" + e), BuildCodeFile(&medium, &small, enc));
    n += 4;
  }
  for (char enc : {'F', 'D'}) {
    const std::string e(1, enc);
    ok &= Put(dir / "data" / ("256_" + e), quelmar::image::BuildDataFile(Ramp(256, 3), enc));
    ok &= Put(dir / "data" / ("512_" + e), quelmar::image::BuildDataFile(Ramp(512, 4), enc));
    n += 2;
  }
  ok &= PutText(dir / "hex" / "two_banks",
                ":020000041A00E0\n:03000000010203F7\n:020000041B00DF\n:0100100042AD\n"
                ":0400000508000131BD\n:00000001FF\n");
  ok &= PutText(dir / "hex" / "segment", ":020000021000EC\r\n:0100000000FF\r\n:00000001FF\r\n");
  // Both banks, a count record and an end; CRLF line ends.
  ok &= PutText(dir / "srec" / "two_banks",
                "S00600004844521B\r\nS3081A000000010203D7\r\nS3061B000010428C\r\n"
                "S5030002FA\r\nS7051A000000E0\r\n");
  n += 3;
  // A board written OK with two fields, one that failed before it
  // answered, and a line torn by a crash before a whole record.
  const std::string ok_board =
      R"({"time_start":"2026-12-08T07:59:51.282Z","time_end":"2026-12-08T08:00:52.690Z",)"
      R"("duration_s":61.407,"port":"COM3","device":"/dev/ttyUSB0","board":1,"result":"ok",)"
      R"("failure":null,"bootloader":"2.8","chip":"LPC4357","chip_words":["0xA001C830",)"
      R"("0x00000000","0x4D4C4551","0x0053494D","0x00000000","0x00000000","0x00000000",)"
      R"("0x00000000"],"fields":{"serial":100000,"mac":"02:51:4D:00:00:FE","label":"=A1"},)"
      R"("code":{"file":"app.fcode","sha256":"4e4479de86124fb67693791ae70eecafe4fe3dfa43c74f8a9f)"
      R"(3f46f22c9c7ac3"},"data":null,"profile":null,"sent":{"bank_a_sha256":"f237072a7ec5a047)"
      R"(21b402279c2529c88e2fe7196cca1f8674b555bc0dd01e64","bank_b_sha256":null,)"
      R"("data_sha256":null},"host":"line3","version":"1.1.0","log":"Opened COM3\nWrite )"
      R"(CODE... OK.\n"})";
  const std::string failed_board =
      R"({"time_start":"2026-12-08T08:01:00.000Z","time_end":"2026-12-08T08:01:03.000Z",)"
      R"("duration_s":3.0,"port":"COM4","device":"COM4","board":2,"result":"failed",)"
      R"("failure":"Get bootloader info... Failed","bootloader":null,"chip":null,)"
      R"("chip_words":null,"fields":{},"code":null,"data":null,"profile":null,)"
      R"("sent":{"bank_a_sha256":null,"bank_b_sha256":null,"data_sha256":null},)"
      R"("host":"line3","version":"1.1.0","log":""})";
  ok &= PutText(dir / "records" / "two", ok_board + "\n" + failed_board + "\n");
  ok &= PutText(dir / "records" / "torn", ok_board.substr(0, 200) + "\n" + failed_board + "\r\n");
  ok &= PutText(dir / "records" / "mistyped",
                R"({"time_start":"x","port":"COM3","board":1,"result":null,"fields":[1]})"
                "\n");
  n += 3;
  if (!ok) {
    std::fprintf(stderr, "fuzz_make_seeds: cannot write into %s\n", dir.c_str());
    return 1;
  }
  std::printf("%d seeds in %s\n", n, dir.c_str());
  return 0;
}
