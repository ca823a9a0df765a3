#include "line/stations.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "line/conninfo.h"
#include "line/line_db.h"
#include "line/session.h"
#include "production/record.h"
#include "production/sha256.h"

namespace quelmar::line {

namespace {

using SteadyClock = std::chrono::steady_clock;
using Json = nlohmann::json;

constexpr char kControlPrefix[] = "quelmar_control_";
// The rows' and the page's statements end on the server after 10 s; a
// server that stopped answering is given up a little later, so that the
// page shows it away and a station's row waits for it afresh.
constexpr std::chrono::seconds kPageAnswerLimit{15};

// Text cut to at most `bytes` bytes of valid UTF-8: what the database's
// functions take of a station's state.
std::string Bounded(std::string_view text, size_t bytes) {
  std::string valid = ValidText(text);
  if (valid.size() <= bytes) return valid;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(valid[end]) & 0xC0) == 0x80) --end;
  valid.resize(end);
  return valid;
}

// What a station's row holds at most; the database refuses more.
constexpr size_t kMaxSlots = 64, kMaxImages = 16;
// A retry's number as the page shows it; a profile allows at most 10.
constexpr unsigned kMaxRetries = 99;
constexpr size_t kMaxJobName = 64;

bool IsLowerHex(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool IsJobState(std::string_view state) {
  return state == "running" || state == "made" || state == "retired";
}

// A job's name as the jobs table takes it.
bool IsJobName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxJobName &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.';
         });
}

Json JsonOf(const std::vector<ImageReport>& images) {
  Json j = Json::array();
  for (size_t n = 0; n < images.size() && n < kMaxImages; ++n) {
    const ImageReport& i = images[n];
    const bool hex = i.sha256.size() <= 64 && IsLowerHex(i.sha256);
    j.push_back({{"file", Bounded(i.file, 1000)}, {"sha256", hex ? i.sha256 : std::string()}});
  }
  return j;
}

Json JsonOf(const std::vector<SlotReport>& slots) {
  Json j = Json::array();
  for (size_t n = 0; n < slots.size() && n < kMaxSlots; ++n) {
    const SlotReport& s = slots[n];
    Json slot = {{"port", Bounded(s.port, 200)},
                 {"state", ValidText(s.state)},
                 {"percent", std::clamp(s.percent, 0, 100)},
                 {"failure", Bounded(s.failure, 500)}};
    if (s.retry > 0) {
      slot["retry"] = std::min(s.retry, kMaxRetries);
      slot["retries"] = std::min(s.retries, kMaxRetries);
    }
    j.push_back(std::move(slot));
  }
  return j;
}

// The job as quelmar_report takes it, or null for one it would refuse
// (and with it the whole row).
Json JsonOf(const std::optional<JobReport>& job) {
  if (!job || !IsJobName(job->name) || job->version < 1 || job->sha256.size() != 64 ||
      !IsLowerHex(job->sha256) || !IsJobState(job->state))
    return nullptr;
  return {{"name", job->name},
          {"version", job->version},
          {"sha256", job->sha256},
          {"state", job->state}};
}

bool Flag(const Json& j, const char* key) {
  const auto at = j.find(key);
  return at != j.end() && at->is_boolean() && at->get<bool>();
}

std::string Text(const Json& j, const char* key) {
  const auto at = j.find(key);
  return at != j.end() && at->is_string() ? at->get<std::string>() : std::string();
}

uint64_t Count(const Json& j, const char* key) {
  const auto at = j.find(key);
  if (at == j.end() || !at->is_number()) return 0;
  return at->is_number_unsigned() ? at->get<uint64_t>()
                                  : static_cast<uint64_t>(std::max<int64_t>(0, at->get<int64_t>()));
}

std::vector<SlotReport> SlotsOf(const Json& j) {
  std::vector<SlotReport> slots;
  if (!j.is_array()) return slots;
  for (const Json& s : j) {
    if (!s.is_object()) continue;
    SlotReport r;
    r.port = Bounded(Text(s, "port"), 200);
    r.state = Bounded(Text(s, "state"), 16);
    r.percent = static_cast<int>(std::min<uint64_t>(Count(s, "percent"), 100));
    r.failure = Bounded(Text(s, "failure"), 500);
    r.retry = static_cast<unsigned>(std::min<uint64_t>(Count(s, "retry"), kMaxRetries));
    r.retries = static_cast<unsigned>(std::min<uint64_t>(Count(s, "retries"), kMaxRetries));
    slots.push_back(std::move(r));
  }
  return slots;
}

