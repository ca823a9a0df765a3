#include "production/profile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <regex>

#include "common/utf8_path.h"
#include "production/durable_file.h"
#include "production/label.h"
#include "production/sha256.h"

// No exceptions out of the TOML reader: a failed parse is a result.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

namespace quelmar::production {

namespace {

class Reader {
 public:
  Reader(std::string name, std::filesystem::path folder, std::string* why)
      : name_(std::move(name)), folder_(std::move(folder)), why_(why) {}

  bool Fail(const toml::source_region& at, const std::string& key, const std::string& reason) {
    *why_ = name_ + " line " + std::to_string(at.begin.line) + ": '" + key + "': " + reason;
    return false;
  }

  bool Text(const toml::node& node, const std::string& key, std::string* out) {
    if (!node.is_string()) return Fail(node.source(), key, "should be text in quotes");
    *out = *node.value<std::string>();
    return true;
  }
  bool Path(const toml::node& node, const std::string& key, std::optional<std::string>* out) {
    std::string text;
    if (!Text(node, key, &text)) return false;
    if (text.empty()) return Fail(node.source(), key, "is empty");
    // The text is UTF-8, like a path given on the command line: both must
    // name one file on every system.
    const std::filesystem::path p = PathFromUtf8(text);
    // A profile's text with no folder (a released job's) keeps its paths
    // as written.
    if (folder_.empty()) {
      *out = text;
      return true;
    }
    *out = Utf8FromPath((p.is_absolute() ? p : folder_ / p).lexically_normal());
    return true;
  }
  // A name ("line3.example", "pc-12") or an address ("10.0.3.7", "fd00::7",
  // "[fd00::7]"), without a scheme or a port.
  static bool HostName(const std::string& text) {
    const bool v6 = std::count(text.begin(), text.end(), ':') >= 2;
    size_t from = 0, to = text.size();
    if (v6 && text.size() > 2 && text.front() == '[' && text.back() == ']') ++from, --to;
    if (from >= to || to - from > 253) return false;
    for (size_t i = from; i < to; ++i) {
      const char c = text[i];
      const bool ok =
          v6 ? std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.'
             : std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
      if (!ok) return false;
    }
    return true;
  }
  bool Bool(const toml::node& node, const std::string& key, bool* out) {
    if (!node.is_boolean()) return Fail(node.source(), key, "should be true or false");
    *out = *node.value<bool>();
    return true;
  }
  bool Unsigned(const toml::node& node, const std::string& key, uint64_t* out) {
    if (!node.is_integer() || *node.value<int64_t>() < 0)
      return Fail(node.source(), key, "should be a number of 0 or more");
    *out = static_cast<uint64_t>(*node.value<int64_t>());
    return true;
  }
  // A counter's start or end: a number, or for a MAC its text.
  bool CounterValue(const toml::node& node, const std::string& key, Format format, uint64_t* out) {
    if (node.is_integer()) return Unsigned(node, key, out);
    if (node.is_string()) {
      const std::string text = *node.value<std::string>();
      if (format == Format::kMac ? ParseMac(text, out) : ParseNumber(text, out)) return true;
      return Fail(node.source(), key,
                  "\"" + text + "\" is no " + (format == Format::kMac ? "MAC address" : "number"));
    }
    return Fail(node.source(), key, "should be a number");
  }

