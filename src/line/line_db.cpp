#include "line/line_db.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "line/conninfo.h"
#include "line/schema.h"
#include "line/session.h"

namespace quelmar::line {

namespace {

using production::Format;

constexpr uint64_t kMacMax = (uint64_t{1} << 48) - 1;
constexpr uint64_t kMacBlock = 0xFFFFFF;               // the low 24 bits a block counts in
constexpr uint64_t kMulticastBit = uint64_t{1} << 40;  // the first byte's lowest bit
// pg_advisory_xact_lock's key while the schema is made or upgraded: two
// inits at once take turns.
constexpr char kSchemaLockKey[] = "7310850262131";

// The largest value a format can hold.
uint64_t Limit(Format format) {
  switch (format) {
    case Format::kU32Le:
    case Format::kU32Be:
      return UINT32_MAX;
    case Format::kMac:
      return kMacMax;
    default:
      return UINT64_MAX;
  }
}

bool ValidPoolName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
  });
}

std::string PoolNameRule(const std::string& name) {
  return "'" + name + "' is no pool name (1 to 64 letters, digits, '_', '-' or '.')";
}

production::FieldDef DefOf(Format format, const std::string& pattern) {
  production::FieldDef def;
  def.format = format;
  def.pattern = pattern;
  return def;
}

// A number as the pool shows and stores it.
std::string ShownNumber(Format format, const std::string& pattern, uint64_t n) {
  const production::ShownValue shown =
      production::ShowValue(DefOf(format, pattern), production::FieldValue{n, "", false});
  return shown.is_number ? std::to_string(shown.number) : shown.text;
}

// A PostgreSQL array literal of texts: {"a","b"}.
std::string ArrayLiteral(const std::vector<std::string>& values) {
  std::string text = "{";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text += ',';
    text += '"';
    for (char c : values[i]) {
      if (c == '"' || c == '\\') text += '\\';
      text += c;
    }
    text += '"';
  }
  return text + "}";
}

bool ParseUnsigned(const std::string& text, uint64_t* value) {
  return production::ParseNumber(text, value);
}

// JSONB cannot hold U+0000: a NUL in a board's log becomes U+FFFD.
std::string WithoutNul(const std::string& record) {
  if (record.find("\\u0000") == std::string::npos) return record;
  nlohmann::ordered_json j = nlohmann::ordered_json::parse(record, nullptr, false);
  if (j.is_discarded()) return record;
  std::function<void(nlohmann::ordered_json&)> walk = [&](nlohmann::ordered_json& node) {
    if (node.is_string()) {
      std::string s = node.get<std::string>();
      for (size_t at = s.find('\0'); at != std::string::npos; at = s.find('\0', at + 3))
        s.replace(at, 1, "\xEF\xBF\xBD");
      node = s;
    } else if (node.is_structured()) {
      for (auto& child : node) walk(child);
    }
  };
  walk(j);
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// The number a pattern's text was made from: some run of its digits that,
// put through the pattern, gives the text back.
bool PatternNumber(const std::string& pattern, const std::string& text, uint64_t* n) {
  for (size_t begin = 0; begin < text.size(); ++begin) {
    if (!std::isdigit(static_cast<unsigned char>(text[begin]))) continue;
    for (size_t end = begin + 1;
         end <= text.size() && std::isdigit(static_cast<unsigned char>(text[end - 1])); ++end) {
      uint64_t candidate = 0;
      if (end - begin <= 20 && ParseUnsigned(text.substr(begin, end - begin), &candidate) &&
          production::PatternText(pattern, candidate) == text) {
        *n = candidate;
        return true;
      }
    }
  }
  return false;
}

bool Retryable(const std::string& sqlstate) {
  return sqlstate == "40001" || sqlstate == "40P01";
}

}  // namespace

std::string FormatText(const production::FieldDef& def) {
  switch (def.format) {
    case Format::kU32Le:
      return "u32le";
    case Format::kU32Be:
      return "u32be";
    case Format::kU64Le:
      return "u64le";
    case Format::kMac:
      return "mac";
    case Format::kTextPattern:
      return "text:" + def.pattern;
    case Format::kText:
      return "text";
  }
  return "";
}

