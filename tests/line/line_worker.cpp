// line_worker: a station's part of a board's life in the line's database,
// board after board, without a board: reserve the values of each field,
// then file the record. Tests run several at once against one pool.
//
//   line_worker --db CONNINFO --station NAME --boards N
//               --pool NAME:FORMAT[:SIZE]... [--no-file] [--fail-every K]
//
// Prints "board ID POOL=VALUE..." per board as soon as its values are
// reserved. Exit status 0, 3 when a pool was used up, 1 on any other
// failure (its line on stderr).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "line/line_db.h"
#include "production/record.h"

namespace {

namespace line = quelmar::line;
namespace production = quelmar::production;

int Fail(const std::string& why) {
  std::fprintf(stderr, "line_worker: %s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string db_text, station = "worker";
  unsigned boards = 1, fail_every = 0;
  bool file = true;
  std::vector<line::PoolField> fields;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "--db") {
      db_text = value;
      ++i;
    } else if (arg == "--station") {
      station = value;
      ++i;
    } else if (arg == "--boards") {
      boards = static_cast<unsigned>(std::atoi(value));
      ++i;
    } else if (arg == "--fail-every") {
      fail_every = static_cast<unsigned>(std::atoi(value));
      ++i;
    } else if (arg == "--no-file") {
      file = false;
    } else if (arg == "--pool") {
      std::string pool_arg = value;
      ++i;
      line::PoolField f;
      const size_t colon = pool_arg.find(':');
      f.pool = pool_arg.substr(0, colon);
      f.def.name = f.pool;
      std::string rest = pool_arg.substr(colon + 1);
      size_t size = 0;
      const size_t last = rest.rfind(':');
      if (last != std::string::npos &&
          rest.find_first_not_of("0123456789", last + 1) == std::string::npos &&
          last + 1 < rest.size()) {
        size = std::strtoul(rest.c_str() + last + 1, nullptr, 10);
        rest.resize(last);
      }
      std::string why;
      if (!production::ParseFormat(rest, &f.def.format, &f.def.pattern, &why)) return Fail(why);
      f.def.size = static_cast<uint32_t>(size);
      if (!production::SettleSize(&f.def, size != 0, &why)) return Fail(why);
      fields.push_back(f);
    } else {
      return Fail("unknown argument '" + arg + "'");
    }
  }
  line::LineDb db;
  std::string why;
  if (!db.Connect(db_text, &why) || !db.CheckFields(fields, &why)) return Fail(why);
  for (unsigned n = 1; n <= boards; ++n) {
    production::BoardRecord record;
    record.time_start = std::chrono::system_clock::now();
    record.port = "COM" + std::to_string(n);
    record.device = record.port;
    record.board = n;
    const std::string id = production::NewBoardId();
    std::vector<production::FieldValue> values;
    std::string key;
    record.id = id;
    record.station = station;
    switch (db.Reserve(fields, {id, station, record.port}, &values, &key, &why)) {
      case line::LineDb::Reserved::kOk:
        break;
      case line::LineDb::Reserved::kUsedUp:
        std::printf("used up: %s\n", why.c_str());
        return 3;
      default:
        return Fail(why);
    }
    std::string line = "board " + id;
    for (size_t i = 0; i < fields.size(); ++i) {
      const production::ShownValue shown = production::ShowValue(fields[i].def, values[i]);
      const std::string text = shown.is_number ? std::to_string(shown.number) : shown.text;
      line += " " + fields[i].pool + "=" + text;
      record.fields.emplace_back(fields[i].def.name, shown);
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (!file) continue;
    record.result = fail_every != 0 && n % fail_every == 0 ? "failed" : "ok";
    record.time_end = std::chrono::system_clock::now();
    line::FiledBoard filed{id,
                           station,
                           record.port,
                           n,
                           record.result,
                           production::IsoUtc(record.time_start),
                           production::IsoUtc(record.time_end),
                           line::WithoutNul(production::RecordJson(record)),
                           "",
                           "",
                           ""};
    filed.seal = line::SealRecord(key, filed.record);
    if (db.File(filed, &why) != line::LineDb::Filed::kOk) return Fail(why);
  }
  return 0;
}