  bool Field(const toml::table& table, size_t index, FieldDef* f) {
    const std::string base = "field[" + std::to_string(index + 1) + "].";
    static const char* const kKeys[] = {"name", "at",  "format", "size",  "overwrite", "start",
                                        "step", "end", "list",   "state", "pool",      "source"};
    for (auto&& [key, node] : table) {
      const std::string k(key.str());
      if (std::find(std::begin(kKeys), std::end(kKeys), k) == std::end(kKeys))
        return Fail(key.source(), base + k, "unknown key");
    }
    const toml::node* name = table.get("name");
    if (name == nullptr) return Fail(table.source(), base + "name", "missing");
    if (!Text(*name, base + "name", &f->name)) return false;
    if (f->name.empty()) return Fail(name->source(), base + "name", "is empty");
    const std::string at_key = f->name + ".at";
    const toml::node* at = table.get("at");
    if (at == nullptr) return Fail(table.source(), base + "at", "missing");
    std::string reason;
    if (at->is_integer()) {
      uint64_t address = 0;
      if (!Unsigned(*at, at_key, &address)) return false;
      if (!WhereFromAddress(address, &f->where, &reason)) return Fail(at->source(), at_key, reason);
    } else if (at->is_string()) {
      if (!ParseWhere(*at->value<std::string>(), &f->where, &reason))
        return Fail(at->source(), at_key, reason);
    } else {
      return Fail(at->source(), at_key, "should be an address or \"data:OFFSET\"");
    }
    if (const toml::node* format = table.get("format")) {
      std::string text;
      if (!Text(*format, f->name + ".format", &text)) return false;
      if (!ParseFormat(text, &f->format, &f->pattern, &reason))
        return Fail(format->source(), f->name + ".format", reason);
    }
    if (const toml::node* overwrite = table.get("overwrite")) {
      if (!Bool(*overwrite, f->name + ".overwrite", &f->overwrite)) return false;
    }
    if (const toml::node* source = table.get("source")) {
      std::string text;
      if (!Text(*source, f->name + ".source", &text)) return false;
      if (text != "scan")
        return Fail(source->source(), f->name + ".source",
                    "should be \"scan\" (the board's scanned unit); without it a field takes a "
                    "counter, a list or a pool");
      f->from_scan = true;
      for (const char* source_key : {"start", "step", "end", "list", "state", "pool"}) {
        if (const toml::node* n = table.get(source_key))
          return Fail(n->source(), f->name + "." + source_key,
                      "a field with source = \"scan\" takes the board's scanned unit");
      }
      if (!ScanFormat(f->format))
        return Fail(table.get("format") ? table.get("format")->source() : table.source(),
                    f->name + ".format",
                    "a field with source = \"scan\" takes format text, u32le, u32be or u64le");
    }
    if (const toml::node* pool = table.get("pool")) {
      if (!Text(*pool, f->name + ".pool", &f->pool)) return false;
      if (f->pool.empty()) return Fail(pool->source(), f->name + ".pool", "is empty");
      // The pool holds the counter or the list and its state.
      for (const char* source_key : {"start", "step", "end", "list", "state"}) {
        if (const toml::node* n = table.get(source_key))
          return Fail(n->source(), f->name + "." + source_key,
                      "a field with a pool takes its values from the line's database");
      }
      const toml::node* size = table.get("size");
      if (NaturalSize(f->format) == 0 && size == nullptr)
        return Fail(table.source(), f->name + ".size",
                    "a text field with a pool needs a size (its values are in the database)");
    }
    const toml::node* list = table.get("list");
    if (list != nullptr) {
      std::optional<std::string> path;
      if (!Path(*list, f->name + ".list", &path)) return false;
      f->list_path = *path;
      for (const char* counter_key : {"start", "step", "end"}) {
        if (const toml::node* n = table.get(counter_key))
          return Fail(n->source(), f->name + "." + counter_key, "a list field has no counter");
      }
    }
    if (const toml::node* n = table.get("start")) {
      if (!CounterValue(*n, f->name + ".start", f->format, &f->start)) return false;
    }
    if (const toml::node* n = table.get("step")) {
      if (!Unsigned(*n, f->name + ".step", &f->step)) return false;
      if (f->step == 0) return Fail(n->source(), f->name + ".step", "should be 1 or more");
    }
    if (const toml::node* n = table.get("end")) {
      uint64_t end = 0;
      if (!CounterValue(*n, f->name + ".end", f->format, &end)) return false;
      f->end = end;
    }
    if (f->pool.empty() && !f->from_scan) {
      const toml::node* state = table.get("state");
      if (state == nullptr) return Fail(table.source(), f->name + ".state", "missing");
      std::optional<std::string> state_path;
      if (!Path(*state, f->name + ".state", &state_path)) return false;
      f->state_path = *state_path;
    }
    bool size_given = false;
    if (const toml::node* n = table.get("size")) {
      uint64_t size = 0;
      if (!Unsigned(*n, f->name + ".size", &size)) return false;
      if (size > 0x80000) return Fail(n->source(), f->name + ".size", "is larger than a bank");
      f->size = static_cast<uint32_t>(size);
      size_given = true;
    }
    if (!SettleSize(f, size_given, &reason)) return Fail(table.source(), f->name + ".size", reason);
    return true;
  }