bool CanonicalValue(const std::string& format_text, const std::string& text, std::string* value,
                    std::string* why) {
  Format format = Format::kU32Le;
  std::string pattern;
  if (!production::ParseFormat(format_text, &format, &pattern, why)) return false;
  uint64_t n = 0;
  switch (format) {
    case Format::kMac:
      if (!production::ParseMac(text, &n)) {
        *why = "\"" + text + "\" is no MAC address";
        return false;
      }
      *value = production::MacText(n);
      return true;
    case Format::kU32Le:
    case Format::kU32Be:
    case Format::kU64Le:
      if (!ParseUnsigned(text, &n)) {
        *why = "\"" + text + "\" is no number";
        return false;
      }
      if (n > Limit(format)) {
        *why = text + " does not fit " + format_text;
        return false;
      }
      *value = std::to_string(n);
      return true;
    case Format::kTextPattern:
      if (ParseUnsigned(text, &n)) {
        *value = production::PatternText(pattern, n);
      } else if (PatternNumber(pattern, text, &n)) {
        *value = text;
      } else {
        *why = "\"" + text + "\" is not what " + format_text + " makes of a number";
        return false;
      }
      return true;
    case Format::kText:
      break;
  }
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front())) ||
      std::isspace(static_cast<unsigned char>(text.back())) ||
      std::any_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
    *why = "\"" + text + "\" is empty, starts or ends with a blank, or holds a control character";
    return false;
  }
  *value = text;
  return true;
}

// How a transaction's body ended.
enum class Step { kDone, kRefused, kUsedUp, kAway };

struct LineDb::Impl {
  explicit Impl(std::chrono::milliseconds answer_limit) : session(answer_limit) {}

  std::mutex mutex;
  Session session;
  std::string conninfo;
  std::string server;
  bool schema_ok = false;
  // Each pool's kind, as CheckFields or a reservation found it: a pool
  // never changes kind, and the board saves a round trip.
  std::map<std::string, std::string> kinds;

  std::string Away(const std::string& reason) const {
    return "the line's database " + server + " does not answer: " + reason;
  }

  // Connected, reconnecting when the connection broke. False with one line.
  bool Ensure(std::string* why) {
    if (session.Up()) return true;
    schema_ok = false;
    std::string reason;
    if (!session.Connect(conninfo, &reason)) {
      *why = "cannot connect to the line's database " + server + ": " + reason;
      return false;
    }
    // Waits on another station's row lock or a long statement end with a
    // line rather than hold up a board for ever. A transaction is sent
    // statement after statement: one idle for 5 s is a station stopped in
    // its middle (a debugger, a paused VM), whose locks the server then
    // frees before the others' lock_timeout.
    if (!session.Run("SET lock_timeout = '10s'; SET statement_timeout = '60s'; "
                     "SET idle_in_transaction_session_timeout = '5s'",
                     &reason)) {
      *why = Away(reason);
      session.Close();
      return false;
    }
    return true;
  }

  Step CheckSchemaLocked(std::string* why) {
    if (schema_ok) return Step::kDone;
    Rows rows;
    std::string reason;
    if (!session.Run("SELECT version FROM quelmar_schema", {}, &rows, &reason)) {
      if (session.Lost()) {
        *why = Away(reason);
        return Step::kAway;
      }
      if (session.Sqlstate() == "42P01") {
        *why = "the line's database " + server +
               " has no line tables yet: make them with 'quelmar-cli line init --db ...'";
      } else {
        *why = "the line's database " + server + ": " + reason;
      }
      return Step::kRefused;
    }
    const int version = rows.empty() ? 0 : std::atoi(rows.Text(0, 0).c_str());
    if (version > kSchemaVersion) {
      *why = "the line's database " + server + " has schema version " + std::to_string(version) +
             ", newer than this quelmar-cli knows (" + std::to_string(kSchemaVersion) +
             "): update quelmar-cli";
      return Step::kRefused;
    }
    if (version < kSchemaVersion) {
      *why = "the line's database " + server + " has schema version " + std::to_string(version) +
             "; this quelmar-cli needs " + std::to_string(kSchemaVersion) +
             ": bring it up to date with 'quelmar-cli line init --db ...'";
      return Step::kRefused;
    }
    schema_ok = true;
    return Step::kDone;
  }

  // Runs body between BEGIN and COMMIT. A connection found broken before
  // COMMIT was sent is made again and the whole transaction run once more
  // (nothing of it was kept); a serialization failure or deadlock is run
  // again up to three times. A COMMIT whose answer is lost ends kAway: it
  // may or may not have been kept.
  template <class Body>
  Step Transaction(bool check_schema, Body body, std::string* why) {
    int lost = 0, conflicts = 0;
    for (;;) {
      if (!Ensure(why)) return Step::kAway;
      std::string reason;
      if (!session.Run("BEGIN", &reason)) {
        if (session.Lost() && lost++ == 0) {
          session.Close();
          continue;
        }
        *why = session.Lost() ? Away(reason) : reason;
        return session.Lost() ? Step::kAway : Step::kRefused;
      }
      Step step = check_schema ? CheckSchemaLocked(&reason) : Step::kDone;
      if (step == Step::kDone) step = body(&reason);
      if (step != Step::kDone) {
        if (session.Lost()) {
          session.Close();
          if (lost++ == 0) continue;
          *why = Away(reason);
          return Step::kAway;
        }
        const std::string sqlstate = session.Sqlstate();
        std::string ignored;
        session.Run("ROLLBACK", &ignored);
        if (Retryable(sqlstate) && conflicts++ < 3) continue;
        if (step == Step::kAway) step = Step::kRefused;
        *why = reason;
        return step;
      }
      if (!session.Run("COMMIT", &reason)) {
        if (session.Lost()) {
          session.Close();
          *why = Away(reason);
          return Step::kAway;
        }
        if (Retryable(session.Sqlstate()) && conflicts++ < 3) continue;
        *why = reason;
        return Step::kRefused;
      }
      return Step::kDone;
    }
  }