// The job a row holds, or none: one of another state, without a name or a
// version is no job the page can say anything of.
std::optional<JobReport> JobOf(const Json& j) {
  if (!j.is_object()) return std::nullopt;
  JobReport job;
  job.name = Bounded(Text(j, "name"), kMaxJobName);
  job.state = Text(j, "state");
  const auto at = j.find("version");
  const int64_t version = at != j.end() && at->is_number_integer() ? at->get<int64_t>() : 0;
  if (job.name.empty() || !IsJobState(job.state) || version < 1 ||
      version > std::numeric_limits<int>::max())
    return std::nullopt;
  job.version = static_cast<int>(version);
  job.sha256 = Bounded(Text(j, "sha256"), 64);
  return job;
}

std::vector<ImageReport> ImagesOf(const Json& j) {
  std::vector<ImageReport> images;
  if (!j.is_array()) return images;
  for (const Json& i : j) {
    if (i.is_object()) images.push_back({Text(i, "file"), Text(i, "sha256")});
  }
  return images;
}

// The start of today on this machine's clock and in its time zone, as
// PostgreSQL reads a time: "2026-12-07T23:00:00Z".
std::string LocalMidnightUtc() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  local.tm_isdst = -1;
  const std::time_t midnight = std::mktime(&local);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &midnight);
#else
  gmtime_r(&midnight, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// Connects, makes sure the tables are the ones this program knows (the
// same words as every line command), and listens on `channel`.
bool ConnectAndListen(Session& session, const std::string& conninfo, const std::string& server,
                      const std::string& channel, std::string* why) {
  std::string reason;
  if (!session.Connect(conninfo, &reason)) {
    *why = "cannot connect to the line's database " + server + ": " + reason;
    return false;
  }
  Rows rows;
  if (!session.Run("SET statement_timeout = '10s'; SET lock_timeout = '10s'; "
                   "SET idle_in_transaction_session_timeout = '5s'",
                   &reason) ||
      !session.Run("SELECT version FROM quelmar_schema", {}, &rows, &reason)) {
    if (session.Sqlstate() == "42P01") {
      *why = "the line's database " + server +
             " has no line tables yet: make them with 'quelmar-cli line init --db ...'";
    } else if (session.Lost()) {
      *why = "the line's database " + server + " does not answer: " + reason;
    } else {
      *why = "the line's database " + server + ": " + reason;
    }
    session.Close();
    return false;
  }
  const int version = rows.empty() ? 0 : std::atoi(rows.Text(0, 0).c_str());
  if (version != kSchemaVersion) {
    *why = "the line's database " + server + " has schema version " + std::to_string(version) +
           (version > kSchemaVersion
                ? ", newer than this quelmar-cli knows (" + std::to_string(kSchemaVersion) +
                      "): update quelmar-cli"
                : "; this quelmar-cli needs " + std::to_string(kSchemaVersion) +
                      ": bring it up to date with 'quelmar-cli line init --db ...'");
    session.Close();
    return false;
  }
  if (!session.Run("LISTEN \"" + channel + "\"", &reason)) {
    *why = "the line's database " + server + " does not answer: " + reason;
    session.Close();
    return false;
  }
  return true;
}

}  // namespace

std::string ValidText(std::string_view text) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t n = 0;
    uint32_t lowest = 0;
    if (c == 0) {
      n = 0;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 2;
      lowest = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      n = 3;
      lowest = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      n = 4;
      lowest = 0x10000;
    }
    bool ok = n != 0 && i + n <= text.size();
    uint32_t code = ok ? (c & (0x7F >> n)) : 0;
    for (size_t k = 1; ok && k < n; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      ok = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    ok = ok && code >= lowest && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    if (ok) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      out += kReplacement;
      ++i;
    }
  }
  return out;
}

const char* ControlWord(LineControl control) {
  switch (control) {
    case LineControl::kPause:
      return "pause";
    case LineControl::kResume:
      return "resume";
    case LineControl::kStop:
      return "stop";
  }
  return "pause";
}

std::optional<LineControl> ControlOfWord(std::string_view word) {
  if (word == "pause") return LineControl::kPause;
  if (word == "resume") return LineControl::kResume;
  if (word == "stop") return LineControl::kStop;
  return std::nullopt;
}