  bool Top(const toml::table& top, Profile* p) {
    static const char* const kKeys[] = {
        "ports",        "code",         "data",      "code_sha256",  "data_sha256", "reboot",
        "auto",         "count",        "records",   "log_dir",      "field",       "name",
        "listen",       "token",        "hostnames", "line",         "retries",     "scan",
        "scan_pattern", "slot_pattern", "scanner",   "scanner_baud", "label"};
    for (auto&& [key, node] : top) {
      const std::string k(key.str());
      if (std::find(std::begin(kKeys), std::end(kKeys), k) == std::end(kKeys) && k != "rework")
        return Fail(key.source(), k, "unknown key");
    }
    // The line first: a job takes the images, fields and reboot.
    if (const toml::node* line = top.get("line")) {
      const toml::table* table = line->as_table();
      if (table == nullptr) return Fail(line->source(), "line", "should be a [line] table");
      for (auto&& [key, node] : *table) {
        const std::string k(key.str());
        if (k != "database" && k != "station" && k != "spool" && k != "job")
          return Fail(key.source(), "line." + k, "unknown key");
      }
      LineSettings settings;
      const toml::node* database = table->get("database");
      if (database == nullptr) return Fail(table->source(), "line.database", "missing");
      if (!Text(*database, "line.database", &settings.database)) return false;
      if (settings.database.empty()) return Fail(database->source(), "line.database", "is empty");
      settings.station = production::HostName();
      if (const toml::node* station = table->get("station")) {
        settings.station_given = true;
        if (!Text(*station, "line.station", &settings.station)) return false;
        if (settings.station.empty() ||
            std::any_of(settings.station.begin(), settings.station.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
          return Fail(station->source(), "line.station", "should be a name");
      }
      if (settings.station.empty())
        return Fail(table->source(), "line.station", "missing, and the host has no name");
      if (const toml::node* spool = table->get("spool")) {
        std::optional<std::string> folder;
        if (!Path(*spool, "line.spool", &folder)) return false;
        settings.spool = *folder;
      }
      if (const toml::node* job = table->get("job")) {
        if (!Text(*job, "line.job", &settings.job)) return false;
        JobName parsed;
        std::string reason;
        if (!ParseJobName(settings.job, &parsed, &reason))
          return Fail(job->source(), "line.job", reason);
        if (!OnlyTheJobs(top, settings.job)) return false;
      }
      p->line = std::move(settings);
    }
    if (const toml::node* ports = top.get("ports")) {
      const toml::array* list = ports->as_array();
      if (list == nullptr) return Fail(ports->source(), "ports", "should be a list of port names");
      for (const toml::node& port : *list) {
        std::string name;
        if (!Text(port, "ports", &name)) return false;
        p->ports.push_back(name);
      }
    }
    if (const toml::node* names = top.get("hostnames")) {
      const toml::array* list = names->as_array();
      if (list == nullptr) return Fail(names->source(), "hostnames", "should be a list of names");
      for (const toml::node& n : *list) {
        std::string name;
        if (!Text(n, "hostnames", &name)) return false;
        if (!HostName(name))
          return Fail(n.source(), "hostnames",
                      "\"" + name +
                          "\" is no host name or address: give it "
                          "without http:// and port");
        p->hostnames.push_back(name);
      }
    }
    for (const char* key : {"name", "listen", "token"}) {
      if (const toml::node* n = top.get(key)) {
        std::string value;
        if (!Text(*n, key, &value)) return false;
        (std::string(key) == "name"     ? p->name
         : std::string(key) == "listen" ? p->listen
                                        : p->token) = value;
      }
    }
    if (const toml::node* n = top.get("code"); n && !Path(*n, "code", &p->code)) return false;
    if (const toml::node* n = top.get("data"); n && !Path(*n, "data", &p->data)) return false;
    if (!Pin(top, "code_sha256", "code", &p->code_sha256)) return false;
    if (!Pin(top, "data_sha256", "data", &p->data_sha256)) return false;
    if (const toml::node* n = top.get("records"); n && !Path(*n, "records", &p->records))
      return false;
    if (const toml::node* n = top.get("log_dir"); n && !Path(*n, "log_dir", &p->log_dir))
      return false;
    for (const char* key : {"reboot", "auto"}) {
      if (const toml::node* n = top.get(key)) {
        bool value = false;
        if (!Bool(*n, key, &value)) return false;
        (std::string(key) == "reboot" ? p->reboot : p->auto_mode) = value;
      }
    }
    if (const toml::node* n = top.get("rework")) {
      bool value = false;
      if (!Bool(*n, "rework", &value)) return false;
      p->rework = value;
    }
    if (const toml::node* n = top.get("count")) {
      uint64_t count = 0;
      if (!Unsigned(*n, "count", &count)) return false;
      if (count == 0 || count > UINT32_MAX)
        return Fail(n->source(), "count", "should be 1 or more");
      p->count = static_cast<unsigned>(count);
    }
    if (const toml::node* n = top.get("retries")) {
      uint64_t retries = 0;
      if (!Unsigned(*n, "retries", &retries)) return false;
      if (retries > kMaxRetries)
        return Fail(n->source(), "retries", "should be 0 to " + std::to_string(kMaxRetries));
      p->retries = static_cast<unsigned>(retries);
    }
    if (!Scans(top, p)) return false;
    if (const toml::node* label = top.get("label")) {
      if (!Label(*label, p)) return false;
    }
    if (const toml::node* fields = top.get("field")) {
      const toml::array* list = fields->as_array();
      if (list == nullptr) return Fail(fields->source(), "field", "should be [[field]] tables");
      for (size_t i = 0; i < list->size(); ++i) {
        const toml::table* table = (*list)[i].as_table();
        if (table == nullptr)
          return Fail((*list)[i].source(), "field", "should be [[field]] tables");
        FieldDef def;
        if (!Field(*table, i, &def)) return false;
        // One place gives every value: the line's pools, or state files.
        if (def.from_scan && p->scan.value_or("off") != "required")
          return Fail(table->get("source")->source(), def.name + ".source",
                      "a field with source = \"scan\" needs scan = \"required\" in the profile "
                      "(with \"" +
                          p->scan.value_or("off") + "\" a board could have no unit)");
        if (p->line && def.pool.empty() && !def.from_scan)
          return Fail(table->source(), def.name + ".pool",
                      "missing: a profile with [line] takes every value from a pool");
        if (!p->line && !def.pool.empty())
          return Fail(table->get("pool")->source(), def.name + ".pool",
                      "no [line] table names the database the pool is in");
        p->fields.push_back(std::move(def));
      }
    }
    return true;
  }

  bool Label(const toml::node& node, Profile* p) {
    const toml::table* table = node.as_table();
    if (table == nullptr) return Fail(node.source(), "label", "should be a [label] table");
    for (auto&& [key, value] : *table) {
      const std::string k(key.str());
      if (k != "template" && k != "printer" && k != "timeout_ms")
        return Fail(key.source(), "label." + k, "unknown key");
    }
    const toml::node* file = table->get("template");
    if (file != nullptr) {
      // The template is the product's: a released job carries it.
      if (p->line && !p->line->job.empty())
        return Fail(file->source(), "label.template",
                    "a profile with [line] job = \"" + p->line->job +
                        "\" prints the job's label template; remove 'label.template'");
      if (!Path(*file, "label.template", &p->label_template)) return false;
    }
    if (const toml::node* printer = table->get("printer")) {
      std::string text, reason;
      if (!Text(*printer, "label.printer", &text)) return false;
      PrinterTarget target;
      if (!ParsePrinter(text, &target, &reason))
        return Fail(printer->source(), "label.printer", reason);
      p->label_printer = text;
    }
    if (const toml::node* n = table->get("timeout_ms")) {
      uint64_t ms = 0;
      if (!Unsigned(*n, "label.timeout_ms", &ms)) return false;
      if (ms < 100 || ms > 600000)
        return Fail(n->source(), "label.timeout_ms", "should be 100 to 600000");
      p->label_timeout_ms = static_cast<unsigned>(ms);
    }
    return true;
  }

  // A regular expression that compiles: a bad one is refused here, not at
  // the first scan.
  bool Pattern(const toml::table& top, const char* key, std::optional<std::string>* out) {
    const toml::node* n = top.get(key);
    if (n == nullptr) return true;
    std::string text;
    if (!Text(*n, key, &text)) return false;
    if (text.empty()) return Fail(n->source(), key, "is empty");
    try {
      const std::regex compiled(text, std::regex::ECMAScript);
      if (std::string(key) == "slot_pattern" && compiled.mark_count() < 1)
        return Fail(n->source(), key, "needs a group, ( ), around the slot's number");
    } catch (const std::regex_error& e) {
      return Fail(n->source(), key, std::string("is no regular expression: ") + e.what());
    }
    *out = std::move(text);
    return true;
  }

  bool Scans(const toml::table& top, Profile* p) {
    if (const toml::node* n = top.get("scan")) {
      std::string mode;
      if (!Text(*n, "scan", &mode)) return false;
      if (mode != "off" && mode != "optional" && mode != "required")
        return Fail(n->source(), "scan", "should be \"off\", \"optional\" or \"required\"");
      p->scan = mode;
    }
    if (!Pattern(top, "scan_pattern", &p->scan_pattern) ||
        !Pattern(top, "slot_pattern", &p->slot_pattern))
      return false;
    if (const toml::node* n = top.get("scanner")) {
      std::string port;
      if (!Text(*n, "scanner", &port)) return false;
      if (port.empty()) return Fail(n->source(), "scanner", "is empty");
      p->scanner = port;
    }
    if (const toml::node* n = top.get("scanner_baud")) {
      uint64_t baud = 0;
      if (!Unsigned(*n, "scanner_baud", &baud)) return false;
      if (baud < 300 || baud > 4000000)
        return Fail(n->source(), "scanner_baud", "should be a baud rate from 300 to 4000000");
      p->scanner_baud = static_cast<unsigned>(baud);
    }
    return true;
  }

  // A pin: 64 hex digits, kept in lower case, beside the file it pins.
  bool Pin(const toml::table& top, const char* key, const char* file_key,
           std::optional<std::string>* out) {
    const toml::node* n = top.get(key);
    if (n == nullptr) return true;
    std::string text;
    if (!Text(*n, key, &text)) return false;
    if (text.size() != 64 || !std::all_of(text.begin(), text.end(), [](char c) {
          return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        }))
      return Fail(n->source(), key, "should be a SHA-256: 64 hexadecimal digits");
    if (top.get(file_key) == nullptr)
      return Fail(n->source(), key,
                  std::string("pins the ") + file_key + " file, but the profile gives no '" +
                      file_key + "'");
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    *out = std::move(text);
    return true;
  }

  // A profile that runs a job holds none of what the job gives: the key
  // that comes first in the file is refused.
  bool OnlyTheJobs(const toml::table& top, const std::string& job) {
    const toml::node* first = nullptr;
    std::string first_key;
    for (const char* key : {"code", "data", "code_sha256", "data_sha256", "reboot", "field",
                            "retries", "scan", "scan_pattern"}) {
      const toml::node* n = top.get(key);
      if (n != nullptr && (first == nullptr || n->source().begin < first->source().begin)) {
        first = n;
        first_key = key;
      }
    }
    if (first == nullptr) return true;
    return Fail(
        first->source(), first_key,
        "a profile with [line] job = \"" + job +
            "\" takes its images, fields and reboot from the job; remove " +
            (first_key == "field" ? std::string("the [[field]] tables") : "'" + first_key + "'"));
  }

 private:
  std::string name_;
  std::filesystem::path folder_;
  std::string* why_;
};

// The text of a profile named name, its relative paths taken in folder.
bool Load(const std::string& text, const std::string& name, const std::filesystem::path& folder,
          Profile* profile, std::string* why) {
  *profile = Profile{};
  profile->path = name;
  profile->sha256 = Sha256Hex(text.data(), text.size());
  toml::parse_result parsed = toml::parse(text, name);
  if (!parsed) {
    const toml::parse_error& failure = parsed.error();
    *why = name + " line " + std::to_string(failure.source().begin.line) + ": " +
           std::string(failure.description());
    return false;
  }
  Reader reader(name, folder, why);
  return reader.Top(parsed.table(), profile);
}

bool IsAsciiLetterOrDigit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

bool ParseJobName(const std::string& text, JobName* out, std::string* why) {
  const size_t at = text.find('@');
  const std::string name = text.substr(0, at);
  const auto refuse = [&](const std::string& reason) {
    *why = "\"" + text + "\" is no job name: " + reason;
    return false;
  };
  if (name.empty()) return refuse("its name is empty");
  if (name.size() > 64) return refuse("its name is longer than 64 characters");
  if (!std::all_of(name.begin(), name.end(), [](char c) {
        return IsAsciiLetterOrDigit(c) || c == '_' || c == '-' || c == '.';
      }))
    return refuse("its name holds a character other than a letter, a digit, '_', '-' and '.'");
  std::optional<int> version;
  if (at != std::string::npos) {
    const std::string digits = text.substr(at + 1);
    const bool number =
        !digits.empty() && digits.size() <= 10 && digits[0] != '0' &&
        std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!number || std::stoll(digits) > INT32_MAX)
      return refuse(
          "its version should be a number from 1 to 2147483647, without a sign or "
          "leading zeros");
    version = static_cast<int>(std::stoll(digits));
  }
  out->name = name;
  out->version = version;
  return true;
}

bool LoadProfile(const std::string& path, Profile* profile, std::string* why) {
  *profile = Profile{};
  // Read once: the hash is of exactly the bytes parsed.
  std::string bytes;
  std::FILE* file = OpenFile(path, "rb");
  bool read = file != nullptr;
  if (read) {
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
    read = std::ferror(file) == 0;
    std::fclose(file);
  }
  if (!read) {
    profile->path = path;
    *why = "cannot read '" + path + "'";
    return false;
  }
  std::filesystem::path folder = PathFromUtf8(path).parent_path();
  if (folder.empty()) folder = ".";
  return Load(bytes, path, folder, profile, why);
}

bool LoadProfileText(const std::string& text, const std::string& name, Profile* profile,
                     std::string* why) {
  return Load(text, name, std::filesystem::path(), profile, why);
}

std::vector<std::string> StationKeys(const Profile& p) {
  std::vector<std::string> keys;
  const auto add = [&](bool given, const char* key) {
    if (given) keys.push_back(key);
  };
  add(!p.ports.empty(), "ports");
  add(p.listen.has_value(), "listen");
  add(p.token.has_value(), "token");
  add(!p.hostnames.empty(), "hostnames");
  add(p.records.has_value(), "records");
  add(p.log_dir.has_value(), "log_dir");
  add(p.name.has_value(), "name");
  add(p.auto_mode.has_value(), "auto");
  add(p.count.has_value(), "count");
  add(p.label_printer.has_value(), "label.printer");
  add(p.label_timeout_ms.has_value(), "label.timeout_ms");
  add(p.rework.has_value(), "rework");
  add(p.scanner.has_value(), "scanner");
  add(p.scanner_baud.has_value(), "scanner_baud");
  add(p.slot_pattern.has_value(), "slot_pattern");
  if (p.line) {
    add(p.line->station_given, "line.station");
    add(!p.line->spool.empty(), "line.spool");
    add(!p.line->job.empty(), "line.job");
  }
  return keys;
}

bool CheckImagePin(const std::optional<image::ImageStore::LoadedFile>& file, const std::string& key,
                   const std::optional<std::string>& pin, std::string* why) {
  if (!pin) return true;
  if (!file || file->digest.empty()) {
    *why = "the profile pins " + key + " = " + *pin +
           ", but no file was loaded with its hash: no board is written";
    return false;
  }
  if (file->digest == *pin) return true;
  *why = "'" + file->path + "' has SHA-256 " + file->digest + ", but the profile pins " + key +
         " = " + *pin + ": no board is written";
  return false;
}

}  // namespace quelmar::production
