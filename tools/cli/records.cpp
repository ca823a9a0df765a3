#include "records.h"

#include <ctime>
#include <filesystem>
#include <system_error>
#include <vector>

#include "boards.h"
#include "common/utf8_path.h"
#include "image/image_writer.h"
#include "link/protocol.h"
#include "production/record.h"

namespace quelmar::cli {

void NoteIdentity(const link::Link& link, Record* record) {
  record->bootloader = link.BootloaderVersion();
  const auto& words = link.ChipInfo();
  std::string chip = link::LookupChip(words[0], words[1]).line;
  while (!chip.empty() && chip.back() == '\n') chip.pop_back();
  if (chip.rfind("Chip: ", 0) == 0) chip.erase(0, 6);
  record->chip = chip;
}

bool WriteRecord(const std::string& dir, const Record& r,
                 const std::function<void(const std::string&)>& note) {
  std::string text = "Start: " + production::UtcText(r.start, "%Y-%m-%d %H:%M:%S UTC") + "\n";
  text += "Port: " + r.label;
  if (!r.device.empty() && r.device != r.label) text += " (" + r.device + ")";
  text += "\n";
  if (r.board > 0) text += "Board: " + std::to_string(r.board) + "\n";
  text += "Bootloader: ";
  text += r.bootloader == 0
              ? std::string("none")
              : std::to_string(r.bootloader >> 8) + "." + std::to_string(r.bootloader & 0xFF);
  text += "\nChip: " + (r.chip.empty() ? std::string("none") : r.chip) + "\n";
  text += std::string("Result: ") + (r.ok ? "OK" : "FAILED") + "\n";
  text += "Log:\n" + r.log;
  if (!r.log.empty() && r.log.back() != '\n') text += "\n";

  std::error_code error;
  const std::filesystem::path folder = PathFromUtf8(dir);
  std::filesystem::create_directories(folder, error);
  const std::string stamp = production::UtcText(r.start, "%Y%m%d-%H%M%S");
  std::filesystem::path path = folder / RecordFileName(stamp, r.label, r.board);
  // A record is never replaced: a second one in the same second gets a suffix.
  for (int k = 2; std::filesystem::exists(path, error); ++k) {
    std::string name = RecordFileName(stamp, r.label, r.board);
    name.insert(name.size() - 4, "-" + std::to_string(k));
    path = folder / name;
  }
  std::string why;
  if (!image::WriteFileAtomically(Utf8FromPath(path),
                                  std::vector<uint8_t>(text.begin(), text.end()), &why)) {
    note("cannot write the record: " + why);
    return false;
  }
  return true;
}

}  // namespace quelmar::cli