  // One statement on its own (its own transaction), for what must not be
  // done twice only if it is idempotent: a connection found broken is made
  // again and the statement sent once more.
  template <class Body>
  Step Statement(Body body, std::string* why) {
    for (int lost = 0;; ++lost) {
      if (!Ensure(why)) return Step::kAway;
      std::string reason;
      Step step = CheckSchemaLocked(&reason);
      if (step == Step::kDone) step = body(&reason);
      if (step == Step::kDone) return step;
      if (session.Lost()) {
        session.Close();
        if (lost == 0) continue;
        *why = Away(reason);
        return Step::kAway;
      }
      *why = reason;
      return step == Step::kAway ? Step::kRefused : step;
    }
  }

  // Refuses a new pool whose name differs from another's only in case: a
  // profile's pool = "Serial" would take other values than "serial". Two
  // adds of such names take turns on the lock.
  Step OnlyCaseDiffers(const std::string& name, std::string* why) {
    Rows rows;
    Step s =
        Run("SELECT pg_advisory_xact_lock(hashtext(lower($1))), "
            "  (SELECT name FROM pools WHERE lower(name) = lower($1) AND name <> $1 LIMIT 1)",
            {name}, &rows, why);
    if (s != Step::kDone) return s;
    if (rows.At(0, 1)) {
      *why = "pool '" + name + "' differs from pool '" + rows.Text(0, 1) + "' only in case: use '" +
             rows.Text(0, 1) + "' or another name";
      return Step::kRefused;
    }
    return Step::kDone;
  }

  // A statement inside a body: kDone, or kRefused/kAway with the reason.
  Step Run(const std::string& sql, const std::vector<Param>& params, Rows* rows, std::string* why) {
    if (session.Run(sql, params, rows, why)) return Step::kDone;
    if (session.Sqlstate() == "55P03") {
      *why = "another connection to the line's database " + server +
             " kept the rows locked for more than 10 s (a station stopped in the middle of "
             "a reservation?)";
    }
    return session.Lost() ? Step::kAway : Step::kRefused;
  }
};

LineDb::LineDb() : LineDb(Session::kAnswerLimit) {}
LineDb::LineDb(std::chrono::milliseconds answer_limit)
    : impl_(std::make_unique<Impl>(answer_limit)) {}
LineDb::~LineDb() = default;

const std::string& LineDb::Server() const {
  return impl_->server;
}

bool LineDb::Connect(const std::string& conninfo, std::string* why) {
  std::lock_guard lock(impl_->mutex);
  if (!CheckConnInfo(conninfo, why)) return false;
  impl_->conninfo = conninfo;
  impl_->server = ServerText(conninfo);
  impl_->session.Close();
  return impl_->Ensure(why);
}

bool LineDb::Init(int* from, std::string* why) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  const Step step = d.Transaction(
      false,
      [&](std::string* reason) {
        *from = 0;
        Rows rows;
        Step s = d.Run(std::string("SELECT pg_advisory_xact_lock(") + kSchemaLockKey +
                           "), to_regclass('quelmar_schema') IS NOT NULL",
                       {}, &rows, reason);
        if (s != Step::kDone) return s;
        if (rows.Text(0, 1) == "t") {
          s = d.Run("SELECT version FROM quelmar_schema FOR UPDATE", {}, &rows, reason);
          if (s != Step::kDone) return s;
          if (rows.size() != 1) {
            *reason =
                "the table quelmar_schema should hold one row, not " + std::to_string(rows.size());
            return Step::kRefused;
          }
          *from = std::atoi(rows.Text(0, 0).c_str());
        }
        if (*from > kSchemaVersion) {
          *reason = "the line's database " + d.server + " has schema version " +
                    std::to_string(*from) + ", newer than this quelmar-cli knows (" +
                    std::to_string(kSchemaVersion) + "): update quelmar-cli";
          return Step::kRefused;
        }
        if (*from == kSchemaVersion) return Step::kDone;
        const auto& steps = SchemaSteps();
        for (int v = *from; v < kSchemaVersion; ++v) {
          s = d.Run(steps[static_cast<size_t>(v)], {}, nullptr, reason);
          if (s != Step::kDone) {
            if (s == Step::kRefused)
              *reason = "cannot make schema version " + std::to_string(v + 1) + ": " + *reason;
            return s;
          }
        }
        return d.Run("UPDATE quelmar_schema SET version = $1", {std::to_string(kSchemaVersion)},
                     nullptr, reason);
      },
      why);
  if (step == Step::kDone) d.schema_ok = true;
  return step == Step::kDone;
}

