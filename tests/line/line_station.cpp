// line_station: a station as the line sees it, without boards: its slots
// go through the states a board's life takes, each finished board is filed
// through LineDb::File, and its reporter keeps its row; Pause, Resume and
// Stop from the line's page act as on a station. Tests and the line page's
// benchmark run several at once.
//
//   line_station --db CONNINFO --name NAME [--slots N] [--boards N]
//                [--fail-port PORT] [--step-ms M] [--steps K] [--serial S]
//                [--dashboard URL] [--job NAME@VERSION:STATE] [--no-file]
//
// Each slot (COM1 ... COMn) writes --boards boards (0: until stopped; the
// default 1), each in K steps of M ms; a board on --fail-port fails with
// "Write to FLASH... FAILED (error 05 at block A:3)". Prints "control WORD"
// as a control arrives, "board PORT N ok|failed serial=S" as a board is
// filed, "stopped" at the end. Exit status 0 after Stop, 1 on a failure.
// --job puts a job of that name, version and state ("running", "made",
// "retired") into the station's row.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "line/line_db.h"
#include "line/stations.h"
#include "production/record.h"

namespace {

namespace line = quelmar::line;
using namespace std::chrono_literals;

std::mutex out_mutex;
void Say(const std::string& text) {
  std::lock_guard lock(out_mutex);
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

std::string IsoNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  char tail[8];
  std::snprintf(tail, sizeof tail, ".%03dZ", static_cast<int>(ms));
  return std::string(text) + tail;
}

}  // namespace

int main(int argc, char** argv) {
  std::string db_text, name, fail_port, dashboard, pool, job;
  unsigned slots = 2, boards = 1, steps = 5, step_ms = 100, serial = 100000;
  bool file = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::string value = i + 1 < argc ? argv[i + 1] : "";
    auto number = [&] { return static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10)); };
    if (arg == "--no-file") {
      file = false;
      continue;
    }
    ++i;
    if (arg == "--db") {
      db_text = value;
    } else if (arg == "--name") {
      name = value;
    } else if (arg == "--slots") {
      slots = number();
    } else if (arg == "--boards") {
      boards = number();
    } else if (arg == "--fail-port") {
      fail_port = value;
    } else if (arg == "--step-ms") {
      step_ms = number();
    } else if (arg == "--steps") {
      steps = std::max(1u, number());
    } else if (arg == "--serial") {
      serial = number();
    } else if (arg == "--pool") {
      pool = value;
    } else if (arg == "--dashboard") {
      dashboard = value;
    } else if (arg == "--job") {
      job = value;
    } else {
      std::fprintf(stderr, "line_station: unknown argument '%s'\n", arg.c_str());
      return 1;
    }
  }

  std::atomic<bool> paused{false}, stop{false};
  line::StationReporter reporter(
      db_text, name,
      [&](line::LineControl c) {
        Say(std::string("control ") + line::ControlWord(c));
        if (c == line::LineControl::kPause) paused = true;
        if (c == line::LineControl::kResume) paused = false;
        if (c == line::LineControl::kStop) stop = true;
      },
      [](const std::string& note) { std::fprintf(stderr, "line_station: %s\n", note.c_str()); });
  std::string why;
  if (!reporter.Start(&why)) {
    std::fprintf(stderr, "line_station: %s\n", why.c_str());
    return 1;
  }
  line::LineDb db;
  if (file && !db.Connect(db_text, &why)) {
    std::fprintf(stderr, "line_station: %s\n", why.c_str());
    return 1;
  }

  line::StationReport report;
  report.host = "sim-host";
  report.version = "test";
  report.profile_sha256 = std::string(64, 'a');
  report.images = {{"app.elf", std::string(64, 'b')}};
  report.dashboard = dashboard;
  if (const size_t at = job.find('@'), colon = job.find(':'); colon != std::string::npos) {
    report.job = line::JobReport{job.substr(0, at), std::atoi(job.c_str() + at + 1),
                                 std::string(64, 'c'), job.substr(colon + 1)};
  }
  for (unsigned s = 0; s < slots; ++s)
    report.slots.push_back({"COM" + std::to_string(s + 1), "waiting", 0, ""});
  std::vector<unsigned> done(slots, 0);
  std::vector<unsigned> step(slots, 0);  // 0: no board on it
  std::vector<std::string> started(slots);
  auto publish = [&] {
    report.run = stop ? "stopping" : paused ? "paused" : "running";
    reporter.Report(report);
  };
  publish();
  Say("started");
  for (;;) {
    bool busy = false;
    for (unsigned s = 0; s < slots; ++s) {
      line::SlotReport& slot = report.slots[s];
      if (step[s] == 0) {
        const bool more = boards == 0 || done[s] < boards;
        if (!more || paused || stop) continue;
        step[s] = 1;
        started[s] = IsoNow();
        slot = {slot.port, "identifying", 0, ""};
        busy = true;
        continue;
      }
      busy = true;
      if (step[s] <= steps) {
        slot.state = "writing";
        slot.percent = static_cast<int>(step[s] * 100 / steps);
        ++step[s];
        continue;
      }
      // The board ends.
      const bool ok = slot.port != fail_port;
      const unsigned number = ++done[s];
      unsigned shown = serial++;
      slot.state = ok ? "ok" : "failed";
      slot.failure = ok ? "" : "Write to FLASH... FAILED (error 05 at block A:3)";
      (ok ? report.ok : report.failed) += 1;
      step[s] = 0;
      if (file) {
        nlohmann::ordered_json record;
        const std::string id = quelmar::production::NewBoardId();
        const std::string end = IsoNow();
        record["time_start"] = started[s];
        record["time_end"] = end;
        record["port"] = slot.port;
        record["board"] = number;
        record["result"] = ok ? "ok" : "failed";
        record["failure"] =
            ok ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(slot.failure);
        // The serial from --pool, as a station's: the database takes a
        // record only with the values it reserved. Without it, none.
        record["fields"] = nlohmann::ordered_json::object();
        record["host"] = report.host;
        std::vector<line::PoolField> fields;
        if (!pool.empty()) {
          line::PoolField f;
          f.pool = pool;
          f.def.name = "serial";
          f.def.size = 4;
          fields.push_back(f);
        }
        std::vector<quelmar::production::FieldValue> values;
        std::string key;
        if (db.Reserve(fields, {id, name, slot.port}, &values, &key, &why) !=
            line::LineDb::Reserved::kOk) {
          std::fprintf(stderr, "line_station: %s\n", why.c_str());
          return 1;
        }
        if (!values.empty()) {
          shown = static_cast<unsigned>(values[0].number);
          record["fields"] = {{"serial", values[0].number}};
        }
        line::FiledBoard board{id, name, slot.port, number, ok ? "ok" : "failed", started[s], end,
                               "", "",   "",        ""};
        nlohmann::ordered_json full = {{"id", id}, {"station", name}};
        full.update(record);
        board.record = full.dump();
        board.seal = line::SealRecord(key, board.record);
        if (db.File(board, &why) != line::LineDb::Filed::kOk) {
          std::fprintf(stderr, "line_station: %s\n", why.c_str());
          return 1;
        }
      }
      Say("board " + slot.port + " " + std::to_string(number) + " " + (ok ? "ok" : "failed") +
          " serial=" + std::to_string(shown));
    }
    publish();
    if (stop && !busy) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
  report.run = "stopped";
  reporter.Report(report);
  const bool written = reporter.Stop(10s);
  Say(written ? "stopped" : "stopped, the last state not written");
  return 0;
}
