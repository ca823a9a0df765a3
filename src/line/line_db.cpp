#include "line/line_db.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <numeric>
#include <random>
#include <set>

#include "line/conninfo.h"
#include "line/schema.h"
#include "line/session.h"
#include "line/stations.h"
#include "production/sha256.h"

namespace quelmar::line {

namespace {

using production::Format;

constexpr uint64_t kMacMax = (uint64_t{1} << 48) - 1;
constexpr uint64_t kMacBlock = 0xFFFFFF;               // the low 24 bits a block counts in
constexpr uint64_t kMulticastBit = uint64_t{1} << 40;  // the first byte's lowest bit
// pg_advisory_xact_lock's key while the schema is made or upgraded: two
// inits at once take turns.
constexpr char kSchemaLockKey[] = "7310850262131";
// ... and while a pool is added: two adds at once cannot both pass the
// check that pools never overlap.
constexpr char kPoolAddLockKey[] = "7310850262132";

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

// The family a format's values live in: a value of one format may be the
// same as a value of another of its family ("100003" of u32le and of
// u64le, a text list's "QM-00100003" and a counter's text:QM-%08u).
std::string Family(const std::string& format) {
  if (format == "mac") return "mac";
  if (format == "text" || format.rfind("text:", 0) == 0) return "text";
  return "number";
}

std::vector<uint8_t> HexBytes(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

bool IsHex(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

// A range of a counter on its step: first and last inclusive.
struct Range {
  uint64_t first = 0, last = 0;
};

// The smallest value >= from of the counter start + k*step, or none past
// `last`.
std::optional<uint64_t> FirstOnStep(uint64_t start, uint64_t step, uint64_t from, uint64_t last) {
  if (start > last) return std::nullopt;
  if (from <= start) return start;
  const uint64_t k = (from - start) / step + ((from - start) % step != 0 ? 1 : 0);
  if (k > (last - start) / step) return std::nullopt;
  return start + k * step;
}

// The first value two counters share (start + a*step of each, within both
// ranges). Walking the counter of the larger step, whether a value is the
// other's repeats after (smaller step / gcd) values, so that many tries
// settle it. *unsure: the steps are too large to tell quickly.
std::optional<uint64_t> FirstCommon(Range a, uint64_t ka, Range b, uint64_t kb, bool* unsure) {
  *unsure = false;
  if (ka < kb) {
    std::swap(a, b);
    std::swap(ka, kb);
  }
  const uint64_t high = std::min(a.last, b.last);
  std::optional<uint64_t> x = FirstOnStep(a.first, ka, std::max(a.first, b.first), high);
  const uint64_t period = kb / std::gcd(ka, kb);
  if (period > 10'000'000) {
    *unsure = x.has_value();
    return x;
  }
  for (uint64_t tries = 0; x && tries < period; ++tries) {
    if (*x >= b.first && (*x - b.first) % kb == 0) return x;
    if (high - *x < ka) return std::nullopt;
    *x += ka;
  }
  return std::nullopt;
}

// A pattern's fixed text before and after its number, "%%" as '%'.
std::pair<std::string, std::string> FixedParts(const std::string& pattern) {
  std::string before, after;
  bool number_seen = false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    std::string& out = number_seen ? after : before;
    if (pattern[i] != '%') {
      out += pattern[i];
    } else if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out += '%';
      ++i;
    } else {
      while (i < pattern.size() && pattern[i] != 'u') ++i;
      number_seen = true;
    }
  }
  return {before, after};
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Whether two text counters of different patterns can make one text. Fixed
// texts that differ at their start or their end never meet; otherwise the
// smaller counter's texts are tried one by one against the other, and a
// pair too large to try counts as meeting. *example: a text both make.
bool TextCountersMeet(const std::string& format_a, Range a, uint64_t step_a,
                      const std::string& format_b, Range b, uint64_t step_b, std::string* example) {
  example->clear();
  const std::string pa = format_a.substr(5), pb = format_b.substr(5);
  const auto [before_a, after_a] = FixedParts(pa);
  const auto [before_b, after_b] = FixedParts(pb);
  if (before_a.rfind(before_b, 0) != 0 && before_b.rfind(before_a, 0) != 0) return false;
  if (!EndsWith(after_a, after_b) && !EndsWith(after_b, after_a)) return false;
  std::string small = pa, large = pb;
  if ((b.last - b.first) / step_b < (a.last - a.first) / step_a) {
    std::swap(a, b);
    std::swap(step_a, step_b);
    std::swap(small, large);
  }
  if ((a.last - a.first) / step_a > 1'000'000) return true;
  for (uint64_t n = a.first;; n += step_a) {
    const std::string text = production::PatternText(small, n);
    uint64_t m = 0;
    if (PatternNumber(large, text, &m) && m >= b.first && m <= b.last &&
        (m - b.first) % step_b == 0) {
      *example = text;
      return true;
    }
    if (a.last - n < step_a) break;
  }
  return false;
}

}  // namespace

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

std::string SealRecord(const std::string& key_hex, const std::string& record) {
  std::vector<uint8_t> key = HexBytes(key_hex);
  if (key.size() > 64) {
    key = HexBytes(production::Sha256Hex(key.data(), key.size()));
  }
  key.resize(64, 0);
  std::vector<uint8_t> pad(64);
  production::Sha256 inner;
  for (size_t i = 0; i < 64; ++i) pad[i] = static_cast<uint8_t>(key[i] ^ 0x36);
  inner.Update(pad.data(), pad.size());
  inner.Update(record.data(), record.size());
  const std::vector<uint8_t> inner_digest = HexBytes(inner.FinishHex());
  production::Sha256 outer;
  for (size_t i = 0; i < 64; ++i) pad[i] = static_cast<uint8_t>(key[i] ^ 0x5C);
  outer.Update(pad.data(), pad.size());
  outer.Update(inner_digest.data(), inner_digest.size());
  return outer.FinishHex();
}

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
  Step Statement(Body body, std::string* why, bool check_schema = true) {
    for (int lost = 0;; ++lost) {
      if (!Ensure(why)) return Step::kAway;
      std::string reason;
      Step step = check_schema ? CheckSchemaLocked(&reason) : Step::kDone;
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

  // Two pools of one family that could hand out one value give two boards
  // one serial or MAC: a new pool (a counter's range, or a list's values)
  // is refused when it meets another's, naming the other and the first
  // common value. Pool adds take turns on the lock, so two at once cannot
  // both pass.
  Step CheckOverlap(const std::string& name, const std::string& format,
                    const std::optional<std::pair<Range, uint64_t>>& counter,
                    const std::vector<ListEntry>* list, const std::string& list_name,
                    std::string* why) {
    Rows rows;
    // The lock first, the pools then: a statement sees what was committed
    // when it began, so the look must begin after the lock is held.
    Step s =
        Run(std::string("SELECT pg_advisory_xact_lock(") + kPoolAddLockKey + ")", {}, nullptr, why);
    if (s != Step::kDone) return s;
    s =
        Run("SELECT name, kind, format, start_value::text, end_value::text, step::text "
            "FROM pools WHERE name <> $1 ORDER BY name",
            {name}, &rows, why);
    if (s != Step::kDone) return s;
    const std::string family = Family(format);
    Format f = Format::kU32Le;
    std::string pattern, ignored;
    production::ParseFormat(format, &f, &pattern, &ignored);
    // A value's number as a counter of `other_format` would count it.
    auto number_of = [&](const std::string& other_format, const std::string& value, uint64_t* n) {
      Format of = Format::kU32Le;
      std::string op, no;
      if (!production::ParseFormat(other_format, &of, &op, &no)) return false;
      if (of == Format::kMac) return production::ParseMac(value, n);
      if (of == Format::kTextPattern) return PatternNumber(op, value, n);
      return ParseUnsigned(value, n);
    };
    auto shown = [&](const std::string& fmt, uint64_t n) {
      Format of = Format::kU32Le;
      std::string op, no;
      production::ParseFormat(fmt, &of, &op, &no);
      return ShownNumber(of, op, n);
    };
    std::vector<std::string> lists;
    for (size_t r = 0; r < rows.size(); ++r) {
      const std::string other = rows.Text(r, 0), other_format = rows.Text(r, 2);
      if (Family(other_format) != family) continue;
      if (rows.Text(r, 1) == "list") {
        lists.push_back(other);
        continue;
      }
      Range theirs;
      uint64_t their_step = 1;
      ParseUnsigned(rows.Text(r, 3), &theirs.first);
      ParseUnsigned(rows.Text(r, 4), &theirs.last);
      ParseUnsigned(rows.Text(r, 5), &their_step);
      if (counter) {
        if (family == "text" && other_format != format) {
          // Two patterns: their texts may still meet ("A%u" makes A10 as
          // "A1%u" does).
          std::string example;
          if (TextCountersMeet(format, counter->first, counter->second, other_format, theirs,
                               their_step, &example)) {
            *why = "pool '" + name + "' (" + format + ") would meet pool '" + other + "' (" +
                   other_format + ", " + shown(other_format, theirs.first) + " to " +
                   shown(other_format, theirs.last) + "): " +
                   (example.empty() ? std::string("their texts may be the same")
                                    : "both make " + example) +
                   ". Each pool needs values of its own: give text counters fixed texts that "
                   "differ";
            return Step::kRefused;
          }
          continue;
        }
        bool unsure = false;
        const auto common =
            FirstCommon(counter->first, counter->second, theirs, their_step, &unsure);
        if (common) {
          *why = "pool '" + name + "' would meet pool '" + other + "' (" + other_format + ", " +
                 shown(other_format, theirs.first) + " to " + shown(other_format, theirs.last) +
                 "): both " + (unsure ? "may hold values from " : "hold ") +
                 shown(format, *common) +
                 ". Each pool needs values of its own (and each line's database ranges of its "
                 "own)";
          return Step::kRefused;
        }
        continue;
      }
      for (const ListEntry& e : *list) {
        uint64_t n = 0;
        if (number_of(other_format, e.value, &n) && n >= theirs.first && n <= theirs.last &&
            (n - theirs.first) % their_step == 0 && shown(other_format, n) == e.value) {
          *why = "'" + list_name + "' line " + std::to_string(e.line) + ": \"" + e.value +
                 "\" is a value of pool '" + other + "' (" + other_format + ", " +
                 shown(other_format, theirs.first) + " to " + shown(other_format, theirs.last) +
                 "): each pool needs values of its own";
          return Step::kRefused;
        }
      }
    }
    if (lists.empty()) return Step::kDone;
    if (counter) {
      // The other lists' values this counter would hand out, first by number.
      s = Run("SELECT v.pool, v.value FROM pool_values v WHERE v.pool = ANY($1::text[])",
              {ArrayLiteral(lists)}, &rows, why);
      if (s != Step::kDone) return s;
      std::optional<std::pair<uint64_t, size_t>> first;
      for (size_t r = 0; r < rows.size(); ++r) {
        uint64_t n = 0;
        if (!number_of(format, rows.Text(r, 1), &n) || shown(format, n) != rows.Text(r, 1))
          continue;
        const Range& mine = counter->first;
        if (n < mine.first || n > mine.last || (n - mine.first) % counter->second != 0) continue;
        if (!first || n < first->first) first = std::make_pair(n, r);
      }
      if (first) {
        *why = "pool '" + name + "' would meet the list pool '" + rows.Text(first->second, 0) +
               "', which holds " + rows.Text(first->second, 1) +
               ": each pool needs values of its own";
        return Step::kRefused;
      }
      return Step::kDone;
    }
    std::vector<std::string> texts;
    for (const ListEntry& e : *list) texts.push_back(e.value);
    s =
        Run("SELECT pool, value FROM pool_values WHERE pool = ANY($1::text[]) "
            "AND value = ANY($2::text[])",
            {ArrayLiteral(lists), ArrayLiteral(texts)}, &rows, why);
    if (s != Step::kDone) return s;
    if (rows.empty()) return Step::kDone;
    std::map<std::string, std::string> there;
    for (size_t r = 0; r < rows.size(); ++r) there.emplace(rows.Text(r, 1), rows.Text(r, 0));
    for (const ListEntry& e : *list) {
      const auto at = there.find(e.value);
      if (at == there.end()) continue;
      *why = "'" + list_name + "' line " + std::to_string(e.line) + ": \"" + e.value +
             "\" is in pool '" + at->second + "' already: each pool needs values of its own";
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

namespace {

constexpr const char* kGroups[] = {kStationGroup, kSupervisorGroup, kEngineerGroup};

// The line's own tables, for the grants an older line gave by hand.
constexpr char kTables[] =
    "{quelmar_schema,pools,pool_values,pool_queue,boards,stations,station_roles,reservations,"
    "pool_skips,refused_filings}";

}  // namespace

std::string LineDb::RolesSql() {
  std::string sql;
  for (const char* group : kGroups) sql += std::string("CREATE ROLE ") + group + " NOLOGIN;\n";
  return sql;
}

bool LineDb::Init(int* from, std::string* advice, std::string* why) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  advice->clear();
  // The group roles are the cluster's, not the database's: made first, each
  // on its own, so that two lines made at once on one server both succeed.
  {
    Rows rows;
    Step s = d.Statement(
        [&](std::string* reason) {
          return d.Run(
              "SELECT (SELECT count(*) FROM pg_roles WHERE rolname = ANY($1::text[])), "
              "  (SELECT rolsuper OR rolcreaterole FROM pg_roles WHERE rolname = current_user), "
              "  current_user",
              {ArrayLiteral({kStationGroup, kSupervisorGroup, kEngineerGroup})}, &rows, reason);
        },
        why, false);
    if (s != Step::kDone) return false;
    if (rows.Text(0, 0) != "3") {
      if (rows.Text(0, 1) != "t") {
        *why = "the line needs three group roles, and " + rows.Text(0, 2) + " on " + d.server +
               " may not make roles: as PostgreSQL's superuser, run\n" + RolesSql() +
               "GRANT quelmar_engineer TO " + rows.Text(0, 2) +
               ";\nthen 'quelmar-cli line init' again (docs/line.md, \"Roles\")";
        return false;
      }
      for (const char* group : kGroups) {
        s = d.Statement(
            [&](std::string* reason) {
              return d.Run(std::string("DO $$BEGIN CREATE ROLE ") + group +
                               " NOLOGIN; EXCEPTION WHEN duplicate_object OR unique_violation "
                               "THEN NULL; END$$",
                           {}, nullptr, reason);
            },
            why, false);
        if (s != Step::kDone) return false;
      }
    }
  }
  const Step step = d.Transaction(
      false,
      [&](std::string* reason) {
        *from = 0;
        Rows rows;
        Step s = d.Run(std::string("SELECT pg_advisory_xact_lock(") + kSchemaLockKey +
                           "), to_regclass('quelmar_schema') IS NOT NULL, "
                           "quote_ident(current_schema())",
                       {}, &rows, reason);
        if (s != Step::kDone) return s;
        const std::string schema = rows.Text(0, 2);
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
          std::string sql = steps[static_cast<size_t>(v)];
          for (size_t at = sql.find("@SCHEMA@"); at != std::string::npos;
               at = sql.find("@SCHEMA@", at + schema.size()))
            sql.replace(at, 8, schema);
          s = d.Run(sql, {}, nullptr, reason);
          if (s != Step::kDone) {
            if (s == Step::kRefused)
              *reason = "cannot make schema version " + std::to_string(v + 1) + ": " + *reason;
            return s;
          }
        }
        s = d.Run("UPDATE quelmar_schema SET version = $1", {std::to_string(kSchemaVersion)},
                  nullptr, reason);
        if (s != Step::kDone) return s;
        // What an older line granted by hand: needless now, and each one a
        // way around the functions.
        s = d.Run(
            "SELECT DISTINCT format('REVOKE %s ON %I FROM %I;', a.privilege_type, c.relname, "
            "  r.rolname) "
            "FROM pg_class c "
            "CROSS JOIN LATERAL (SELECT (aclexplode(c.relacl)).* UNION ALL "
            "  SELECT (aclexplode(t.attacl)).* FROM pg_attribute t "
            "  WHERE t.attrelid = c.oid AND t.attacl IS NOT NULL) a "
            "JOIN pg_roles r ON r.oid = a.grantee "
            "WHERE c.relnamespace = current_schema()::regnamespace "
            "  AND c.relname = ANY($1::text[]) AND a.grantee <> c.relowner "
            "  AND a.privilege_type IN ('INSERT', 'UPDATE', 'DELETE', 'TRUNCATE') "
            "  AND r.rolname <> 'quelmar_engineer' "
            "ORDER BY 1",
            {std::string(kTables)}, &rows, reason);
        if (s != Step::kDone) return s;
        for (size_t r = 0; r < rows.size(); ++r) *advice += rows.Text(r, 0) + "\n";
        return Step::kDone;
      },
      why);
  if (step == Step::kDone) d.schema_ok = true;
  return step == Step::kDone;
}

bool LineDb::StartStation(const std::string& station, std::string* identity, std::string* why) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  Rows rows;
  const Step step = d.Statement(
      [&](std::string* reason) {
        return d.Run("SELECT quelmar_station_start($1, NULL)", {station}, &rows, reason);
      },
      why);
  if (step != Step::kDone) return false;
  *identity = rows.Text(0, 0);
  return true;
}

bool LineDb::Identity(std::string* identity, std::string* why) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  Rows rows;
  const Step step = d.Statement(
      [&](std::string* reason) {
        return d.Run(
            "SELECT (SELECT system_identifier::text FROM pg_control_system()) || '/' || "
            "current_database()",
            {}, &rows, reason);
      },
      why);
  if (step != Step::kDone) return false;
  *identity = rows.Text(0, 0);
  return true;
}

bool LineDb::AddStation(const std::string& name, const std::string& role, std::string* why) {
  if (!CheckStationName(name, why)) return false;
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  const Step step = d.Transaction(
      true,
      [&](std::string* reason) {
        Rows rows;
        Step s = d.Run(
            "SELECT r.rolcanlogin, pg_has_role(r.oid, 'quelmar_station', 'MEMBER'), "
            "  (SELECT role FROM station_roles WHERE name = $1), r.rolsuper "
            "FROM pg_roles r WHERE r.rolname = $2",
            {name, role}, &rows, reason);
        if (s != Step::kDone) return s;
        if (rows.empty()) {
          *reason = "there is no role '" + role + "' on " + d.server +
                    ": make it first (CREATE ROLE ... LOGIN IN ROLE quelmar_station)";
          return Step::kRefused;
        }
        // A station logs in with a role of its own: not a group, and not
        // a superuser, who could do anything anyway.
        if (rows.Text(0, 3) == "t") {
          *reason = "role '" + role + "' is a superuser: give each station a login role of its own";
          return Step::kRefused;
        }
        if (rows.Text(0, 0) != "t") {
          *reason = "role '" + role +
                    "' cannot log in (a group role?): give each station a login role of its own";
          return Step::kRefused;
        }
        if (rows.Text(0, 1) != "t") {
          *reason = "role '" + role +
                    "' is no member of quelmar_station: GRANT quelmar_station TO " + role +
                    " first";
          return Step::kRefused;
        }
        if (rows.At(0, 2)) {
          *reason = "station '" + name + "' is registered already, for the role " +
                    rows.Text(0, 2) +
                    (rows.Text(0, 2) == role ? "" : ": remove it first (line station remove)");
          return Step::kRefused;
        }
        return d.Run(
            "INSERT INTO station_roles (name, role, added_by) VALUES ($1, $2, session_user)",
            {name, role}, nullptr, reason);
      },
      why);
  return step == Step::kDone;
}

bool LineDb::RemoveStation(const std::string& name, std::string* why) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  const Step step = d.Transaction(
      true,
      [&](std::string* reason) {
        Rows rows;
        Step s = d.Run("DELETE FROM station_roles WHERE name = $1", {name}, &rows, reason);
        if (s != Step::kDone) return s;
        if (rows.changed == 0) {
          *reason = "no station '" + name + "' is registered on " + d.server;
          return Step::kRefused;
        }
        s = d.Run("DELETE FROM stations WHERE name = $1", {name}, nullptr, reason);
        if (s != Step::kDone) return s;
        return d.Run("SELECT pg_notify('quelmar_stations', $1)", {name}, nullptr, reason);
      },
      why);
  return step == Step::kDone;
}

bool LineDb::Stations(std::vector<RegisteredStation>* stations, std::string* why) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  const Step step = d.Transaction(
      true,
      [&](std::string* reason) {
        stations->clear();
        Rows rows;
        const Step s = d.Run(
            "SELECT r.name, r.role, r.added_by, "
            "  to_char(r.added_at AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS') || ' UTC', "
            "  coalesce(s.run, ''), coalesce(to_char(s.last_seen AT TIME ZONE 'UTC', "
            "  'YYYY-MM-DD HH24:MI:SS') || ' UTC', '') "
            "FROM station_roles r LEFT JOIN stations s ON s.name = r.name ORDER BY r.name",
            {}, &rows, reason);
        if (s != Step::kDone) return s;
        for (size_t r = 0; r < rows.size(); ++r)
          stations->push_back({rows.Text(r, 0), rows.Text(r, 1), rows.Text(r, 2), rows.Text(r, 3),
                               rows.Text(r, 4), rows.Text(r, 5)});
        return Step::kDone;
      },
      why);
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
    if (pool.start == 0) {
      *why = "--start " + shown(pool.start) + " is the all-zero address";
      return false;
    }
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
        s = d.CheckOverlap(pool.name, pool.format,
                           std::make_pair(Range{pool.start, last}, pool.step), nullptr, "", reason);
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
  if (format == Format::kMac) {
    // What no board may carry: a list refuses it as a counter does.
    for (const ListEntry& e : values) {
      uint64_t n = 0;
      const char* what = !production::ParseMac(e.value, &n) ? "no MAC address"
                         : n == kMacMax                     ? "the broadcast address"
                         : (n & kMulticastBit) != 0
                             ? "a multicast address (the lowest bit of its first byte is set)"
                         : n == 0 ? "the all-zero address"
                                  : nullptr;
      if (what != nullptr) {
        *why = "'" + list_name + "' line " + std::to_string(e.line) + ": \"" + e.value + "\" is " +
               what;
        return false;
      }
    }
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
        s = d.CheckOverlap(name, format_text, std::nullopt, &values, list_name, reason);
        if (s != Step::kDone) return s;
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
            "     THEN floor((p.end_value - p.next_value) / p.step) + 1 ELSE 0 END "
            "   - coalesce(k.ahead, 0))::text, "
            "  count(v.value) FILTER (WHERE v.state = 'reserved'), "
            "  count(v.value) FILTER (WHERE v.state = 'written'), "
            "  (count(v.value) FILTER (WHERE v.state = 'void') + coalesce(k.skipped, 0))::text "
            "FROM pools p LEFT JOIN pool_values v ON v.pool = p.name "
            "LEFT JOIN (SELECT k.pool, "
            "    sum(floor((k.last_value - k.first_value) / q.step) + 1) AS skipped, "
            "    sum(floor((k.last_value - k.first_value) / q.step) + 1) "
            "      FILTER (WHERE k.first_value >= q.next_value) AS ahead "
            "  FROM pool_skips k JOIN pools q ON q.name = k.pool GROUP BY k.pool) k "
            "  ON k.pool = p.name "
            "GROUP BY p.name, k.skipped, k.ahead ORDER BY p.name",
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
        // Boards of a job without fields hold their count alone; only
        // those who may read the reservations (engineers) see them.
        Step s = d.Run("SELECT has_table_privilege('reservations', 'SELECT')", {}, &rows, reason);
        if (s != Step::kDone) return s;
        const bool engineer = rows.Text(0, 0) == "t";
        const std::string columns =
            "to_char(reserved_at AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS') || ' UTC', "
            "floor(extract(epoch FROM now() - reserved_at) / 60)::bigint ";
        const std::string since = "reserved_at <= now() - make_interval(mins => $1::int) ";
        s = d.Run(
            "SELECT pool, value, coalesce(station, ''), coalesce(port, ''), "
            "coalesce(board_id::text, ''), " +
                columns + "FROM pool_values WHERE state = 'reserved' AND " + since +
                (engineer ? "UNION ALL SELECT '(job)', job || '@' || job_version, station, "
                            "port, board_id::text, " +
                                columns +
                                "FROM reservations WHERE counted AND fields = '{}'::jsonb "
                                "AND " +
                                since
                          : std::string()) +
                "ORDER BY 6, 1, 2",
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

bool LineDb::VoidBoard(const std::string& board_id, size_t* values, std::string* job,
                       std::string* why) {
  *values = 0;
  job->clear();
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  const Step step = d.Transaction(
      true,
      [&](std::string* reason) {
        Rows rows;
        Step s = d.Run(
            "SELECT coalesce(job || '@' || job_version, ''), "
            "  floor(extract(epoch FROM now() - reserved_at) / 60)::bigint "
            "FROM reservations WHERE board_id = $1::uuid FOR UPDATE",
            {board_id}, &rows, reason);
        if (s != Step::kDone) return s;
        if (rows.empty()) {
          *reason = "board " + board_id +
                    " is no board in flight: it was filed, closed before, or never reserved";
          return Step::kRefused;
        }
        // A board being written has a reservation of minutes: one its
        // station still writes must not lose its count under it.
        if (std::atol(rows.Text(0, 1).c_str()) < kCloseAfterMinutes) {
          *reason = "board " + board_id + " was reserved " + rows.Text(0, 1) +
                    " min ago: its station may still be writing it; close a board only once " +
                    "its station is down, " + std::to_string(kCloseAfterMinutes) +
                    " minutes or more after its reservation";
          return Step::kRefused;
        }
        *job = rows.Text(0, 0);
        s = d.Run(
            "UPDATE pool_values SET state = 'void', done_at = now() "
            "WHERE board_id = $1::uuid AND state = 'reserved'",
            {board_id}, &rows, reason);
        if (s != Step::kDone) return s;
        *values = rows.changed;
        return d.Run("DELETE FROM reservations WHERE board_id = $1::uuid", {board_id}, nullptr,
                     reason);
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
        // A counter's values not reached yet go into its skips, as ranges:
        // a reservation steps over a whole range at once, however many
        // values it holds.
        std::vector<Range> skips;
        if (counter) {
          s = d.Run(
              "SELECT first_value::text, last_value::text FROM pool_skips WHERE pool = $1 "
              "ORDER BY first_value",
              {pool}, &rows, reason);
          if (s != Step::kDone) return s;
          for (size_t r = 0; r < rows.size(); ++r) {
            Range range;
            ParseUnsigned(rows.Text(r, 0), &range.first);
            ParseUnsigned(rows.Text(r, 1), &range.last);
            skips.push_back(range);
          }
        }
        auto skipped = [&](uint64_t n) {
          auto at = std::upper_bound(skips.begin(), skips.end(), n,
                                     [](uint64_t v, const Range& r) { return v < r.first; });
          return at != skips.begin() && std::prev(at)->last >= n;
        };
        std::vector<uint64_t> ahead;
        for (const std::string& value : canonical) {
          if (present.count(value) != 0) continue;
          const auto& n = numbers[value];
          const bool on_counter =
              counter && n && *n >= start && *n <= last && (*n - start) % step_size == 0;
          if (on_counter && skipped(*n)) continue;  // void already
          if (!on_counter || *n < next) {
            *reason = "\"" + value + "\" is not a value of pool '" + pool + "'";
            return Step::kRefused;
          }
          ahead.push_back(*n);
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
          *changed += ahead.size();
          for (uint64_t n : ahead) skips.push_back({n, n});
          std::sort(skips.begin(), skips.end(),
                    [](const Range& a, const Range& b) { return a.first < b.first; });
          // Ranges that touch (the next value on the step) become one.
          std::vector<Range> merged;
          for (const Range& r : skips) {
            if (!merged.empty() && r.first <= merged.back().last + step_size) {
              merged.back().last = std::max(merged.back().last, r.last);
            } else {
              merged.push_back(r);
            }
          }
          std::vector<std::string> firsts, lasts;
          for (const Range& r : merged) {
            firsts.push_back(std::to_string(r.first));
            lasts.push_back(std::to_string(r.last));
          }
          s = d.Run("DELETE FROM pool_skips WHERE pool = $1", {pool}, nullptr, reason);
          if (s != Step::kDone) return s;
          s = d.Run(
              "INSERT INTO pool_skips (pool, first_value, last_value) "
              "SELECT $1, f, l FROM unnest($2::numeric[], $3::numeric[]) AS t(f, l)",
              {pool, ArrayLiteral(firsts), ArrayLiteral(lasts)}, nullptr, reason);
          if (s != Step::kDone) return s;
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
                                 std::vector<production::FieldValue>* values, std::string* key,
                                 std::string* why, std::string* rework_of) {
  values->clear();
  key->clear();
  if (rework_of) rework_of->clear();
  std::vector<std::string> names, pools;
  for (const PoolField& f : fields) {
    names.push_back(f.def.name);
    pools.push_back(f.pool);
  }
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  std::vector<production::FieldValue> taken;
  std::string taken_key, taken_rework_of;
  bool used_up = false, held = false, made = false, retired = false;
  // The database picks the values; what it hands out is checked against
  // each field here, and a value the field cannot hold undoes the whole
  // reservation.
  const Step step = d.Transaction(
      true,
      [&](std::string* reason) {
        used_up = false;
        taken.assign(fields.size(), production::FieldValue{});
        Rows rows;
        std::vector<Param> params = {
            board.station,
            board.port,
            board.id,
            ArrayLiteral(names),
            ArrayLiteral(pools),
            board.job.empty() ? Param() : Param(board.job),
            board.job.empty() ? Param() : Param(std::to_string(board.job_version)),
            board.count ? "true" : "false"};
        // A scanned board: the database looks its unit's earlier boards up.
        if (!board.unit.empty()) {
          params.push_back(board.unit);
          params.push_back(board.rework ? "true" : "false");
        }
        Step s = d.Run(board.unit.empty()
                           ? "SELECT quelmar_reserve($1, $2, $3::uuid, $4::text[], $5::text[], $6, "
                             "$7::integer, $8::boolean)"
                           : "SELECT quelmar_reserve_unit($1, $2, $3::uuid, $4::text[], "
                             "$5::text[], $6, $7::integer, $8::boolean, $9, $10::boolean)",
                       params, &rows, reason);
        if (s != Step::kDone) {
          used_up = d.session.Sqlstate() == "QM001";
          made = d.session.Sqlstate() == "QM008";
          retired = d.session.Sqlstate() == "QM007";
          // Rows held by another connection past lock_timeout, or the
          // server's statement_timeout: the database is slow, not the
          // board wrong.
          held = d.session.Sqlstate() == "55P03" || d.session.Sqlstate() == "57014";
          return s;
        }
        const nlohmann::json j = nlohmann::json::parse(rows.Text(0, 0), nullptr, false);
        if (!j.is_object() || !j.contains("values") || !j["values"].is_array() ||
            j["values"].size() != fields.size() || !j.contains("kinds") || !j["kinds"].is_array() ||
            j["kinds"].size() != fields.size() || !j.contains("key") || !j["key"].is_string()) {
          *reason = "the line's database answered the reservation with no values";
          return Step::kRefused;
        }
        for (size_t i = 0; i < fields.size(); ++i) {
          const PoolField& f = fields[i];
          const std::string who = "pool '" + f.pool + "'";
          if (!j["values"][i].is_string()) {
            *reason = who + " gave no value";
            return Step::kRefused;
          }
          const std::string text = j["values"][i].get<std::string>();
          production::FieldValue value{0, text, true};
          if (j["kinds"][i] == "counter") {
            uint64_t n = 0;
            const bool number = f.def.format == Format::kMac ? production::ParseMac(text, &n)
                                : f.def.format == Format::kTextPattern
                                    ? PatternNumber(f.def.pattern, text, &n)
                                    : ParseUnsigned(text, &n);
            if (!number || ShownNumber(f.def.format, f.def.pattern, n) != text) {
              *reason =
                  who + " gave \"" + text + "\", which is not a value of " + FormatText(f.def);
              return Step::kRefused;
            }
            value = production::FieldValue{n, "", false};
          }
          std::vector<uint8_t> bytes;
          std::string not_fit;
          if (!production::EncodeValue(f.def, value, &bytes, &not_fit)) {
            *reason = who + " is used up for field '" + f.def.name + "': its next value " + not_fit;
            used_up = true;
            return Step::kRefused;
          }
          taken[i] = value;
        }
        taken_key = j["key"].get<std::string>();
        taken_rework_of = j.contains("rework_of") && j["rework_of"].is_string()
                              ? j["rework_of"].get<std::string>()
                              : std::string();
        if (taken_key.size() != 64 || !IsHex(taken_key)) {
          *reason = "the line's database gave no key for the board";
          return Step::kRefused;
        }
        return Step::kDone;
      },
      why);
  switch (step) {
    case Step::kDone:
      *values = std::move(taken);
      *key = std::move(taken_key);
      if (rework_of) *rework_of = std::move(taken_rework_of);
      return Reserved::kOk;
    case Step::kAway:
      return Reserved::kAway;
    case Step::kUsedUp:
    case Step::kRefused:
      break;
  }
  return used_up   ? Reserved::kUsedUp
         : made    ? Reserved::kMade
         : retired ? Reserved::kRetired
         : held    ? Reserved::kAway
                   : Reserved::kFailed;
}

LineDb::Filed LineDb::File(const FiledBoard& board, std::string* why) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  Rows rows;
  // One statement, its own transaction. A board filed before (its answer
  // was lost) with the same record is a no-op.
  const Step step = d.Statement(
      [&](std::string* reason) {
        return d.Run("SELECT quelmar_file($1, $2::uuid, $3, $4, $5)",
                     {board.station, board.id, board.result, board.record, board.seal}, &rows,
                     reason);
      },
      why);
  if (step == Step::kAway) return Filed::kAway;
  if (step != Step::kDone) return Filed::kRefused;
  const std::string answer = rows.Text(0, 0);
  if (answer == "filed" || answer == "already") return Filed::kOk;
  *why = answer.rfind(kRefusedPrefix, 0) == 0
             ? answer
             : std::string(kRefusedPrefix) + "the line's database answered '" + answer + "'";
  return Filed::kRefused;
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
            "  AND ($3::text IS NULL OR b.job = $3) "
            "  AND ($4::integer IS NULL OR b.job_version = $4) "
            "  AND ($5::text IS NULL OR b.unit = $5) "
            "ORDER BY b.time_start, b.id",
            {query.failed ? "true" : "false", candidates, query.job,
             query.job_version ? Param(std::to_string(*query.job_version)) : Param(),
             query.unit ? Param(*query.unit) : Param()},
            &rows, reason);
        if (s != Step::kDone) return s;
        for (size_t r = 0; r < rows.size(); ++r) records->push_back(rows.Text(r, 0));
        return Step::kDone;
      },
      why);
  return step == Step::kDone;
}

}  // namespace quelmar::line

// --- released jobs ---

namespace quelmar::line {

namespace {

std::string ByteaLiteral(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\\x";
  out.reserve(2 + bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

// bytea as the server writes it in text ("\x" and hex digits).
bool FromBytea(const std::string& text, std::string* bytes) {
  if (text.rfind("\\x", 0) != 0 || text.size() % 2 != 0) return false;
  bytes->clear();
  bytes->reserve(text.size() / 2 - 1);
  auto nibble = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  for (size_t i = 2; i < text.size(); i += 2) {
    const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes->push_back(static_cast<char>(hi << 4 | lo));
  }
  return true;
}

std::string JobText(const std::string& name, int version) {
  return name + "@" + std::to_string(version);
}

bool NumberCell(const Rows& rows, size_t r, size_t c, uint64_t* n) {
  return ParseUnsigned(rows.Text(r, c), n);
}

}  // namespace

std::string JobManifest(const std::string& profile, const std::vector<JobImage>& images) {
  std::vector<const JobImage*> sorted;
  for (const JobImage& i : images) sorted.push_back(&i);
  std::sort(sorted.begin(), sorted.end(),
            [](const JobImage* a, const JobImage* b) { return a->kind < b->kind; });
  std::string text =
      "quelmar job 1\nprofile " + production::Sha256Hex(profile.data(), profile.size()) + "\n";
  for (const JobImage* i : sorted) {
    text += i->kind + " " + production::Sha256Hex(i->bytes.data(), i->bytes.size()) + " " +
            std::to_string(i->bytes.size()) + " " + i->format + " " + i->file + "\n";
  }
  return text;
}

bool CheckJob(const Job& job, std::string* why) {
  const std::string what = "job " + JobText(job.summary.name, job.summary.version);
  for (const JobImage& i : job.images) {
    const std::string got = production::Sha256Hex(i.bytes.data(), i.bytes.size());
    if (got != i.sha256) {
      *why = what + ": its " + i.kind + " image '" + i.file + "' has SHA-256 " + got +
             " in the line's database, but was released with " + i.sha256 + ": no board is written";
      return false;
    }
  }
  const std::string manifest = JobManifest(job.profile, job.images);
  const std::string got = production::Sha256Hex(manifest.data(), manifest.size());
  if (got != job.summary.sha256 || manifest != job.manifest) {
    *why = what + ": its bundle hash is " + got + " of what the line's database holds, but " +
           job.summary.sha256 + " was released: no board is written";
    return false;
  }
  return true;
}

bool LineDb::ReleaseJob(const JobRelease& release, int* version, std::string* sha256,
                        std::string* why) {
  std::vector<std::string> kinds, files, formats, bytes;
  for (const JobImage& i : release.images) {
    kinds.push_back(i.kind);
    files.push_back(i.file);
    formats.push_back(i.format);
    bytes.push_back(ByteaLiteral(i.bytes));
  }
  const std::string manifest = JobManifest(release.profile, release.images);
  const std::string hash = production::Sha256Hex(manifest.data(), manifest.size());
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  Rows rows;
  const Step step = d.Transaction(
      true,
      [&](std::string* reason) {
        return d.Run(
            "SELECT quelmar_job_release($1, $2::bigint, $3, $4, $5::text[], $6::text[], "
            "$7::text[], $8::bytea[], $9)",
            {release.name, release.quantity ? Param(std::to_string(*release.quantity)) : Param(),
             release.note, release.profile, ArrayLiteral(kinds), ArrayLiteral(files),
             ArrayLiteral(formats), ArrayLiteral(bytes), hash},
            &rows, reason);
      },
      why);
  if (step != Step::kDone) return false;
  *version = std::atoi(rows.Text(0, 0).c_str());
  *sha256 = hash;
  return true;
}

bool LineDb::RetireJob(const std::string& name, int version, bool* already, std::string* why) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  Rows rows;
  const Step step = d.Statement(
      [&](std::string* reason) {
        return d.Run("SELECT quelmar_job_retire($1, $2::integer)", {name, std::to_string(version)},
                     &rows, reason);
      },
      why);
  if (step != Step::kDone) return false;
  *already = rows.Text(0, 0) == "already";
  return true;
}

namespace {

// The summary columns of quelmar_jobs() and quelmar_job_fetch(), from
// column `at` on: name, version, state, quantity, made, in_progress, sha256.
void ReadSummary(const Rows& rows, size_t r, JobSummary* s) {
  s->state = rows.Text(r, 2);
  uint64_t n = 0;
  if (rows.At(r, 3) && NumberCell(rows, r, 3, &n)) s->quantity = n;
  NumberCell(rows, r, 4, &s->made);
  NumberCell(rows, r, 5, &s->in_progress);
  s->sha256 = rows.Text(r, 6);
}

}  // namespace

bool LineDb::Jobs(std::vector<JobSummary>* jobs, std::string* why) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  Rows rows;
  const Step step = d.Statement(
      [&](std::string* reason) {
        return d.Run(
            "SELECT name, version, state, quantity, made, in_progress, sha256, released_by, "
            "to_char(released_at AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS \"UTC\"'), note, "
            "retired_by, to_char(retired_at AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS \"UTC\"') "
            "FROM quelmar_jobs()",
            {}, &rows, reason);
      },
      why);
  if (step != Step::kDone) return false;
  jobs->clear();
  for (size_t r = 0; r < rows.size(); ++r) {
    JobSummary s;
    s.name = rows.Text(r, 0);
    s.version = std::atoi(rows.Text(r, 1).c_str());
    ReadSummary(rows, r, &s);
    s.released_by = rows.Text(r, 7);
    s.released_at = rows.Text(r, 8);
    s.note = rows.Text(r, 9);
    s.retired_by = rows.Text(r, 10);
    s.retired_at = rows.Text(r, 11);
    jobs->push_back(std::move(s));
  }
  return true;
}

LineDb::Got LineDb::FetchJob(const std::string& name, std::optional<int> version, Job* job,
                             std::string* why) {
  std::lock_guard lock(impl_->mutex);
  Impl& d = *impl_;
  Rows rows;
  const Step step = d.Statement(
      [&](std::string* reason) {
        return d.Run(
            "SELECT $1::text, version, state, quantity, made, in_progress, sha256, profile, "
            "manifest, kind, file, format, bytes, image_sha256 "
            "FROM quelmar_job_fetch($1, $2::integer)",
            {name, version ? Param(std::to_string(*version)) : Param()}, &rows, reason);
      },
      why);
  if (step == Step::kAway) return Got::kAway;
  if (step != Step::kDone) return Got::kRefused;
  if (rows.empty()) {
    *why = "no job " + name + " in the line's database";
    return Got::kRefused;
  }
  *job = Job{};
  job->summary.name = name;
  job->summary.version = std::atoi(rows.Text(0, 1).c_str());
  ReadSummary(rows, 0, &job->summary);
  job->profile = rows.Text(0, 7);
  job->manifest = rows.Text(0, 8);
  for (size_t r = 0; r < rows.size(); ++r) {
    if (!rows.At(r, 9)) continue;
    JobImage image{rows.Text(r, 9), rows.Text(r, 10), rows.Text(r, 11), "", rows.Text(r, 13)};
    if (!FromBytea(rows.Text(r, 12), &image.bytes)) {
      *why = "the line's database sent job " + JobText(name, job->summary.version) + "'s " +
             image.kind + " image in a form this quelmar-cli cannot read";
      return Got::kRefused;
    }
    job->images.push_back(std::move(image));
  }
  return Got::kOk;
}

}  // namespace quelmar::line
