// pack_bench: packing build output into a code image, against reading the
// .fcode of the same program.
//
// The program is tests/firmware's full.elf, both flash banks full (2 x 512
// KiB), with its Intel HEX and S-record from objcopy. Each is packed in
// memory the way the programs load it (ImageStore::LoadBuildOutputFromMemory:
// read the format, build the code image, load it), and from its file
// (LoadCodeImageFromPath); the reference is LoadCodeImageFromPath of the
// .fcode that pack-code makes of it. Rounds alternate between all of them;
// medians are printed with their ratio to the .fcode's (goal: packing in
// memory under 50 ms).
//
// Times are printed, never judged: the exit status only says whether every
// load gave the program's bytes.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/log.h"
#include "image/build_output.h"
#include "image/image_store.h"
#include "image/image_writer.h"
#include "version/version.h"

namespace {

using namespace quelmar;
using Bytes = std::vector<uint8_t>;
using SteadyClock = std::chrono::steady_clock;

constexpr const char* kUsage =
    R"(Usage: pack_bench [OPTION]...
Measures packing a 1 MiB build output (both banks full) into a code image,
as ELF, Intel HEX and S-record, in memory and from the file, against
loading the .fcode of the same program.

  --rounds N     rounds, each timing every case once (default 30)
  --firmware DIR the test firmware's folder (default: this build's)
  --help         this text
  --version      the version
)";

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Whether the store holds the program's banks, as objcopy gives them.
bool Holds(const image::ImageStore& store, const Bytes& a, const Bytes& b) {
  const image::Image* images[2] = {&store.CodeImage(), &store.ExtendedCodeImage()};
  const Bytes* banks[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    if (!images[i]->present() || images[i]->length() != banks[i]->size()) return false;
    for (size_t k = 0; k < banks[i]->size(); ++k)
      if (store.DecodeCodeByte(images[i]->data()[k]) != (*banks[i])[k]) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 30;
  std::string firmware = QUELMAR_FIRMWARE_DIR;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("pack_bench %s\n", VersionString());
      return 0;
    }
    if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
      if (rounds < 1 || rounds > 10000) {
        std::fprintf(stderr, "pack_bench: --rounds takes 1 to 10000\n");
        return 2;
      }
    } else if (arg == "--firmware" && i + 1 < argc) {
      firmware = argv[++i];
    } else {
      std::fprintf(stderr, "pack_bench: unknown argument '%s'\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }

  const Bytes bank_a = ReadAll(firmware + "/full_a.bin"),
              bank_b = ReadAll(firmware + "/full_b.bin");
  if (bank_a.size() != image::kBankSize || bank_b.size() != image::kBankSize) {
    std::fprintf(stderr, "pack_bench: no full banks in %s (build quelmar_test_firmware)\n",
                 firmware.c_str());
    return 1;
  }
  struct Input {
    const char* label;
    image::FileFormat format;
    std::string path;
    Bytes bytes;
  };
  std::vector<Input> inputs = {
      {"ELF", image::FileFormat::kElf, firmware + "/full.elf", {}},
      {"Intel HEX", image::FileFormat::kIntelHex, firmware + "/full.hex", {}},
      {"S-record", image::FileFormat::kSrec, firmware + "/full.srec", {}},
  };
  for (Input& in : inputs) {
    in.bytes = ReadAll(in.path);
    if (in.bytes.empty()) {
      std::fprintf(stderr, "pack_bench: cannot read %s\n", in.path.c_str());
      return 1;
    }
  }
  // The reference: the .fcode of the same program, as pack-code writes it.
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("pack_bench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string fcode = (dir / "full.fcode").string();
  std::string error;
  if (!image::WriteFileAtomically(fcode, image::BuildCodeFile(&bank_a, &bank_b, 'F'), &error)) {
    std::fprintf(stderr, "pack_bench: %s\n", error.c_str());
    return 1;
  }
  const size_t fcode_size = static_cast<size_t>(std::filesystem::file_size(fcode));

  Log log;  // no sink: the lines are not the point here
  image::ImageStore store(log);
  bool all_good = true;
  // Times one load in milliseconds and checks what it left.
  auto timed = [&](const std::function<bool()>& load) {
    const auto start = SteadyClock::now();
    const bool ok = load();
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    if (!ok || !Holds(store, bank_a, bank_b)) all_good = false;
    return ms;
  };
  std::vector<double> reference;
  std::vector<std::vector<double>> in_memory(inputs.size()), from_file(inputs.size());
  for (int r = 0; r < rounds; ++r) {
    reference.push_back(timed([&] { return store.LoadCodeImageFromPath(fcode); }));
    for (size_t i = 0; i < inputs.size(); ++i) {
      const Input& in = inputs[i];
      in_memory[i].push_back(timed([&] {
        return store.LoadBuildOutputFromMemory(in.bytes.data(), in.bytes.size(), in.format, "x");
      }));
      from_file[i].push_back(timed([&] { return store.LoadCodeImageFromPath(in.path); }));
    }
  }
  std::filesystem::remove_all(dir);

  const double fcode_ms = Median(reference);
  std::printf("Packing 1 MiB of build output (both banks full), median of %d rounds\n", rounds);
  std::printf("  reading the .fcode (%zu bytes) from its file: %.2f ms\n", fcode_size, fcode_ms);
  std::printf("  %-10s %10s %12s %9s %12s %9s\n", "format", "file bytes", "in memory", "ratio",
              "from file", "ratio");
  for (size_t i = 0; i < inputs.size(); ++i) {
    const double mem = Median(in_memory[i]), file = Median(from_file[i]);
    std::printf("  %-10s %10zu %9.2f ms %8.2fx %9.2f ms %8.2fx\n", inputs[i].label,
                inputs[i].bytes.size(), mem, mem / fcode_ms, file, file / fcode_ms);
  }
  std::printf("  goal: packing in memory under 50 ms\n");
  if (!all_good) {
    std::fprintf(stderr, "pack_bench: a load did not give the program's bytes\n");
    return 1;
  }
  return 0;
}