bool CheckStationName(const std::string& name, std::string* why) {
  if (name.empty() || name.size() > 200) {
    *why =
        "a station's name on the line is 1 to 200 bytes long, not " + std::to_string(name.size());
    return false;
  }
  const bool control = std::any_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
  });
  if (control || ValidText(name) != name) {
    *why = "the station's name \"" + ValidText(name) +
           "\" holds a control character or is not UTF-8: give it a name of plain text";
    return false;
  }
  return true;
}

std::string ControlChannel(const std::string& name) {
  return kControlPrefix + production::Sha256Hex(name.data(), name.size()).substr(0, 32);
}

bool LineView::SameAs(const LineView& o) const {
  return server == o.server && connected == o.connected && problem == o.problem &&
         stations == o.stations && ok == o.ok && failed == o.failed && last_hour == o.last_hour &&
         first_pass == o.first_pass && refused == o.refused && failures == o.failures &&
         notice == o.notice;
}

// ---------------------------------------------------------------------------
// The reporter.

struct StationReporter::Shared {
  std::string conninfo;
  std::string server;
  std::string name;
  std::string channel;
  std::string run_id;
  ReporterTimes times;
  const SteadyClock::time_point born = SteadyClock::now();

  std::mutex mutex;
  std::condition_variable changed;
  std::optional<StationReport> pending;  // the newest state not written yet
  bool stop = false;
  bool done = false;      // the thread has ended
  bool newest_in = true;  // after the end: the newest state is in the database
  std::atomic<bool> connected{false};

  // Held while a callback runs; Stop takes it to end them for good.
  std::mutex callbacks;
  bool callbacks_on = true;
  std::function<void(LineControl)> on_control;
  std::function<void(const std::string&)> on_note;

  void Run();
  bool Write(Session& session, const StationReport& report, int64_t* handled, std::string* why);
  bool Heartbeat(Session& session, int64_t* handled, bool* taken, std::string* why);
  bool LookForControls(Session& session, int64_t* handled, std::string* why);
  void Take(const Rows& rows, int64_t* handled);
  void Note(const std::string& line);
};

void StationReporter::Shared::Note(const std::string& line) {
  std::lock_guard lock(callbacks);
  if (callbacks_on && on_note) on_note(line);
}

// A control is one the row holds with a number not taken yet. The first
// write of this run only learns the number: what the row held before was
// for the station's earlier run.
void StationReporter::Shared::Take(const Rows& rows, int64_t* handled) {
  if (rows.empty()) return;
  const int64_t id = std::atoll(rows.Text(0, 1).c_str());
  if (*handled < 0) {
    *handled = id;
    return;
  }
  if (id <= *handled) return;
  *handled = id;
  const std::optional<LineControl> control = ControlOfWord(rows.Text(0, 0));
  if (!control) return;
  std::lock_guard lock(callbacks);
  if (callbacks_on && on_control) on_control(*control);
}

