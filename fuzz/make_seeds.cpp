// Writes small, valid starting inputs for the fuzz targets with the
// packer's writer: DIR/code, DIR/data, DIR/hex, DIR/srec and DIR/elf (the
// last two filled by run.sh from the compiled test firmware, beside one
// hand-made S-record here).
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
  for (const char* sub : {"code", "data", "hex", "srec", "elf"}) fs::create_directories(dir / sub);
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
  if (!ok) {
    std::fprintf(stderr, "fuzz_make_seeds: cannot write into %s\n", dir.c_str());
    return 1;
  }
  std::printf("%d seeds in %s\n", n, dir.c_str());
  return 0;
}