bool LineDb::CheckSchema(std::string* why) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  if (!d.Ensure(why)) return false;
  Step step = d.CheckSchemaLocked(why);
  if (step == Step::kAway) {
    // A connection that broke since: once more on a new one.
    d.session.Close();
    if (!d.Ensure(why)) return false;
    step = d.CheckSchemaLocked(why);
  }
  return step == Step::kDone;
}

bool LineDb::Ping(std::string* why) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  return d.Statement([&](std::string* reason) { return d.Run("SELECT 1", {}, nullptr, reason); },
                     why) == Step::kDone;
}

bool LineDb::AddCounterPool(const CounterPool& pool, std::string* why) {
  if (!ValidPoolName(pool.name)) {
    *why = PoolNameRule(pool.name);
    return false;
  }
  Format format = Format::kU32Le;
  std::string pattern;
  if (!production::ParseFormat(pool.format, &format, &pattern, why)) return false;
  const uint64_t limit = Limit(format);
  auto shown = [&](uint64_t n) { return ShownNumber(format, pattern, n); };
  if (pool.step == 0) {
    *why = "--step must be 1 or more";
    return false;
  }
  if (pool.start > limit) {
    *why = "--start " + std::to_string(pool.start) + " does not fit " + pool.format;
    return false;
  }
  if (pool.end && *pool.end > limit) {
    *why = "--end " + std::to_string(*pool.end) + " does not fit " + pool.format;
    return false;
  }
  if (pool.end && *pool.end < pool.start) {
    *why = "--end " + shown(*pool.end) + " is below --start " + shown(pool.start);
    return false;
  }
  uint64_t last = pool.end.value_or(limit);
  if (format == Format::kMac) {
    if ((pool.start & kMulticastBit) != 0) {
      *why = "--start " + shown(pool.start) +
             " is a multicast address (the lowest bit of its first byte is set)";
      return false;
    }
    // A MAC counter stays in the 24-bit block of its start: a carry never
    // reaches another vendor's prefix or the multicast bit.
    const uint64_t block_end = pool.start | kMacBlock;
    if (pool.end && *pool.end > block_end) {
      *why = "--end " + shown(*pool.end) + " is outside the block of --start (" +
             shown(pool.start & ~kMacBlock) + " to " + shown(block_end) + ")";
      return false;
    }
    last = std::min(last, block_end);
  }
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  const Step step = d.Transaction(
      true,
      [&](std::string* reason) {
        Rows rows;
        Step s = d.OnlyCaseDiffers(pool.name, reason);
        if (s != Step::kDone) return s;
        s = d.Run(
            "INSERT INTO pools (name, kind, format, start_value, end_value, step, next_value) "
            "VALUES ($1, 'counter', $2, $3, $4, $5, $3) ON CONFLICT (name) DO NOTHING",
            {pool.name, pool.format, std::to_string(pool.start), std::to_string(last),
             std::to_string(pool.step)},
            &rows, reason);
        if (s != Step::kDone) return s;
        if (rows.changed == 0) {
          *reason = "pool '" + pool.name + "' exists already";
          return Step::kRefused;
        }
        return Step::kDone;
      },
      why);
  return step == Step::kDone;
}

