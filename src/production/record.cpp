#include "production/record.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <vector>

#include "common/utf8_path.h"
#include "image/image_writer.h"
#include "link/protocol.h"

namespace quelmar::production {

namespace {

int BankOf(uint32_t address) {
  return address >= link::kBankBAddress ? 1 : 0;
}

}  // namespace

void SentHashes::CodeBlockSent(uint32_t address, const uint8_t* bytes, uint32_t size) {
  const int k = BankOf(address);
  hash_[k].Update(bytes, size);
  bytes_[k] += size;
}

void SentHashes::DataBlockSent(uint32_t, const uint8_t* bytes, uint32_t size) {
  hash_[2].Update(bytes, size);
  bytes_[2] += size;
}

SentHashes::Digests SentHashes::Finish() {
  std::optional<std::string> out[3];
  for (int k = 0; k < 3; ++k) {
    if (bytes_[k] > 0) out[k] = hash_[k].FinishHex();
    bytes_[k] = 0;
  }
  return {out[0], out[1], out[2]};
}

std::string UtcText(std::chrono::system_clock::time_point t, const char* format) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[64];
  std::strftime(text, sizeof text, format, &utc);
  return text;
}

std::string IsoUtc(std::chrono::system_clock::time_point t) {
  // Seconds and milliseconds cut from one count, so they always agree.
  const auto since = t.time_since_epoch();
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(since);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since - whole).count();
  char text[16];
  std::snprintf(text, sizeof text, ".%03dZ", static_cast<int>(millis));
  return UtcText(std::chrono::system_clock::time_point(whole), "%Y-%m-%dT%H:%M:%S") + text;
}