bool StationReporter::Shared::Write(Session& session, const StationReport& r, int64_t* handled,
                                    std::string* why) {
  const double uptime = std::chrono::duration<double>(SteadyClock::now() - born).count();
  Rows rows;
  // The row, its times on the database's clock, and its NOTIFY: one call
  // of the function that checks and bounds what a station says.
  const bool hex = r.profile_sha256.size() <= 64 && IsLowerHex(r.profile_sha256);
  Json state = {{"host", Bounded(r.host, 255)},
                {"version", Bounded(r.version, 100)},
                {"profile_sha256", hex ? r.profile_sha256 : std::string()},
                {"images", JsonOf(r.images)},
                {"dashboard", Bounded(r.dashboard, 500)},
                {"run", r.run},
                {"slots", JsonOf(r.slots)},
                {"ok", std::min<uint64_t>(r.ok, 999'999'999'999'999'999ULL)},
                {"failed", std::min<uint64_t>(r.failed, 999'999'999'999'999'999ULL)}};
  if (Json job = JsonOf(r.job); !job.is_null()) state["job"] = std::move(job);
  const bool ok =
      session.Run("SELECT control, control_id FROM quelmar_report($1, $2::uuid, $3, $4::jsonb)",
                  {name, run_id, std::to_string(uptime), state.dump()}, &rows, why);
  if (ok) Take(rows, handled);
  return ok;
}

// last_seen moves on. *taken: the row is not this run's any more (another
// station took the name, or someone deleted the row).
bool StationReporter::Shared::Heartbeat(Session& session, int64_t* handled, bool* taken,
                                        std::string* why) {
  Rows rows;
  if (!session.Run("SELECT control, control_id FROM quelmar_heartbeat($1, $2::uuid)",
                   {name, run_id}, &rows, why))
    return false;
  *taken = rows.empty();
  Take(rows, handled);
  return true;
}

bool StationReporter::Shared::LookForControls(Session& session, int64_t* handled,
                                              std::string* why) {
  std::vector<Session::Notification> notes;
  if (!session.TakeNotifications(&notes)) {
    *why = "the connection was lost";
    return false;
  }
  if (notes.empty() || *handled < 0) return true;
  Rows rows;
  if (!session.Run("SELECT control, control_id FROM quelmar_take_control($1, $2::uuid)",
                   {name, run_id}, &rows, why))
    return false;
  Take(rows, handled);
  return true;
}

void StationReporter::Shared::Run() {
  Session session(kPageAnswerLimit);
  std::optional<StationReport> written;  // what the row holds
  SteadyClock::time_point last_write{};
  SteadyClock::time_point next_connect = SteadyClock::now();
  int64_t handled = -1;  // the control number taken last; -1 before the first write
  std::string said;      // the last line said about the database
  bool taken_said = false;
  for (;;) {
    std::optional<StationReport> report;
    bool stopping = false;
    {
      std::unique_lock lock(mutex);
      changed.wait_for(lock, times.look, [&] {
        return stop || (pending && SteadyClock::now() >= last_write + times.min_period);
      });
      stopping = stop;
      if (pending && (stopping || SteadyClock::now() >= last_write + times.min_period)) {
        report = std::move(pending);
        pending.reset();
      }
    }
    const SteadyClock::time_point now = SteadyClock::now();
    std::string why;
    if (!session.Up() && (now >= next_connect || stopping)) {
      if (ConnectAndListen(session, conninfo, server, channel, &why)) {
        connected = true;
        if (!said.empty()) Note("the line's database " + server + " answers again");
        said.clear();
        // The row as it was, announced again: the page may show this
        // station offline meanwhile.
        if (!report && written) report = written;
      } else {
        connected = false;
        next_connect = now + times.retry;
        if (why != said) Note(why + ": the station goes on and reports when it answers");
        said = why;
      }
    }
    if (session.Up()) {
      bool ok = true;
      if (report) {
        ok = Write(session, *report, &handled, &why);
        if (ok) {
          written = std::move(report);
          report.reset();
          last_write = now;
        }
      } else if (written && now >= last_write + times.heartbeat) {
        bool taken = false;
        ok = Heartbeat(session, &handled, &taken, &why);
        if (ok) last_write = now;
        if (ok && taken) {
          if (!taken_said) {
            Rows rows;
            std::string ignored;
            session.Run("SELECT host FROM stations WHERE name = $1", {name}, &rows, &ignored);
            Note("another station reports to the line as '" + name + "'" +
                 (rows.empty() ? std::string() : " (on " + rows.Text(0, 0) + ")") +
                 ": give each station a name of its own ([line] station)");
            taken_said = true;
          }
          // This station's row is written again at once.
          last_write = {};
          std::lock_guard lock(mutex);
          if (!pending) pending = written;
        }
      }
      if (ok) ok = LookForControls(session, &handled, &why);
      if (!ok) {
        session.Close();
        connected = false;
        next_connect = now + times.retry;
        const std::string line = "the line's database " + server + " does not answer: " + why;
        if (line != said) Note(line + ": the station goes on and reports when it answers");
        said = line;
      }
    }
    if (report) {
      std::lock_guard lock(mutex);
      if (!pending) pending = std::move(report);
    }
    if (stopping) {
      std::lock_guard lock(mutex);
      newest_in = !pending.has_value();
      break;
    }
  }
  session.Close();
  std::lock_guard lock(mutex);
  done = true;
  changed.notify_all();
}

StationReporter::StationReporter(std::string conninfo, std::string name,
                                 std::function<void(LineControl)> on_control,
                                 std::function<void(const std::string&)> on_note,
                                 ReporterTimes times)
    : shared_(std::make_shared<Shared>()) {
  shared_->conninfo = std::move(conninfo);
  shared_->name = std::move(name);
  shared_->times = times;
  shared_->on_control = std::move(on_control);
  shared_->on_note = std::move(on_note);
}

StationReporter::~StationReporter() {
  Stop(std::chrono::seconds(2));
}

bool StationReporter::Start(std::string* why) {
  Shared& s = *shared_;
  if (!CheckConnInfo(s.conninfo, why) || !CheckStationName(s.name, why)) return false;
  s.server = ServerText(s.conninfo);
  s.channel = ControlChannel(s.name);
  s.run_id = production::NewBoardId();
  std::thread([shared = shared_] { shared->Run(); }).detach();
  started_ = true;
  return true;
}

void StationReporter::Report(StationReport report) {
  std::lock_guard lock(shared_->mutex);
  shared_->pending = std::move(report);
  shared_->changed.notify_all();
}

bool StationReporter::Stop(std::chrono::milliseconds limit) {
  if (!started_) return true;
  Shared& s = *shared_;
  {
    std::lock_guard lock(s.callbacks);
    s.callbacks_on = false;
  }
  std::unique_lock lock(s.mutex);
  s.stop = true;
  s.changed.notify_all();
  s.changed.wait_for(lock, limit, [&] { return s.done; });
  return s.done && s.newest_in;
}

bool StationReporter::Connected() const {
  return shared_->connected.load();
}

// ---------------------------------------------------------------------------
// The watcher.

struct LineWatcher::Shared {
  std::string conninfo;
  WatcherTimes times;
  std::function<void(const std::string&)> on_note;

  mutable std::mutex mutex;
  std::condition_variable changed;
  LineView view;
  std::atomic<uint64_t> version{1};
  struct Request {
    std::optional<std::string> station;
    LineControl control;
  };
  std::deque<Request> requests;
  bool stop = false;
  bool done = false;

  void Run();
  // Changes the view under the lock; the version moves when it changed.
  template <class F>
  void Change(F f) {
    std::lock_guard lock(mutex);
    LineView next = view;
    f(next);
    if (next.SameAs(view)) return;
    next.version = version.fetch_add(1) + 1;
    view = std::move(next);
  }
  bool Read(Session& session, std::optional<double>* next_offline, std::string* why);
  void Send(Session& session, const Request& request);
};

bool LineWatcher::Shared::Read(Session& session, std::optional<double>* next_offline,
                               std::string* why) {
  Rows rows;
  // One statement, so one snapshot: the tiles, the totals and the
  // failures agree with each other.
  const bool ok = session.Run(
      "WITH b AS ("
      "  SELECT station, result, filed_at >= $1::timestamptz AS today, "
      "    filed_at >= now() - interval '1 hour' AS last_hour, "
      // Ok at its first attempt: no earlier one kept (records from before
      // retries keep none).
      "    result = 'ok' AND CASE WHEN jsonb_typeof(record -> 'attempts') = 'array' "
      "      THEN jsonb_array_length(record -> 'attempts') = 0 ELSE true END AS first_try "
      "  FROM boards WHERE filed_at >= least($1::timestamptz, now() - interval '1 hour')), "
      "per AS ("
      "  SELECT station, count(*) FILTER (WHERE today AND result = 'ok') AS ok, "
      "    count(*) FILTER (WHERE today AND result <> 'ok') AS failed, "
      "    count(*) FILTER (WHERE last_hour) AS last_hour, "
      "    count(*) FILTER (WHERE today AND first_try) AS first_pass "
      "  FROM b GROUP BY station), "
      // Whatever a row holds, the page gets bounded texts and arrays.
      "st AS (SELECT * FROM stations ORDER BY name LIMIT 500) "
      "SELECT json_build_object("
      " 'stations', coalesce((SELECT json_agg(json_build_object("
      "   'name', left(s.name, 200), 'host', left(s.host, 255), 'version', left(s.version, 100), "
      "   'profile_sha256', left(s.profile_sha256, 64), "
      "   'images', (SELECT coalesce(json_agg(json_build_object('file', left(e ->> 'file', 1000), "
      "       'sha256', left(e ->> 'sha256', 64))), '[]') FROM (SELECT e FROM "
      "       jsonb_array_elements(CASE WHEN jsonb_typeof(s.images) = 'array' THEN s.images "
      "       ELSE '[]' END) e LIMIT 16) i), "
      "   'dashboard', left(s.dashboard, 500), "
      "   'run', left(s.run, 16), "
      "   'slots', (SELECT coalesce(json_agg(json_build_object('port', left(e ->> 'port', 200), "
      "       'state', left(e ->> 'state', 16), 'percent', CASE WHEN jsonb_typeof(e -> 'percent') "
      "       = 'number' THEN e -> 'percent' ELSE '0' END, "
      "       'retry', CASE WHEN jsonb_typeof(e -> 'retry') = 'number' AND e ->> 'retry' ~ "
      "       '^[0-9]{1,2}$' THEN (e ->> 'retry')::int "
      "       ELSE 0 END, "
      "       'retries', CASE WHEN jsonb_typeof(e -> 'retries') = 'number' AND e ->> 'retries' ~ "
      "       '^[0-9]{1,2}$' THEN (e ->> 'retries')::int "
      "       ELSE 0 END, "
      "       'failure', left(e ->> 'failure', 500))), '[]') FROM (SELECT e FROM "
      "       jsonb_array_elements(CASE WHEN jsonb_typeof(s.slots) = 'array' THEN s.slots "
      "       ELSE '[]' END) e LIMIT 64) x), "
      "   'run_ok', s.ok, 'run_failed', s.failed, "
      "   'job', CASE WHEN jsonb_typeof(s.job) = 'object' THEN json_build_object("
      "       'name', left(s.job ->> 'name', 64), 'version', CASE WHEN jsonb_typeof(s.job -> "
      "       'version') = 'number' AND s.job ->> 'version' ~ '^[0-9]{1,10}$' THEN s.job -> "
      "       'version' END, "
      "       'sha256', left(s.job ->> 'sha256', 64), 'state', left(s.job ->> 'state', 16)) END, "
      "   'started', to_char(s.started_at AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'), "
      "   'offline', s.run <> 'stopped' AND now() - s.last_seen > make_interval(secs => $2), "
      "   'seen_s', floor(extract(epoch FROM least(now() - s.last_seen, interval '100 "
      "years')))::bigint, "
      "   'ok', coalesce(per.ok, 0), 'failed', coalesce(per.failed, 0), "
      "   'last_hour', coalesce(per.last_hour, 0), "
      "   'first_pass', coalesce(per.first_pass, 0)) ORDER BY s.name) "
      "   FROM st s LEFT JOIN per ON per.station = s.name), '[]'::json), "
      " 'ok', (SELECT count(*) FROM b WHERE today AND result = 'ok'), "
      " 'failed', (SELECT count(*) FROM b WHERE today AND result <> 'ok'), "
      " 'last_hour', (SELECT count(*) FROM b WHERE last_hour), "
      " 'first_pass', (SELECT count(*) FROM b WHERE today AND first_try), "
      " 'refused', (SELECT count(*) FROM refused_filings WHERE at >= $1::timestamptz), "
      " 'failures', coalesce((SELECT json_agg(f) FROM ("
      "   SELECT left(station, 200) AS station, left(port, 200) AS port, board, "
      "     to_char(time_end AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"') AS time, "
      "     (SELECT coalesce(json_object_agg(left(key, 100), left(value, 200)), '{}') FROM "
      "       (SELECT * FROM jsonb_each_text(CASE WHEN jsonb_typeof(record -> 'fields') = "
      "       'object' THEN record -> 'fields' ELSE '{}' END) LIMIT 64) e) AS fields, "
      "     left(record ->> 'failure', 500) AS failure, left(unit, 200) AS unit "
      "   FROM boards WHERE result <> 'ok' ORDER BY filed_at DESC LIMIT $3) f), '[]'::json), "
      " 'next_offline', (SELECT extract(epoch FROM min(last_seen) + make_interval(secs => $2) "
      "     - now())::float8 FROM stations "
      "   WHERE run <> 'stopped' AND now() - last_seen <= make_interval(secs => $2)))::text",
      {LocalMidnightUtc(), std::to_string(times.offline.count()), std::to_string(times.failures)},
      &rows, why);
  if (!ok) return false;
  const Json j = Json::parse(rows.Text(0, 0), nullptr, false);
  if (!j.is_object()) {
    *why = "the line's tables could not be read";
    return false;
  }
  LineView read;
  const Json none = Json::array();
  const auto stations = j.find("stations");
  for (const Json& s : stations != j.end() && stations->is_array() ? *stations : none) {
    if (!s.is_object()) continue;
    LineStation t;
    // The database cut by characters; the page gets bytes.
    t.name = Bounded(Text(s, "name"), 200);
    t.host = Bounded(Text(s, "host"), 255);
    t.version = Bounded(Text(s, "version"), 100);
    t.profile_sha256 = Text(s, "profile_sha256");
    t.images = ImagesOf(s.contains("images") ? s["images"] : Json());
    t.dashboard = Bounded(Text(s, "dashboard"), 500);
    t.run = Text(s, "run");
    t.offline = Flag(s, "offline");
    t.seen_s = t.offline ? static_cast<int64_t>(Count(s, "seen_s")) : 0;
    t.started = Text(s, "started");
    t.slots = SlotsOf(s.contains("slots") ? s["slots"] : Json());
    t.run_ok = Count(s, "run_ok");
    t.run_failed = Count(s, "run_failed");
    t.ok = Count(s, "ok");
    t.failed = Count(s, "failed");
    t.last_hour = Count(s, "last_hour");
    t.first_pass = Count(s, "first_pass");
    t.job = JobOf(s.contains("job") ? s["job"] : Json());
    read.stations.push_back(std::move(t));
  }
  read.ok = Count(j, "ok");
  read.failed = Count(j, "failed");
  read.last_hour = Count(j, "last_hour");
  read.first_pass = Count(j, "first_pass");
  read.refused = Count(j, "refused");
  const auto failures = j.find("failures");
  for (const Json& f : failures != j.end() && failures->is_array() ? *failures : none) {
    if (!f.is_object()) continue;
    LineFailure failure;
    failure.station = Bounded(Text(f, "station"), 200);
    failure.port = Bounded(Text(f, "port"), 200);
    failure.board = Count(f, "board");
    failure.time = Text(f, "time");
    failure.failure = Bounded(Text(f, "failure"), 500);
    failure.unit = Bounded(Text(f, "unit"), 200);
    const Json fields = f.contains("fields") ? f["fields"] : Json();
    if (fields.is_object()) {
      for (const auto& [key, value] : fields.items())
        failure.fields.emplace_back(
            Bounded(key, 100),
            Bounded(value.is_string() ? value.get<std::string>() : value.dump(), 200));
    }
    read.failures.push_back(std::move(failure));
  }
  const auto at = j.find("next_offline");
  *next_offline =
      at != j.end() && at->is_number() ? std::optional<double>(at->get<double>()) : std::nullopt;
  Change([&](LineView& v) {
    v.stations = std::move(read.stations);
    v.ok = read.ok;
    v.failed = read.failed;
    v.last_hour = read.last_hour;
    v.first_pass = read.first_pass;
    v.refused = read.refused;
    v.failures = std::move(read.failures);
  });
  return true;
}

void LineWatcher::Shared::Send(Session& session, const Request& request) {
  Rows rows;
  std::string why;
  // The request goes into the row (so a station that misses the NOTIFY
  // takes it when it next writes its row), and the NOTIFY on the station's
  // own channel tells it at once. The row holds the newest request only: a
  // station that reads two at once does the later, and a Stop stays (the
  // station's own Resume does not undo a Stop either).
  const bool ok = session.Run(
      "SELECT quelmar_send_control($1, $2)",
      {request.station ? Param(*request.station) : Param(), ControlWord(request.control)}, &rows,
      &why);
  const std::string whom = request.station ? "'" + *request.station + "'" : "the line";
  if (!ok) {
    Change([&](LineView& v) {
      v.notice =
          std::string(ControlWord(request.control)) + " for " + whom + " was not sent: " + why;
    });
  } else if (rows.empty()) {
    Change([&](LineView& v) {
      v.notice = std::string(ControlWord(request.control)) + " for " + whom +
                 " was not sent: " + (request.station ? "it has stopped" : "no station runs");
    });
  } else {
    Change([&](LineView& v) { v.notice.clear(); });
  }
}

void LineWatcher::Shared::Run() {
  Session session(kPageAnswerLimit);
  const std::string server = ServerText(conninfo);
  SteadyClock::time_point last_read{};
  SteadyClock::time_point next_read = SteadyClock::now();
  SteadyClock::time_point next_connect = SteadyClock::now();
  bool dirty = true;
  std::string said;
  for (;;) {
    std::deque<Request> todo;
    {
      std::unique_lock lock(mutex);
      changed.wait_for(lock, times.look, [&] { return stop || !requests.empty(); });
      if (stop) break;
      todo.swap(requests);
    }
    const SteadyClock::time_point now = SteadyClock::now();
    std::string why;
    if (!session.Up() && now >= next_connect) {
      if (ConnectAndListen(session, conninfo, server, kStationsChannel, &why)) {
        if (!said.empty() && on_note) on_note("the line's database " + server + " answers again");
        said.clear();
        dirty = true;
        last_read = {};
        Change([&](LineView& v) {
          v.connected = true;
          v.problem.clear();
        });
      } else {
        next_connect = now + times.retry;
        if (why != said && on_note) on_note(why + ": trying again every few seconds");
        said = why;
        Change([&](LineView& v) {
          v.connected = false;
          v.problem = why;
        });
      }
    }
    const bool was_up = session.Up();
    bool ok = was_up;
    for (const Request& r : todo) {
      if (ok) {
        Send(session, r);
        ok = session.Up() && !session.Lost();
        dirty = true;
      } else {
        Change([&](LineView& v) {
          v.notice = std::string(ControlWord(r.control)) + " for " +
                     (r.station ? "'" + *r.station + "'" : "the line") +
                     " was not sent: the line's database does not answer";
        });
      }
    }
    if (ok) {
      std::vector<Session::Notification> notes;
      ok = session.TakeNotifications(&notes);
      if (!ok) why = "the connection was lost";
      if (!notes.empty()) dirty = true;
    }
    if (ok && ((dirty && now >= last_read + times.throttle) || now >= next_read)) {
      std::optional<double> next_offline;
      ok = Read(session, &next_offline, &why);
      if (ok) {
        last_read = now;
        dirty = false;
        // A station whose last-seen time runs out sends nothing: the read
        // comes when it does, a little after.
        auto wait = std::chrono::duration_cast<SteadyClock::duration>(times.refresh);
        if (next_offline) {
          const auto until = std::chrono::duration_cast<SteadyClock::duration>(
              std::chrono::duration<double>(std::max(0.0, *next_offline)) +
              std::chrono::milliseconds(100));
          wait = std::min(wait, until);
        }
        next_read = now + wait;
      }
    }
    if (!ok && was_up) {
      session.Close();
      next_connect = SteadyClock::now();
      const std::string line = "the line's database " + server + " does not answer: " + why;
      if (line != said && on_note) on_note(line + ": trying again every few seconds");
      said = line;
      Change([&](LineView& v) {
        v.connected = false;
        v.problem = line;
      });
    }
  }
  session.Close();
  std::lock_guard lock(mutex);
  done = true;
  changed.notify_all();
}

LineWatcher::LineWatcher(std::string conninfo, WatcherTimes times,
                         std::function<void(const std::string&)> on_note)
    : shared_(std::make_shared<Shared>()) {
  shared_->conninfo = std::move(conninfo);
  shared_->times = times;
  shared_->on_note = std::move(on_note);
}

LineWatcher::~LineWatcher() {
  Stop();
}

bool LineWatcher::Start(std::string* why) {
  Shared& s = *shared_;
  if (!CheckConnInfo(s.conninfo, why)) return false;
  {
    std::lock_guard lock(s.mutex);
    s.view.server = ServerText(s.conninfo);
    s.view.problem = "connecting to the line's database " + s.view.server;
    s.view.version = s.version.load();
  }
  std::thread([shared = shared_] { shared->Run(); }).detach();
  started_ = true;
  return true;
}

void LineWatcher::Stop() {
  if (!started_) return;
  started_ = false;
  std::unique_lock lock(shared_->mutex);
  shared_->stop = true;
  shared_->changed.notify_all();
  shared_->changed.wait_for(lock, std::chrono::seconds(3), [&] { return shared_->done; });
}

uint64_t LineWatcher::Version() const {
  return shared_->version.load();
}

LineView LineWatcher::View() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->view;
}

LineWatcher::Sent LineWatcher::Control(const std::optional<std::string>& station,
                                       LineControl control, std::vector<std::string>* stations) {
  Shared& s = *shared_;
  stations->clear();
  std::lock_guard lock(s.mutex);
  if (!s.view.connected) return Sent::kAway;
  for (const LineStation& t : s.view.stations) {
    if (station && t.name != *station) continue;
    if (station && t.run == "stopped") return Sent::kStopped;
    if (t.run != "stopped") stations->push_back(t.name);
  }
  if (stations->empty()) return station ? Sent::kNoStation : Sent::kNoneRunning;
  s.requests.push_back({station, control});
  s.changed.notify_all();
  return Sent::kQueued;
}

}  // namespace quelmar::line