bool LineDb::AddListValues(const std::string& name, const std::string& format_text,
                           const std::string& list_name, const std::vector<ListEntry>& values,
                           bool* created, std::string* why) {
  *created = false;
  if (!ValidPoolName(name)) {
    *why = PoolNameRule(name);
    return false;
  }
  Format format = Format::kU32Le;
  std::string pattern;
  if (!production::ParseFormat(format_text, &format, &pattern, why)) return false;
  if (format == Format::kTextPattern) {
    *why =
        "a list pool takes u32le, u32be, u64le, mac or text, not a pattern: write the "
        "list's values as they are to be written, with --format text";
    return false;
  }
  if (values.empty()) {
    *why = "'" + list_name + "' holds no values";
    return false;
  }
  std::vector<std::string> texts;
  texts.reserve(values.size());
  for (const ListEntry& e : values) texts.push_back(e.value);
  const std::string array = ArrayLiteral(texts);
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  const Step step = d.Transaction(
      true,
      [&](std::string* reason) {
        *created = false;
        Rows rows;
        Step s = d.OnlyCaseDiffers(name, reason);
        if (s != Step::kDone) return s;
        s = d.Run(
            "INSERT INTO pools (name, kind, format) VALUES ($1, 'list', $2) "
            "ON CONFLICT (name) DO NOTHING",
            {name, format_text}, &rows, reason);
        if (s != Step::kDone) return s;
        *created = rows.changed == 1;
        // Locked so that two imports into one pool take turns.
        s = d.Run("SELECT kind, format FROM pools WHERE name = $1 FOR UPDATE", {name}, &rows,
                  reason);
        if (s != Step::kDone) return s;
        if (rows.Text(0, 0) != "list") {
          *reason = "pool '" + name + "' is a counter: values cannot be added to it";
          return Step::kRefused;
        }
        if (rows.Text(0, 1) != format_text) {
          *reason = "pool '" + name + "' is " + rows.Text(0, 1) + ", not " + format_text;
          return Step::kRefused;
        }
        s = d.Run("SELECT value FROM pool_values WHERE pool = $1 AND value = ANY($2::text[])",
                  {name, array}, &rows, reason);
        if (s != Step::kDone) return s;
        if (!rows.empty()) {
          std::set<std::string> there;
          for (size_t r = 0; r < rows.size(); ++r) there.insert(rows.Text(r, 0));
          for (const ListEntry& e : values) {
            if (there.count(e.value) == 0) continue;
            *reason = "'" + list_name + "' line " + std::to_string(e.line) + ": \"" + e.value +
                      "\" is in pool '" + name + "' already";
            return Step::kRefused;
          }
        }
        s = d.Run(
            "INSERT INTO pool_values (pool, value, state) "
            "SELECT $1, v, 'free' FROM unnest($2::text[]) AS v",
            {name, array}, nullptr, reason);
        if (s != Step::kDone) return s;
        return d.Run(
            "INSERT INTO pool_queue (pool, value) "
            "SELECT $1, v FROM unnest($2::text[]) WITH ORDINALITY AS t(v, n) ORDER BY n",
            {name, array}, nullptr, reason);
      },
      why);
  return step == Step::kDone;
}

bool LineDb::Pools(std::vector<PoolSummary>* pools, std::string* why) {
  pools->clear();
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  const Step step = d.Transaction(
      true,
      [&](std::string* reason) {
        pools->clear();
        Rows rows;
        const Step s = d.Run(
            "SELECT p.name, p.kind, p.format, p.next_value::text, p.end_value::text, "
            "  (count(v.value) FILTER (WHERE v.state = 'free') + "
            "   CASE WHEN p.kind = 'counter' AND p.next_value <= p.end_value "
            "     THEN floor((p.end_value - p.next_value) / p.step) + 1 ELSE 0 END)::text, "
            "  count(v.value) FILTER (WHERE v.state = 'reserved'), "
            "  count(v.value) FILTER (WHERE v.state = 'written'), "
            "  count(v.value) FILTER (WHERE v.state = 'void') "
            "FROM pools p LEFT JOIN pool_values v ON v.pool = p.name "
            "GROUP BY p.name ORDER BY p.name",
            {}, &rows, reason);
        if (s != Step::kDone) return s;
        for (size_t r = 0; r < rows.size(); ++r) {
          PoolSummary p;
          p.name = rows.Text(r, 0);
          p.kind = rows.Text(r, 1);
          p.format = rows.Text(r, 2);
          p.free = rows.Text(r, 5);
          p.reserved = rows.Text(r, 6);
          p.written = rows.Text(r, 7);
          p.voided = rows.Text(r, 8);
          Format format = Format::kU32Le;
          std::string pattern, ignored;
          uint64_t next = 0, last = 0;
          if (p.kind == "counter" &&
              production::ParseFormat(p.format, &format, &pattern, &ignored) &&
              ParseUnsigned(rows.Text(r, 4), &last)) {
            p.last = ShownNumber(format, pattern, last);
            p.next = ParseUnsigned(rows.Text(r, 3), &next) && next <= last
                         ? ShownNumber(format, pattern, next)
                         : "used up";
          }
          pools->push_back(std::move(p));
        }
        return Step::kDone;
      },
      why);
  return step == Step::kDone;
}

bool LineDb::Orphans(unsigned older_minutes, std::vector<Orphan>* orphans, std::string* why) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  const Step step = d.Transaction(
      true,
      [&](std::string* reason) {
        orphans->clear();
        Rows rows;
        const Step s = d.Run(
            "SELECT pool, value, coalesce(station, ''), coalesce(port, ''), "
            "  coalesce(board_id::text, ''), "
            "  to_char(reserved_at AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS') || ' UTC', "
            "  floor(extract(epoch FROM now() - reserved_at) / 60)::bigint "
            "FROM pool_values WHERE state = 'reserved' "
            "  AND reserved_at <= now() - make_interval(mins => $1::int) "
            "ORDER BY reserved_at, pool, value",
            {std::to_string(older_minutes)}, &rows, reason);
        if (s != Step::kDone) return s;
        for (size_t r = 0; r < rows.size(); ++r) {
          orphans->push_back(
              {rows.Text(r, 0), rows.Text(r, 1), rows.Text(r, 2), rows.Text(r, 3), rows.Text(r, 4),
               rows.Text(r, 5),
               static_cast<unsigned>(std::max(0L, std::atol(rows.Text(r, 6).c_str())))});
        }
        return Step::kDone;
      },
      why);
  return step == Step::kDone;
}

