#include "line/conninfo.h"

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

std::map<std::string, std::string> Options(const PqApi* pq, PQconninfoOption* options) {
  std::map<std::string, std::string> values;
  for (PQconninfoOption* o = options; o != nullptr && o->keyword != nullptr; ++o) {
    if (o->val != nullptr && *o->val != '\0') values[o->keyword] = o->val;
  }
  pq->PQconninfoFree(options);
  return values;
}

}  // namespace

bool CheckConnInfo(const std::string& conninfo, std::string* why) {
  const PqApi* pq = Pq(why);
  if (pq == nullptr) return false;
  char* error = nullptr;
  PQconninfoOption* options = pq->PQconninfoParse(conninfo.c_str(), &error);
  if (options == nullptr) {
    if (!PasswordLike(conninfo).empty()) {
      *why = PasswordRefusal();
    } else {
      *why = "libpq cannot read the connection string: " +
             OneLine(error != nullptr ? error : "out of memory", conninfo);
    }
    if (error != nullptr) pq->PQfreemem(error);
    return false;
  }
  if (Options(pq, options).count("password") != 0) {
    *why = PasswordRefusal();
    return false;
  }
  return true;
}

std::string ServerText(const std::string& conninfo) {
  const PqApi* pq = Pq(nullptr);
  if (pq == nullptr) return "(libpq is missing)";
  char* error = nullptr;
  PQconninfoOption* parsed = pq->PQconninfoParse(conninfo.c_str(), &error);
  if (parsed == nullptr) {
    if (error != nullptr) pq->PQfreemem(error);
    return "(a connection string libpq cannot read)";
  }
  const std::map<std::string, std::string> given = Options(pq, parsed);
  const std::map<std::string, std::string> defaults = Options(pq, pq->PQconndefaults());
  auto value = [&](const char* key) {
    if (auto at = given.find(key); at != given.end()) return at->second;
    if (auto at = defaults.find(key); at != defaults.end()) return at->second;
    return std::string();
  };
  std::string host = value("host");
  if (host.empty()) host = value("hostaddr");
  if (host.empty()) host = "(local)";
  if (host.find(':') != std::string::npos && host.find(',') == std::string::npos &&
      host.front() != '/')
    host = "[" + host + "]";
  const std::string user = value("user");
  std::string dbname = value("dbname");
  if (dbname.empty()) dbname = user;
  const std::string port = value("port");
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
  for (const std::string& secret : PasswordLike(conninfo)) ReplaceAll(&chosen, secret, "***");
  return chosen;
}

}  // namespace quelmar::line
