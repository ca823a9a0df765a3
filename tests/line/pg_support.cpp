#include "pg_support.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "process.h"

namespace quelmar::testing {

namespace {

PgServer server;
bool loaded = false;
std::string own_env_file;  // set when this process started the server

bool Load(const std::string& env_file) {
  std::ifstream in(env_file);
  std::map<std::string, std::string> values;
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  server = {values["QUELMAR_PG_DIR"], values["QUELMAR_PG_SOCKET"], values["QUELMAR_PG_PORT"],
            values["QUELMAR_PG_BIN"]};
  loaded = !server.port.empty();
  return loaded;
}

std::string EnvFile() {
  const char* file = std::getenv("QUELMAR_PG_ENV");
  return file != nullptr ? file : own_env_file;
}

std::string AsServer(const std::vector<std::string>& command) {
  std::string text = getuid() == 0 ? "runuser -u postgres --" : "";
  for (const std::string& word : command) text += " '" + word + "'";
  return text;
}

}  // namespace

const PgServer& Pg() {
  if (!loaded) {
    const std::string file = EnvFile();
    if (file.empty() || !Load(file)) ADD_FAILURE() << "no test PostgreSQL server (" << file << ")";
  }
  return server;
}

void PgEnvironment::SetUp() {
  if (std::getenv("QUELMAR_PG_ENV") != nullptr) return;
  own_env_file = "/tmp/quelmar-pg-" + std::to_string(getpid()) + ".env";
  const RunResult r =
      RunProgram(QUELMAR_PG_SERVER_SCRIPT, {"start", own_env_file}, {}, std::chrono::seconds(120));
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
}

void PgEnvironment::TearDown() {
  if (own_env_file.empty()) return;
  RunProgram(QUELMAR_PG_SERVER_SCRIPT, {"stop", own_env_file}, {}, std::chrono::seconds(60));
}

std::string Psql(const std::string& db, const std::string& sql) {
  const PgServer& pg = Pg();
  const RunResult r = RunProgram(pg.bin + "/psql",
                                 {"-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-h", pg.socket, "-p",
                                  pg.port, "-U", "quelmar", "-d", db, "-c", sql},
                                 {}, std::chrono::seconds(60));
  EXPECT_EQ(r.exit_code, 0) << sql << "\n" << r.err;
  std::string out = r.out;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string FreshDatabase() {
  static std::atomic<int> counter{0};
  const std::string name = "t" + std::to_string(getpid()) + "_" + std::to_string(++counter);
  Psql("postgres", "CREATE DATABASE " + name);
  return name;
}

std::string SocketConn(const std::string& db) {
  return "host=" + Pg().socket + " port=" + Pg().port + " user=quelmar dbname=" + db;
}

std::string TcpConn(const std::string& db, const std::string& user) {
  return "host=127.0.0.1 port=" + Pg().port + " user=" + user + " dbname=" + db;
}

namespace {

// The statements of docs/line.md's SQL block after `marker`, comments
// dropped, with each whole word of `names` replaced.
std::vector<std::string> DocsStatements(
    const std::string& marker, const std::vector<std::pair<std::string, std::string>>& names) {
  std::ifstream in(QUELMAR_DOCS_DIR "/line.md");
  std::stringstream all;
  all << in.rdbuf();
  std::string text = all.str();
  const size_t at = text.find("<!-- " + marker + " -->\n```sql\n");
  EXPECT_NE(at, std::string::npos) << marker;
  if (at == std::string::npos) return {};
  text = text.substr(text.find("```sql\n", at) + 7);
  text.resize(text.find("```"));
  std::string sql;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t comment = line.find("--");
    sql += line.substr(0, comment) + "\n";
  }
  auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  for (const auto& [from, to] : names) {
    std::string out;
    for (size_t i = 0; i < sql.size();) {
      const bool whole = sql.compare(i, from.size(), from) == 0 && (i == 0 || !word(sql[i - 1])) &&
                         (i + from.size() >= sql.size() || !word(sql[i + from.size()]));
      if (whole) {
        out += to;
        i += from.size();
      } else {
        out += sql[i++];
      }
    }
    sql = out;
  }
  std::vector<std::string> statements;
  for (size_t from = 0, end; (end = sql.find(';', from)) != std::string::npos; from = end + 1) {
    std::string statement = sql.substr(from, end - from);
    if (statement.find_first_not_of(" \n") != std::string::npos) statements.push_back(statement);
  }
  return statements;
}

}  // namespace

DocsLine LineFromTheDocs(const std::string& password) {
  static std::atomic<int> counter{0};
  const std::string tag = std::to_string(getpid()) + "_" + std::to_string(++counter);
  const DocsLine line{"line_" + tag, "engineer_" + tag, "station_" + tag, "supervisor_" + tag};
  // The group roles are the server's: made by the first case, there for the rest.
  for (const std::string& statement : DocsStatements("group-roles", {})) {
    const PgServer& pg = Pg();
    RunProgram(pg.bin + "/psql",
               {"-X", "-q", "-At", "-h", pg.socket, "-p", pg.port, "-U", "quelmar", "-d",
                "postgres", "-c", statement},
               {}, std::chrono::seconds(60));
  }
  const auto statements = DocsStatements("line-roles", {{"engineer", line.engineer},
                                                        {"station_a", line.station},
                                                        {"supervisor", line.supervisor},
                                                        {"line3", line.db}});
  EXPECT_GE(statements.size(), 5u);
  for (const std::string& statement : statements) Psql("postgres", statement);
  for (const std::string& role : {line.engineer, line.station, line.supervisor})
    Psql("postgres", "ALTER ROLE " + role + " PASSWORD '" + password + "'");
  return line;
}

void StopServer() {
  const PgServer& pg = Pg();
  const std::string command = AsServer(
      {pg.bin + "/pg_ctl", "-D", pg.dir + "/data", "-m", "fast", "-w", "-t", "60", "stop"});
  ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
}

void StartServer() {
  const PgServer& pg = Pg();
  const std::string command =
      AsServer({pg.bin + "/pg_ctl", "-D", pg.dir + "/data", "-l", pg.socket + "/server.log", "-w",
                "-t", "60", "-o",
                "-p " + pg.port + " -k " + pg.socket +
                    " -c listen_addresses=127.0.0.1 -c fsync=off -c full_page_writes=off"
                    " -c max_connections=60 -c shared_buffers=32MB",
                "start"});
  ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
}

}  // namespace quelmar::testing