bool LineDb::Void(const std::string& pool, const std::vector<std::string>& values, size_t* changed,
                  std::string* why) {
  *changed = 0;
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  const Step step = d.Transaction(
      true,
      [&](std::string* reason) {
        *changed = 0;
        Rows rows;
        // The pool's row is locked: a counter hands nothing out meanwhile.
        Step s = d.Run(
            "SELECT kind, format, start_value::text, end_value::text, step::text, "
            "next_value::text FROM pools WHERE name = $1 FOR UPDATE",
            {pool}, &rows, reason);
        if (s != Step::kDone) return s;
        if (rows.empty()) {
          *reason = "no pool '" + pool + "' in the line's database " + d.server;
          return Step::kRefused;
        }
        const bool counter = rows.Text(0, 0) == "counter";
        const std::string format_text = rows.Text(0, 1);
        uint64_t start = 0, last = 0, step_size = 1, next = 0;
        ParseUnsigned(rows.Text(0, 2), &start);
        ParseUnsigned(rows.Text(0, 3), &last);
        ParseUnsigned(rows.Text(0, 4), &step_size);
        ParseUnsigned(rows.Text(0, 5), &next);
        Format format = Format::kU32Le;
        std::string pattern;
        production::ParseFormat(format_text, &format, &pattern, reason);
        std::vector<std::string> canonical;
        std::map<std::string, std::optional<uint64_t>> numbers;
        for (const std::string& text : values) {
          std::string value;
          if (!CanonicalValue(format_text, text, &value, reason)) {
            *reason = "pool '" + pool + "' is " + format_text + ": " + *reason;
            return Step::kRefused;
          }
          if (numbers.count(value) != 0) continue;
          uint64_t n = 0;
          const bool number = format == Format::kMac           ? production::ParseMac(value, &n)
                              : format == Format::kTextPattern ? PatternNumber(pattern, value, &n)
                                                               : ParseUnsigned(value, &n);
          numbers[value] = number ? std::optional<uint64_t>(n) : std::nullopt;
          canonical.push_back(value);
        }
        const std::string array = ArrayLiteral(canonical);
        s = d.Run(
            "SELECT value, state, coalesce(board_id::text, '') FROM pool_values "
            "WHERE pool = $1 AND value = ANY($2::text[]) FOR UPDATE",
            {pool, array}, &rows, reason);
        if (s != Step::kDone) return s;
        std::set<std::string> present;
        for (size_t r = 0; r < rows.size(); ++r) {
          present.insert(rows.Text(r, 0));
          if (rows.Text(r, 1) == "written") {
            *reason = "\"" + rows.Text(r, 0) + "\" was written to board " + rows.Text(r, 2) +
                      ": a written value cannot be made void";
            return Step::kRefused;
          }
        }
        // A counter's value not reached yet is entered as void: the
        // counter steps over it.
        std::vector<std::string> ahead;
        for (const std::string& value : canonical) {
          if (present.count(value) != 0) continue;
          const auto& n = numbers[value];
          if (!counter || !n || *n < next || *n > last || (*n - start) % step_size != 0) {
            *reason = "\"" + value + "\" is not a value of pool '" + pool + "'";
            return Step::kRefused;
          }
          ahead.push_back(value);
        }
        s = d.Run(
            "UPDATE pool_values SET state = 'void', done_at = now() "
            "WHERE pool = $1 AND value = ANY($2::text[]) AND state IN ('free', 'reserved')",
            {pool, array}, &rows, reason);
        if (s != Step::kDone) return s;
        *changed = rows.changed;
        s = d.Run("DELETE FROM pool_queue WHERE pool = $1 AND value = ANY($2::text[])",
                  {pool, array}, nullptr, reason);
        if (s != Step::kDone) return s;
        if (!ahead.empty()) {
          s = d.Run(
              "INSERT INTO pool_values (pool, value, state, done_at) "
              "SELECT $1, v, 'void', now() FROM unnest($2::text[]) AS v",
              {pool, ArrayLiteral(ahead)}, &rows, reason);
          if (s != Step::kDone) return s;
          *changed += rows.changed;
        }
        return Step::kDone;
      },
      why);
  return step == Step::kDone;
}

