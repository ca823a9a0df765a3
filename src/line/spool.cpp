#include "line/spool.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
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
  // Written as a record would be: a read-only share or a full disk shows
  // now, not after a board.
  const std::string probe = (fs::path(folder) / ".write-test").string();
  std::string reason;
  const std::vector<uint8_t> bytes = {'{', '}', '\n'};
  if (!image::WriteFileAtomically(probe, bytes, &reason)) {
    *why = "the spool folder '" + folder + "' cannot be written (" + reason +
           "): records wait there while the line's database does not answer; make it writable "
           "or set [line] spool = \"PATH\"";
    return false;
  }
  fs::remove(probe, error);
  return true;
}

bool Spool::SetAside(const std::string& id, const std::string& reason, std::string* why) {
  const fs::path from = fs::path(folder_) / (id + ".json");
  const fs::path to = fs::path(folder_) / (id + ".refused");
  std::string error;
  const std::string text = reason + "\n";
  if (!image::WriteFileAtomically((fs::path(folder_) / (id + ".reason")).string(),
                                  std::vector<uint8_t>(text.begin(), text.end()), &error)) {
    *why = "cannot write the reason of spooled board " + id + ": " + error;
    return false;
  }
  std::error_code rename_error;
  fs::rename(from, to, rename_error);
  if (rename_error) {
    *why = "cannot set the spooled board " + id + " aside: " + rename_error.message();
    return false;
  }
  return true;
}

bool Spool::Remove(const std::string& id, std::string* why) {
  std::error_code error;
  fs::remove(fs::path(folder_) / (id + ".json"), error);
  if (error) {
    *why = "cannot remove the spooled record of board " + id + ": " + error.message();
    return false;
  }
  return true;
}

size_t Spool::SetAsideCount() const {
  size_t n = 0;
  std::error_code error;
  for (fs::directory_iterator it(folder_, error), end; !error && it != end; it.increment(error))
    if (it->path().extension() == ".refused") ++n;
  return n;
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
  // The record's bytes as sealed: a record parsed and written again could
  // differ in a byte and so fail its seal.
  j["sealed"] = board.record;
  j["seal"] = board.seal;
  j["line"] = board.line;
  j["server"] = board.server;
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
        b.record = j.contains("sealed")
                       ? j.at("sealed").get<std::string>()
                       : j.at("record").dump(-1, ' ', false, Json::error_handler_t::replace);
        b.seal = j.value("seal", "");
        b.line = j.value("line", "");
        b.server = j.value("server", "");
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

LineDb::Filed Spool::FileAll(LineDb& db, const std::string& identity, size_t* filed,
                             std::vector<std::string>* notes, std::string* why) {
  *filed = 0;
  std::vector<FiledBoard> boards;
  std::vector<std::string> unreadable;
  if (!Pending(&boards, &unreadable, why)) return LineDb::Filed::kRefused;
  // Records reserved in another database are filed only there: counted by
  // line, named once.
  std::map<std::string, std::pair<size_t, std::string>> elsewhere;
  for (const FiledBoard& board : boards) {
    if (board.line != identity) {
      auto& [count, server] = elsewhere[board.line];
      ++count;
      server = board.server;
      continue;
    }
    const LineDb::Filed filed_now = db.File(board, why);
    if (filed_now == LineDb::Filed::kAway) {
      *why = "spooled board " + board.id + ": " + *why;
      return filed_now;
    }
    if (filed_now == LineDb::Filed::kRefused) {
      if (why->rfind(LineDb::kRefusedPrefix, 0) == 0) {
        // Not the board's record (changed after the board, or never
        // reserved): kept for a person, never sent again.
        std::string reason;
        if (!SetAside(board.id, *why, &reason)) notes->push_back(reason);
        notes->push_back("spooled board " + board.id + " was " + *why + "; set aside as '" +
                         (fs::path(folder_) / (board.id + ".refused")).string() + "'");
      } else {
        // A lock, a time-out, a full disk on the server: tried again later.
        notes->push_back("spooled board " + board.id + " waits: " + *why);
      }
      continue;
    }
    // Filed: the file goes. Should the removal be lost in a crash, the
    // next filing of the same record changes nothing.
    if (!Remove(board.id, why)) return LineDb::Filed::kRefused;
    ++*filed;
  }
  for (const auto& [line, seen] : elsewhere) {
    const auto& [count, server] = seen;
    // "station@db-test:5432/line_t": the line is its database, on its host.
    const size_t at = server.find('@'), slash = server.rfind('/');
    const std::string host = at != std::string::npos && slash != std::string::npos && slash > at
                                 ? server.substr(at + 1, slash - at - 1)
                                 : server;
    const std::string name = line.substr(line.find('/') + 1);
    notes->push_back("the spool holds " + std::to_string(count) + " record" +
                     (count == 1 ? "" : "s") + " of " +
                     (line.empty() ? std::string("an older quelmar-cli, not sealed")
                                   : "the line '" + name + "' on " + host) +
                     ": file them there, or move them away ('" + folder_ + "')");
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
