#include "line/spool.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <tuple>

#include "image/image_writer.h"

namespace quelmar::line {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

bool IsBoardId(const std::string& text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

}  // namespace

std::string SpoolFolderFor(const std::string& profile_path) {
  fs::path path(profile_path);
  path.replace_extension(".spool");
  return path.string();
}

bool Spool::Open(const std::string& folder, std::string* why) {
  folder_ = folder;
  std::error_code error;
  fs::create_directories(folder, error);
  if (error || !fs::is_directory(folder, error)) {
    *why = "cannot make the spool folder '" + folder +
           "': " + (error ? error.message() : std::string("it is not a folder"));
    return false;
  }
  return true;
}

bool Spool::Put(const FiledBoard& board, std::string* why) {
  if (!IsBoardId(board.id)) {
    *why = "'" + board.id + "' is no board id";
    return false;
  }
  Json record = Json::parse(board.record, nullptr, false);
  if (record.is_discarded()) {
    *why = "the record of board " + board.id + " is not JSON";
    return false;
  }
  Json j;
  j["id"] = board.id;
  j["station"] = board.station;
  j["port"] = board.port;
  j["board"] = board.board;
  j["result"] = board.result;
  j["time_start"] = board.time_start;
  j["time_end"] = board.time_end;
  j["record"] = std::move(record);
  const std::string text = j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  const std::string path = (fs::path(folder_) / (board.id + ".json")).string();
  std::string error;
  if (!image::WriteFileAtomically(path, std::vector<uint8_t>(text.begin(), text.end()), &error)) {
    *why = "cannot spool the record: " + error;
    return false;
  }
  return true;
}

bool Spool::Pending(std::vector<FiledBoard>* boards, std::vector<std::string>* unreadable,
                    std::string* why) const {
  boards->clear();
  unreadable->clear();
  std::error_code error;
  fs::directory_iterator it(folder_, error);
  if (error) {
    *why = "cannot read the spool folder '" + folder_ + "': " + error.message();
    return false;
  }
  for (const fs::directory_entry& entry : it) {
    const fs::path& path = entry.path();
    const std::string name = path.filename().string();
    // Temporary files of a write cut short start with a dot.
    if (name.empty() || name[0] == '.' || path.extension() != ".json") continue;
    // Spooled records are files of their own, renamed into place: a link,
    // a pipe or a device is no record, and reading one could wait for ever.
    std::error_code status_error;
    if (entry.symlink_status(status_error).type() != fs::file_type::regular) {
      unreadable->push_back(path.string());
      continue;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const Json j = Json::parse(text.str(), nullptr, false);
    FiledBoard b;
    bool ok = !j.is_discarded() && j.is_object();
    try {
      if (ok) {
        b.id = j.at("id").get<std::string>();
        b.station = j.at("station").get<std::string>();
        b.port = j.at("port").get<std::string>();
        b.board = j.at("board").get<unsigned>();
        b.result = j.at("result").get<std::string>();
        b.time_start = j.at("time_start").get<std::string>();
        b.time_end = j.at("time_end").get<std::string>();
        b.record = j.at("record").dump(-1, ' ', false, Json::error_handler_t::replace);
        ok = IsBoardId(b.id) && name == b.id + ".json";
      }
    } catch (const Json::exception&) {
      ok = false;
    }
    if (!ok) {
      unreadable->push_back(path.string());
      continue;
    }
    boards->push_back(std::move(b));
  }
  std::sort(boards->begin(), boards->end(), [](const FiledBoard& a, const FiledBoard& b) {
    return std::tie(a.time_end, a.id) < std::tie(b.time_end, b.id);
  });
  std::sort(unreadable->begin(), unreadable->end());
  return true;
}

LineDb::Filed Spool::FileAll(LineDb& db, size_t* filed, std::string* why) {
  *filed = 0;
  std::vector<FiledBoard> boards;
  std::vector<std::string> unreadable;
  if (!Pending(&boards, &unreadable, why)) return LineDb::Filed::kRefused;
  // A record the database refuses stays, and holds up none after it.
  std::optional<std::string> refused;
  for (const FiledBoard& board : boards) {
    const LineDb::Filed filed_now = db.File(board, why);
    if (filed_now == LineDb::Filed::kAway) {
      *why = "spooled board " + board.id + ": " + *why;
      return filed_now;
    }
    if (filed_now != LineDb::Filed::kOk) {
      if (!refused) refused = "spooled board " + board.id + ": " + *why;
      continue;
    }
    // Filed: the file goes. Should the removal be lost in a crash, the
    // next filing of the same id changes nothing.
    std::error_code error;
    fs::remove(fs::path(folder_) / (board.id + ".json"), error);
    if (error) {
      *why = "cannot remove the spooled record of board " + board.id + ": " + error.message();
      return LineDb::Filed::kRefused;
    }
    ++*filed;
  }
  if (refused) {
    *why = *refused;
    return LineDb::Filed::kRefused;
  }
  if (!unreadable.empty()) {
    *why = "the spool holds " + std::to_string(unreadable.size()) +
           " file(s) that are not spooled records, left alone: '" + unreadable.front() +
           "': look at them and move them out of the spool to go on";
    return LineDb::Filed::kRefused;
  }
  return LineDb::Filed::kOk;
}

}  // namespace quelmar::line