bool LineDb::CheckFields(const std::vector<PoolField>& fields, std::string* why) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  const Step step = d.Transaction(
      true,
      [&](std::string* reason) {
        std::map<std::string, std::string> taken;
        for (const PoolField& f : fields) {
          const std::string field = "field '" + f.def.name + "': ";
          auto [at, fresh] = taken.emplace(f.pool, f.def.name);
          if (!fresh) {
            *reason = field + "field '" + at->second + "' takes pool '" + f.pool +
                      "' too: each field needs a pool of its own";
            return Step::kRefused;
          }
          Rows rows;
          Step s = d.Run(
              "SELECT kind, format, next_value::text, end_value::text, "
              "  (SELECT max(octet_length(value)) FROM pool_values "
              "   WHERE pool = $1 AND state = 'free') "
              "FROM pools WHERE name = $1",
              {f.pool}, &rows, reason);
          if (s != Step::kDone) return s;
          if (rows.empty()) {
            *reason = field + "no pool '" + f.pool + "' in the line's database " + d.server +
                      ": add it with 'quelmar-cli line pool add " + f.pool + " ...'";
            return Step::kRefused;
          }
          d.kinds[f.pool] = rows.Text(0, 0);
          const std::string format = FormatText(f.def);
          if (rows.Text(0, 1) != format) {
            *reason = field + "it is " + format + " but pool '" + f.pool + "' is " +
                      rows.Text(0, 1) + ": a pool and its field have the same format";
            return Step::kRefused;
          }
          if (rows.Text(0, 0) == "counter") {
            uint64_t next = 0, last = 0;
            std::vector<uint8_t> bytes;
            std::string not_fit;
            if (ParseUnsigned(rows.Text(0, 2), &next) && ParseUnsigned(rows.Text(0, 3), &last) &&
                next <= last &&
                !production::EncodeValue(f.def, production::FieldValue{next, "", false}, &bytes,
                                         &not_fit)) {
              *reason = field + "pool '" + f.pool + "''s next value " + not_fit;
              return Step::kRefused;
            }
          } else if (uint64_t longest = 0; (f.def.format == Format::kText) &&
                                           ParseUnsigned(rows.Text(0, 4), &longest) &&
                                           longest > f.def.size) {
            *reason = field + "pool '" + f.pool + "' holds values longer than its size, " +
                      std::to_string(f.def.size) + " (the longest is " + std::to_string(longest) +
                      " bytes)";
            return Step::kRefused;
          }
        }
        return Step::kDone;
      },
      why);
  return step == Step::kDone;
}

LineDb::Reserved LineDb::Reserve(const std::vector<PoolField>& fields, const BoardTag& board,
                                 std::vector<production::FieldValue>* values, std::string* why) {
  values->clear();
  if (fields.empty()) return Reserved::kOk;
  // Pools are taken in the order of their names, so that two stations
  // whose profiles list them differently never wait on each other.
  std::vector<size_t> order(fields.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return fields[a].pool < fields[b].pool; });
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  std::vector<production::FieldValue> taken;
  const Step step = d.Transaction(
      true,
      [&](std::string* reason) {
        taken.assign(fields.size(), production::FieldValue{});
        for (size_t i : order) {
          const PoolField& f = fields[i];
          const std::string who = "pool '" + f.pool + "'";
          Rows rows;
          Step s = Step::kDone;
          auto kind = d.kinds.find(f.pool);
          if (kind == d.kinds.end()) {
            s = d.Run("SELECT kind FROM pools WHERE name = $1", {f.pool}, &rows, reason);
            if (s != Step::kDone) return s;
            if (rows.empty()) {
              *reason = "no " + who + " in the line's database " + d.server;
              return Step::kRefused;
            }
            kind = d.kinds.emplace(f.pool, rows.Text(0, 0)).first;
          }
          if (kind->second == "counter") {
            // The counter steps over values already in the pool (made void
            // ahead of it): the primary key makes a second hand-out
            // impossible, and the loop ends with the range.
            for (;;) {
              s = d.Run(
                  "UPDATE pools SET next_value = next_value + step "
                  "WHERE name = $1 AND kind = 'counter' AND next_value <= end_value "
                  "RETURNING (next_value - step)::text, end_value::text",
                  {f.pool}, &rows, reason);
              if (s != Step::kDone) return s;
              if (rows.empty()) {
                *reason = who + " is used up";
                return Step::kUsedUp;
              }
              uint64_t n = 0;
              if (!ParseUnsigned(rows.Text(0, 0), &n)) {
                *reason = who + ": its next value " + rows.Text(0, 0) + " is no number";
                return Step::kRefused;
              }
              production::FieldValue value{n, "", false};
              std::vector<uint8_t> bytes;
              std::string not_fit;
              if (!production::EncodeValue(f.def, value, &bytes, &not_fit)) {
                *reason =
                    who + " is used up for field '" + f.def.name + "': its next value " + not_fit;
                return Step::kUsedUp;
              }
              const production::ShownValue shown = production::ShowValue(f.def, value);
              const std::string text = shown.is_number ? std::to_string(shown.number) : shown.text;
              s = d.Run(
                  "INSERT INTO pool_values "
                  "  (pool, value, state, station, port, board_id, reserved_at) "
                  "VALUES ($1, $2, 'reserved', $3, $4, $5, now()) ON CONFLICT DO NOTHING",
                  {f.pool, text, board.station, board.port, board.id}, &rows, reason);
              if (s != Step::kDone) return s;
              if (rows.changed == 1) {
                taken[i] = value;
                break;
              }
            }
          } else {
            s = d.Run(
                "SELECT v.value FROM pool_queue q "
                "JOIN pool_values v ON v.pool = q.pool AND v.value = q.value "
                "WHERE q.pool = $1 AND v.state = 'free' "
                "ORDER BY q.position LIMIT 1 FOR UPDATE SKIP LOCKED",
                {f.pool}, &rows, reason);
            if (s != Step::kDone) return s;
            if (rows.empty()) {
              *reason = who + " is used up";
              return Step::kUsedUp;
            }
            const std::string value = rows.Text(0, 0);
            s = d.Run("DELETE FROM pool_queue WHERE pool = $1 AND value = $2", {f.pool, value},
                      nullptr, reason);
            if (s != Step::kDone) return s;
            s = d.Run(
                "UPDATE pool_values SET state = 'reserved', station = $3, port = $4, "
                "  board_id = $5, reserved_at = now() "
                "WHERE pool = $1 AND value = $2 AND state = 'free'",
                {f.pool, value, board.station, board.port, board.id}, &rows, reason);
            if (s != Step::kDone) return s;
            if (rows.changed != 1) {
              *reason = who + ": \"" + value + "\" changed while it was being taken";
              return Step::kRefused;
            }
            production::FieldValue taken_value{0, value, true};
            std::vector<uint8_t> bytes;
            std::string not_fit;
            if (!production::EncodeValue(f.def, taken_value, &bytes, &not_fit)) {
              *reason = who + ": field '" + f.def.name + "': " + not_fit;
              return Step::kRefused;
            }
            taken[i] = taken_value;
          }
        }
        return Step::kDone;
      },
      why);
  switch (step) {
    case Step::kDone:
      *values = std::move(taken);
      return Reserved::kOk;
    case Step::kUsedUp:
      return Reserved::kUsedUp;
    case Step::kAway:
      return Reserved::kAway;
    case Step::kRefused:
      break;
  }
  return Reserved::kFailed;
}