std::string RecordJson(const BoardRecord& r) {
  using Json = nlohmann::ordered_json;
  auto optional_text = [](const std::optional<std::string>& text) {
    return text ? Json(*text) : Json(nullptr);
  };
  auto file_hash = [](const std::optional<FileHash>& f) {
    return f ? Json{{"file", f->file}, {"sha256", f->sha256}} : Json(nullptr);
  };
  Json j;
  if (!r.id.empty()) j["id"] = r.id;
  if (!r.station.empty()) j["station"] = r.station;
  j["time_start"] = IsoUtc(r.time_start);
  j["time_end"] = IsoUtc(r.time_end);
  j["duration_s"] = static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            r.time_end - r.time_start)
                                            .count()) /
                    1000.0;
  j["port"] = r.port;
  j["device"] = r.device;
  j["board"] = r.board;
  // Only a scanned board has them: records without stay as they were.
  if (r.unit) j["unit"] = *r.unit;
  if (r.rework_of) j["rework_of"] = *r.rework_of;
  j["result"] = r.result;
  j["failure"] = optional_text(r.failure);
  Json attempts = Json::array();
  for (const Attempt& a : r.attempts)
    attempts.push_back(Json{{"failure", a.failure}, {"time", IsoUtc(a.time)}});
  j["attempts"] = attempts;
  j["bootloader"] = optional_text(r.bootloader);
  j["chip"] = optional_text(r.chip);
  Json words = Json::array();
  for (uint32_t w : r.chip_words) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", w);
    words.push_back(text);
  }
  j["chip_words"] = r.chip_words.empty() ? Json(nullptr) : words;
  Json fields = Json::object();
  for (const auto& [name, value] : r.fields)
    fields[name] = value.is_number ? Json(value.number) : Json(value.text);
  j["fields"] = fields;
  j["code"] = file_hash(r.code);
  j["data"] = file_hash(r.data);
  j["profile"] = file_hash(r.profile);
  // Only a board of a released job names one: records without stay as
  // they were.
  if (r.job)
    j["job"] = Json{{"name", r.job->name}, {"version", r.job->version}, {"sha256", r.job->sha256}};
  j["sent"] = Json{{"bank_a_sha256", optional_text(r.sent.bank_a)},
                   {"bank_b_sha256", optional_text(r.sent.bank_b)},
                   {"data_sha256", optional_text(r.sent.data)}};
  j["host"] = r.host;
  j["version"] = r.version;
  j["log"] = r.log;
  if (r.label) {
    Json label{{"printer", r.label->printer},
               {"text", r.label->text},
               {"sha256", r.label->sha256},
               {"printed", r.label->printed}};
    if (!r.label->printed) label["why"] = r.label->why;
    j["label"] = label;
  }
  // Invalid UTF-8 in a log (a board's garbage) becomes U+FFFD rather than
  // an exception.
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string NewBoardId() {
  std::random_device random;
  uint8_t bytes[16];
  for (size_t i = 0; i < sizeof bytes; i += 4) {
    const uint32_t word = random();
    for (size_t k = 0; k < 4; ++k) bytes[i + k] = static_cast<uint8_t>(word >> (8 * k));
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4: random
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // the RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

bool RecordsFile::Open(const std::string& path, std::string* why) {
  std::lock_guard lock(mutex_);
  path_ = path;
  // The folders made here are flushed into their parents, as the new file
  // is into its folder: a power cut must not take the records' path away.
  namespace fs = std::filesystem;
  std::vector<fs::path> made;  // the missing folders, innermost first
  std::error_code error;
  for (fs::path folder = PathFromUtf8(path).parent_path(); !folder.empty();
       folder = folder.parent_path()) {
    if (fs::exists(folder, error) || error) break;
    made.push_back(folder);
    if (folder == folder.parent_path()) break;
  }
  error.clear();
  if (!made.empty()) fs::create_directories(made.front(), error);
  if (error) {
    *why = "cannot create the folder '" + Utf8FromPath(made.front()) + "': " + error.message();
    return false;
  }
  for (auto it = made.rbegin(); it != made.rend(); ++it) {
    const std::string parent = Utf8FromPath(it->parent_path());
    if (!FlushFolder(parent.empty() ? "." : parent, why)) return false;
  }
  return file_.Open(path, why);
}

namespace {

constexpr char kHeldSuffix[] = ".record";
// Far more than a board's record with its whole log and every retry.
constexpr size_t kMaxHeldBytes = 64u << 20;

// The records file's lines that hold these ids as their own. Only a line
// naming the id is parsed (a board id is random: it stands elsewhere only
// as a later record's rework_of), so a line written with other spacing
// counts too. Only a whole record counts: a line a power cut tore in the
// middle of its append holds the id too, and the held record is all that
// is left of that board.
std::set<std::string> IdsInFile(const std::string& path, const std::set<std::string>& ids) {
  std::set<std::string> found;
  std::ifstream in(PathFromUtf8(path), std::ios::binary);
  for (std::string line; found.size() < ids.size() && std::getline(in, line);) {
    for (const std::string& id : ids) {
      if (line.find("\"" + id + "\"") == std::string::npos) continue;
      const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
      if (!j.is_discarded() && j.is_object() && j.value("id", nlohmann::json()) == id)
        found.insert(id);
    }
  }
  return found;
}

}  // namespace

// One object's held records are told from another's in this process as
// from another process's: each has a lock of its own.
RecordsFile::RecordsFile() : tag_(NewHolderTag()) {}

RecordsFile::~RecordsFile() {
  std::lock_guard lock(mutex_);
  // A record still held is left with its lock file for the next run.
  if (!held_folder_.empty() && held_.empty())
    held_lock_.ReleaseAndRemove();
  else
    held_lock_.Release();
}

std::string RecordsFile::HeldPath(const std::string& tag, const std::string& id) const {
  return held_folder_ + "/" + tag + "." + id + kHeldSuffix;
}

bool RecordsFile::Hold(const BoardRecord& record, std::string* why) {
  if (record.id.empty()) return true;
  std::lock_guard lock(mutex_);
  namespace fs = std::filesystem;
  std::string reason;
  if (held_folder_.empty() || !held_lock_.StillHeld(&reason)) {
    const std::string folder = path_ + ".held";
    std::error_code error;
    if (fs::create_directory(PathFromUtf8(folder), error)) {
      const std::string parent = Utf8FromPath(PathFromUtf8(folder).parent_path());
      if (!FlushFolder(parent.empty() ? "." : parent, why)) return false;
    } else if (error) {
      *why = "cannot create the folder '" + folder + "': " + error.message();
      return false;
    }
    if (!held_lock_.Acquire(folder + "/" + tag_ + ".lock", std::chrono::milliseconds(0), why))
      return false;
    held_folder_ = folder;
  }
  const std::string text = RecordJson(record) + "\n";
  if (!image::WriteFileAtomically(HeldPath(tag_, record.id),
                                  std::vector<uint8_t>(text.begin(), text.end()), why))
    return false;
  held_.insert(record.id);
  return true;
}

void RecordsFile::Unhold(const std::string& id) {
  if (held_.erase(id) == 0) return;
  // A file left here by a failed removal is found in the records by its
  // id and never appended twice.
  std::error_code ignored;
  std::filesystem::remove(PathFromUtf8(HeldPath(tag_, id)), ignored);
}

bool RecordsFile::Append(const BoardRecord& record, std::string* why) {
  const std::string line = RecordJson(record) + "\n";
  std::lock_guard lock(mutex_);
  // The held record goes either way: one that could not be appended now
  // must not come back as OK once the run counted its board failed.
  const bool appended = file_.Append(line, why);
  Unhold(record.id);
  return appended;
}

bool RecordsFile::FileHeld(std::vector<std::string>* notes, std::string* why) {
  namespace fs = std::filesystem;
  std::lock_guard lock(mutex_);
  const std::string folder = path_ + ".held";
  std::error_code error;
  if (!fs::exists(PathFromUtf8(folder), error) && !error) return true;
  // tag -> (id, file) of each held record
  std::map<std::string, std::vector<std::pair<std::string, fs::path>>> held;
  const std::string suffix = kHeldSuffix;
  for (fs::directory_iterator it(PathFromUtf8(folder), error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = Utf8FromPath(it->path().filename());
    const size_t dot = name.find('.');
    // The lock file of a run killed after its last append: it goes too.
    if (dot != 0 && dot != std::string::npos && name.compare(dot, name.npos, ".lock") == 0) {
      held[name.substr(0, dot)];
      continue;
    }
    if (dot == 0 || dot == std::string::npos || name.size() <= suffix.size() + dot + 1 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    held[name.substr(0, dot)].push_back(
        {name.substr(dot + 1, name.size() - suffix.size() - dot - 1), it->path()});
  }
  if (error) {
    *why = "cannot read the folder '" + folder + "': " + error.message();
    return false;
  }
  for (auto& [tag, entries] : held) {
    // A process still running holds its lock, and its records are its own.
    FileLock owner;
    std::string busy;
    const std::string lock_path = folder + "/" + tag + ".lock";
    if (!owner.Acquire(lock_path, std::chrono::milliseconds(0), &busy)) {
      // Held: that process still runs. Anything else (a link put there)
      // would keep its records out of the file for good, unless said.
      if (!IsLockHeldText(busy))
        notes->push_back("records: " + busy + "; the records held beside it wait");
      continue;
    }
    std::set<std::string> ids;
    for (auto& entry : entries) ids.insert(entry.first);
    const std::set<std::string> present = IdsInFile(path_, ids);
    for (auto& [id, file] : entries) {
      // Only a file of this program's size is read: a link (to /dev/zero, to
      // someone else's file) or a pipe put here is never followed or waited on.
      std::error_code status_error;
      const fs::file_status status = fs::symlink_status(file, status_error);
      if (status_error || !fs::exists(status)) continue;  // removed meanwhile by another run
      std::string text;
      if (fs::is_regular_file(status) && fs::file_size(file, status_error) <= kMaxHeldBytes &&
          !status_error) {
        // Closed before the removal below: Windows removes no open file.
        std::ifstream in(file, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (!in && !in.eof()) continue;  // removed meanwhile by another run
      }
      const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
      // Only an OK board's record is held, its label not printed yet.
      const bool record = !j.is_discarded() && j.is_object() && j.contains("id") && j["id"] == id &&
                          !text.empty() && text.back() == '\n' &&
                          text.find('\n') == text.size() - 1 && j.contains("result") &&
                          j["result"] == "ok" &&
                          (!j.contains("label") || j["label"].is_null() ||
                           (j["label"].is_object() && j["label"].contains("printed") &&
                            j["label"]["printed"] == false));
      if (!record) {
        notes->push_back("records: '" + Utf8FromPath(file) +
                         "' is not a record this program held: it is left where it is");
        continue;
      }
      if (present.count(id) == 0) {
        std::string reason;
        if (!file_.Append(text, &reason)) {
          *why = "cannot append a held record: " + reason;
          return false;
        }
        std::string what = "board " + j.value("board", nlohmann::json(0)).dump();
        // Quoted as JSON: a file edited by hand puts no control
        // character on the terminal.
        if (j.contains("unit") && j["unit"].is_string())
          what += " (unit " +
                  j["unit"].dump(-1, ' ', true, nlohmann::json::error_handler_t::replace) + ")";
        if (j.contains("port") && j["port"].is_string())
          what += " on " + j["port"].dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
        notes->push_back("records: " + what +
                         " was OK when its program ended while printing its label: its record "
                         "is appended now; the label may not have printed (quelmar-cli label "
                         "reprint sends it again)");
      }
      std::error_code ignored;
      fs::remove(file, ignored);
    }
    owner.ReleaseAndRemove();
  }
  return true;
}

}  // namespace quelmar::production
