// Shared pieces of the fuzz targets: a sink that keeps the log, and a check
// that stops the run with a message when an invariant breaks.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/ui_sink.h"
#include "image/build_output.h"
#include "image/image_store.h"

namespace quelmar::fuzz {

class KeepingSink final : public UiSink {
 public:
  struct Line {
    int severity;
    std::string text;
  };
  void LogText(int severity, std::string_view text) override {
    lines.push_back({severity, std::string(text)});
  }
  void ErrorBox(std::string_view) override {}
  void ProgressChanged(const ProgressState&) override {}
  void SetControlEnabled(int, bool) override {}
  std::vector<Line> lines;
};

inline void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// Runs the format's reader on the input and checks what it gives when it
// accepts: banks within the flash, their spans ascending and apart, erased
// bytes wherever no span is, each bank ending with its last given byte.
// Then the one path on to a code image, as the programs load build output:
// it loads exactly when the reader accepted data, logs what it packed (or
// one error), and sends exactly the banks' bytes. Returns the reader's
// error ("" when it accepted).
inline std::string CheckBuildOutput(const uint8_t* data, size_t size, image::FileFormat format) {
  image::CodeBanks banks;
  std::string error;
  const bool read = image::ReadBuildOutput(format, data, size, &banks, &error);
  Check(read == error.empty(), "an error is given exactly when the input is refused");
  if (read) {
    for (int which = 0; which < 2; ++which) {
      const std::vector<uint8_t>& bank = banks.Bank(which);
      const std::vector<image::BankSpan>& used = banks.Used(which);
      Check(bank.size() <= image::kBankSize, "a bank fits the flash");
      Check(bank.empty() == used.empty(), "a bank has bytes exactly when it has spans");
      uint32_t pos = 0;
      for (size_t i = 0; i < used.size(); ++i) {
        Check(used[i].begin < used[i].end, "spans are not empty");
        Check(i == 0 || used[i - 1].end < used[i].begin, "spans are ascending and apart");
        for (; pos < used[i].begin; ++pos) Check(bank[pos] == 0xFF, "gaps are erased");
        pos = used[i].end;
      }
      Check(pos == bank.size(), "a bank ends with its last given byte");
    }
  }

  KeepingSink sink;
  Log log(&sink);
  image::ImageStore store(log);
  const bool loaded = store.LoadBuildOutputFromMemory(data, size, format, "x");
  const bool has_data = read && !banks.Empty();
  Check(loaded == has_data, "it loads exactly when the reader gave data");
  if (!loaded) {
    Check(sink.lines.size() == 1 && sink.lines[0].severity == 1 &&
              sink.lines[0].text.rfind("Failed packing x (", 0) == 0,
          "a refusal is one error line");
    Check(!store.HasCodeImage(), "a refusal leaves no code image");
    return error.empty() ? "no data" : error;
  }
  Check(sink.lines.size() == 2 && sink.lines[0].text == image::PackedLine("x", format, banks) &&
            sink.lines[1].text == "Loading CODE completed !\n",
        "a load logs what it packed, then the loader's line");
  for (int which = 0; which < 2; ++which) {
    const image::Image& img = which == 0 ? store.CodeImage() : store.ExtendedCodeImage();
    const std::vector<uint8_t>& bank = banks.Bank(which);
    Check(img.present() == !bank.empty(), "a bank with data becomes an image");
    if (!img.present()) continue;
    Check(img.length() == image::CODE_IMAGE_SIZE, "a code image is 512 KiB long");
    for (uint32_t i = 0; i < bank.size(); ++i)
      Check(store.DecodeCodeByte(img.data()[i]) == bank[i], "the image sends the bank's bytes");
    for (size_t i = bank.size(); i < image::CODE_IMAGE_SIZE; i += 4093)
      Check(store.DecodeCodeByte(img.data()[i]) == 0xFF, "erased after the bank's bytes");
  }
  return "";
}

}  // namespace quelmar::fuzz
