#include "production/record.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <vector>

#include "common/utf8_path.h"
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

bool RecordsFile::Append(const BoardRecord& record, std::string* why) {
  const std::string line = RecordJson(record) + "\n";
  std::lock_guard lock(mutex_);
  return file_.Append(line, why);
}

}  // namespace quelmar::production
