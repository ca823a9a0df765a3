#include "line/conninfo.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "line/pq.h"

namespace quelmar::line {

namespace {

std::string PasswordRefusal() {
#ifdef _WIN32
  return "the connection string holds a password: passwords go in "
         "%APPDATA%\\postgresql\\pgpass.conf (or the file PGPASSFILE names) or PGPASSWORD, "
         "never in a connection string";
#else
  return "the connection string holds a password: passwords go in ~/.pgpass (or the file "
         "PGPASSFILE names) or PGPASSWORD, never in a connection string";
#endif
}

// What could be a password in a text libpq cannot read, found without
// libpq: the part after "user:" in a URI's "user:password@", and the word
// after "password=". Masked wherever it shows.
std::vector<std::string> PasswordLike(const std::string& conninfo) {
  std::vector<std::string> found;
  const size_t scheme = conninfo.find("://");
  if (scheme != std::string::npos) {
    const size_t begin = scheme + 3;
    size_t end = conninfo.find_first_of("/?", begin);
    if (end == std::string::npos) end = conninfo.size();
    const size_t at = conninfo.rfind('@', end);
    if (at != std::string::npos && at >= begin) {
      const size_t colon = conninfo.find(':', begin);
      if (colon != std::string::npos && colon < at)
        found.push_back(conninfo.substr(colon + 1, at - colon - 1));
    }
  }
  for (size_t at = conninfo.find("password"); at != std::string::npos;
       at = conninfo.find("password", at + 1)) {
    size_t i = at + 8;
    while (i < conninfo.size() && conninfo[i] == ' ') ++i;
    if (i >= conninfo.size() || conninfo[i] != '=') continue;
    ++i;
    while (i < conninfo.size() && conninfo[i] == ' ') ++i;
    const char quote = i < conninfo.size() && conninfo[i] == '\'' ? '\'' : ' ';
    if (quote == '\'') ++i;
    size_t end = conninfo.find(quote, i);
    if (end == std::string::npos) end = conninfo.size();
    found.push_back(conninfo.substr(i, end - i));
  }
  std::erase_if(found, [](const std::string& s) { return s.empty(); });
  return found;
}

void ReplaceAll(std::string* text, const std::string& what, const std::string& with) {
  if (what.empty()) return;
  for (size_t at = text->find(what); at != std::string::npos;
       at = text->find(what, at + with.size()))
    text->replace(at, what.size(), with);
}

// The values libpq reads in a connection string; an empty one is as good as
// none.
using Values = std::map<std::string, std::string>;

Values Take(const PqApi* pq, PQconninfoOption* options) {
  Values values;
  for (PQconninfoOption* o = options; o != nullptr && o->keyword != nullptr; ++o) {
    if (o->val != nullptr && *o->val != '\0') values[o->keyword] = o->val;
  }
  pq->PQconninfoFree(options);
  return values;
}

// False with libpq's message in *error when libpq cannot read the text.
bool Parse(const PqApi* pq, const std::string& text, Values* values, std::string* error) {
  char* message = nullptr;
  PQconninfoOption* options = pq->PQconninfoParse(text.c_str(), &message);
  if (options == nullptr) {
    if (error != nullptr) *error = message != nullptr ? message : "out of memory";
    if (message != nullptr) pq->PQfreemem(message);
    return false;
  }
  *values = Take(pq, options);
  return true;
}

// libpq's test for a dbname that is a connection string of its own.
bool IsConnectionString(const std::string& text) {
  return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0 ||
         text.find('=') != std::string::npos;
}

// Deeper than anyone nests by mistake: a hostile text could nest as deep as
// it is long, each level a parse.
constexpr int kNestingLimit = 4;

// A connection string read with those nested in its dbname, one inside the
// other. libpq expands only the dbname it is handed (here the whole text),
// so a nested one would reach the server as a database's name, and the
// server's messages and logs with it.
struct Reading {
  bool readable = false;
  std::string error;  // libpq's, when the outer text is not readable
  bool password = false;
  bool nested = false;               // dbname holds a connection string
  std::vector<std::string> secrets;  // every password found, as libpq reads it
};

Reading Read(const PqApi* pq, const std::string& conninfo) {
  Reading r;
  Values level;
  r.readable = Parse(pq, conninfo, &level, &r.error);
  if (!r.readable) {
    r.secrets = PasswordLike(conninfo);
    r.password = !r.secrets.empty();
    return r;
  }
  for (int depth = 0;; ++depth) {
    if (auto at = level.find("password"); at != level.end()) {
      r.password = true;
      r.secrets.push_back(at->second);
    }
    const auto dbname = level.find("dbname");
    if (dbname == level.end() || !IsConnectionString(dbname->second)) break;
    r.nested = true;
    if (depth == kNestingLimit) break;
    const std::string text = dbname->second;
    if (!Parse(pq, text, &level, nullptr)) {
      // A name to libpq, but one that may still hold a password.
      for (std::string& s : PasswordLike(text)) r.secrets.push_back(std::move(s));
      r.password = r.password || !r.secrets.empty();
      break;
    }
  }
  return r;
}

}  // namespace

bool CheckConnInfo(const std::string& conninfo, std::string* why) {
  const PqApi* pq = Pq(why);
  if (pq == nullptr) return false;
  const Reading r = Read(pq, conninfo);
  if (r.password) {
    *why = PasswordRefusal();
    return false;
  }
  if (!r.readable) {
    *why = "libpq cannot read the connection string: " + OneLine(r.error, conninfo);
    return false;
  }
  if (r.nested) {
    *why =
        "the connection string's dbname holds another connection string, which libpq would send "
        "to the server as the database's name: write its keywords in the connection string itself";
    return false;
  }
  return true;
}

std::string ServerText(const std::string& conninfo) {
  const PqApi* pq = Pq(nullptr);
  if (pq == nullptr) return "(libpq is missing)";
  Values given;
  if (!Parse(pq, conninfo, &given, nullptr)) return "(a connection string libpq cannot read)";
  const Values defaults = Take(pq, pq->PQconndefaults());
  auto value = [](const Values& values, const char* key) {
    const auto at = values.find(key);
    return at != values.end() ? at->second : std::string();
  };
  auto either = [&](const char* key) {
    const std::string v = value(given, key);
    return v.empty() ? value(defaults, key) : v;
  };
  // An address given in the text is where libpq connects, whatever PGHOST
  // says.
  std::string host = value(given, "host");
  if (host.empty()) host = value(given, "hostaddr");
  if (host.empty()) host = value(defaults, "host");
  if (host.empty()) host = value(defaults, "hostaddr");
  if (host.empty()) host = "(local)";
  if (host.find(':') != std::string::npos && host.find(',') == std::string::npos &&
      host.front() != '/')
    host = "[" + host + "]";
  const std::string user = either("user");
  std::string dbname = either("dbname");
  if (dbname.empty()) dbname = user;
  // Never shown: it may hold anything, a password too (CheckConnInfo
  // refuses it; PGDATABASE may hold one all the same).
  if (IsConnectionString(dbname)) dbname = "(a connection string)";
  const std::string port = either("port");
  return (user.empty() ? "" : user + "@") + host + (port.empty() ? "" : ":" + port) + "/" + dbname;
}

std::string OneLine(const std::string& message, const std::string& conninfo) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < message.size()) {
    size_t end = message.find('\n', start);
    if (end == std::string::npos) end = message.size();
    std::string line = message.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    // Hints ("\tIs the server running...") and details follow a tab.
    if (line.empty() || line[0] == '\t' || line.rfind("DETAIL:", 0) == 0 ||
        line.rfind("HINT:", 0) == 0)
      continue;
    lines.push_back(line);
  }
  std::string chosen;
  for (const std::string& line : lines) {
    if (line.find("FATAL:") != std::string::npos) chosen = line;
  }
  if (chosen.empty() && !lines.empty()) chosen = lines.back();
  if (chosen.rfind("connection to server", 0) == 0) {
    const size_t failed = chosen.find(" failed: ");
    if (failed != std::string::npos) chosen.erase(0, failed + 9);
  }
  for (const char* severity : {"FATAL:  ", "ERROR:  ", "FATAL: ", "ERROR: "}) {
    if (chosen.rfind(severity, 0) == 0) chosen.erase(0, std::strlen(severity));
  }
  if (chosen.empty()) chosen = "no answer";
  if (!conninfo.empty()) ReplaceAll(&chosen, conninfo, "the connection string");
  std::vector<std::string> secrets = PasswordLike(conninfo);
  if (const PqApi* pq = Pq(nullptr)) {
    for (std::string& s : Read(pq, conninfo).secrets) secrets.push_back(std::move(s));
  }
  // The longest first, so that no part of one is left beside "***".
  std::sort(secrets.begin(), secrets.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const std::string& secret : secrets) ReplaceAll(&chosen, secret, "***");
  return chosen;
}

}  // namespace quelmar::line