LineDb::Filed LineDb::File(const FiledBoard& board, std::string* why) {
  const std::string record = WithoutNul(board.record);
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  // One statement, so one round trip and its own transaction. A board
  // filed before (its answer was lost) inserts nothing, and so changes no
  // value. A value made void by hand while its board was still running
  // becomes written all the same when the board ends well: the pool tells
  // what is in the boards.
  const Step step = d.Statement(
      [&](std::string* reason) {
        return d.Run(
            "WITH filed AS ("
            "  INSERT INTO boards (id, station, port, board, result, time_start, time_end, record) "
            "  VALUES ($1, $2, $3, $4, $5, $6, $7, $8::jsonb) ON CONFLICT (id) DO NOTHING "
            "  RETURNING id) "
            "UPDATE pool_values SET state = $9, done_at = now() "
            "WHERE board_id IN (SELECT id FROM filed) "
            "  AND (state = 'reserved' OR (state = 'void' AND $9 = 'written'))",
            {board.id, board.station, board.port, std::to_string(board.board), board.result,
             board.time_start, board.time_end, record, board.result == "ok" ? "written" : "void"},
            nullptr, reason);
      },
      why);
  if (step == Step::kDone) return Filed::kOk;
  return step == Step::kAway ? Filed::kAway : Filed::kRefused;
}

bool LineDb::Records(const RecordsQuery& query, std::vector<std::string>* records,
                     std::string* why) {
  std::optional<std::string> candidates;
  if (query.value) {
    // The spellings a record may hold the value in.
    std::vector<std::string> forms = {*query.value};
    uint64_t n = 0;
    if (production::ParseMac(*query.value, &n)) forms.push_back(production::MacText(n));
    if (ParseUnsigned(*query.value, &n)) forms.push_back(std::to_string(n));
    candidates = ArrayLiteral(forms);
  }
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  const Step step = d.Transaction(
      true,
      [&](std::string* reason) {
        records->clear();
        Rows rows;
        const Step s = d.Run(
            "SELECT record::text FROM boards b "
            "WHERE ($1::boolean IS NOT TRUE OR b.result <> 'ok') "
            "  AND ($2::text[] IS NULL "
            "       OR b.id IN (SELECT board_id FROM pool_values WHERE value = ANY($2::text[])) "
            "       OR EXISTS (SELECT 1 FROM jsonb_each_text(b.record -> 'fields') f "
            "                  WHERE f.value = ANY($2::text[]))) "
            "ORDER BY b.time_start, b.id",
            {query.failed ? "true" : "false", candidates}, &rows, reason);
        if (s != Step::kDone) return s;
        for (size_t r = 0; r < rows.size(); ++r) records->push_back(rows.Text(r, 0));
        return Step::kDone;
      },
      why);
  return step == Step::kDone;
}

}  // namespace quelmar::line
