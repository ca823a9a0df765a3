// The private PostgreSQL server of a test program, and what the tests do
// with it from outside: psql as the server's superuser, a fresh database
// per case, connection strings over the socket and over TCP.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace quelmar::testing {

// Whether `done` came true within `limit`, looked at every 20 ms.
template <class F>
bool WaitUntil(F done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

struct PgServer {
  std::string dir;     // the server's folder (data, sock)
  std::string socket;  // the socket folder
  std::string port;
  std::string bin;  // PostgreSQL's programs (psql, pg_ctl, pg_dump)
};

// The server the ctest fixture started (QUELMAR_PG_ENV names the file it
// wrote), or the one PgEnvironment started for a test program run by hand.
const PgServer& Pg();

// Starts a server when no fixture did, and stops it at the end.
class PgEnvironment : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;
};

// Runs psql as the superuser over the socket on database db; its output
// (unaligned, tuples only). A failure fails the test.
std::string Psql(const std::string& db, const std::string& sql);
// A new empty database for one test case: its name.
std::string FreshDatabase();
// libpq connection strings: the superuser over the socket, and user over
// TCP on 127.0.0.1 (password authentication).
std::string SocketConn(const std::string& db);
std::string TcpConn(const std::string& db, const std::string& user);

// A line set up as docs/line.md's "Roles" says, run as the superuser: the
// group roles, then its line-roles block with the roles and the database
// named for this case. Each login role's password is `password`.
struct DocsLine {
  std::string db, engineer, station, supervisor;
};
DocsLine LineFromTheDocs(const std::string& password);

// Stops the server (fast) and starts it again on the same port; for tests
// whose program has a server of its own, run one at a time.
void StopServer();
void StartServer();

}  // namespace quelmar::testing
