#include "line/session.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

#ifndef _WIN32
#include <poll.h>
#endif

#include "line/conninfo.h"

namespace quelmar::line {

namespace {

// Notices ("relation already exists, skipping") are not the user's
// business.
void DropNotice(void*, const char*) {}

}  // namespace

Session::~Session() {
  Close();
}

void Session::Close() {
  if (conn_ != nullptr) pq_->PQfinish(conn_);
  conn_ = nullptr;
}

bool Session::Up() const {
  return conn_ != nullptr && pq_->PQstatus(conn_) == CONNECTION_OK;
}

bool Session::Connect(const std::string& conninfo, std::string* why) {
  pq_ = Pq(why);
  if (pq_ == nullptr) return false;
  Close();
  conninfo_ = conninfo;
  lost_ = false;
  // Our defaults first: the connection string (expanded from dbname)
  // overrides them. A server that goes silent is noticed within seconds
  // rather than after the system's TCP time-outs.
  const char* keywords[] = {"connect_timeout",
                            "application_name",
                            "keepalives",
                            "keepalives_idle",
                            "keepalives_interval",
                            "keepalives_count",
                            "tcp_user_timeout",
                            "dbname",
                            nullptr};
  const char* values[] = {"10", "quelmar", "1", "10", "5", "3", "15000", conninfo.c_str(), nullptr};
  conn_ = pq_->PQconnectdbParams(keywords, values, 1);
  if (conn_ == nullptr) {
    *why = "out of memory";
    return false;
  }
  if (pq_->PQstatus(conn_) != CONNECTION_OK) {
    *why = OneLine(pq_->PQerrorMessage(conn_), conninfo);
    Close();
    return false;
  }
  pq_->PQsetNoticeProcessor(conn_, DropNotice, nullptr);
  return true;
}

bool Session::Run(const std::string& sql, const std::vector<Param>& params, Rows* rows,
                  std::string* why) {
  lost_ = false;
  sqlstate_.clear();
  if (!Up()) {
    lost_ = true;
    *why = "no connection";
    return false;
  }
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const Param& p : params) values.push_back(p ? p->c_str() : nullptr);
  const int sent = params.empty()
                       ? pq_->PQsendQuery(conn_, sql.c_str())
                       : pq_->PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()),
                                                nullptr, values.data(), nullptr, nullptr, 0);
  // The answer of the last statement, or of the first that failed.
  PGresult* result = nullptr;
  const auto deadline = std::chrono::steady_clock::now() + answer_limit_;
  bool late = false, broke = sent != 1;
  while (!broke) {
    if (!AwaitAnswer(deadline, &late)) {
      broke = true;
      break;
    }
    PGresult* next = pq_->PQgetResult(conn_);
    if (next == nullptr) break;
    if (result == nullptr || pq_->PQresultStatus(result) != PGRES_FATAL_ERROR) {
      if (result != nullptr) pq_->PQclear(result);
      result = next;
    } else {
      pq_->PQclear(next);
    }
  }
  if (late) {
    // Closed: the server ends an open transaction once it finds it so.
    if (result != nullptr) pq_->PQclear(result);
    Close();
    lost_ = true;
    *why = "silent for " + std::to_string(answer_limit_.count() / 1000) + " s";
    return false;
  }
  const ExecStatusType status = result != nullptr ? pq_->PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (broke || (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)) {
    const char* state =
        result != nullptr ? pq_->PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    if (state != nullptr) sqlstate_ = state;
    const char* primary =
        result != nullptr ? pq_->PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    lost_ = broke || pq_->PQstatus(conn_) != CONNECTION_OK;
    // A server error's own words; a broken connection's from libpq.
    *why = primary != nullptr && !lost_ ? std::string(primary)
                                        : OneLine(pq_->PQerrorMessage(conn_), conninfo_);
    if (result != nullptr) pq_->PQclear(result);
    return false;
  }
  if (rows != nullptr) {
    rows->cells_.clear();
    const int n = pq_->PQntuples(result);
    const int columns = pq_->PQnfields(result);
    rows->changed = std::strtoul(pq_->PQcmdTuples(result), nullptr, 10);
    for (int r = 0; r < n; ++r) {
      std::vector<std::optional<std::string>> row;
      for (int c = 0; c < columns; ++c) {
        if (pq_->PQgetisnull(result, r, c)) {
          row.emplace_back();
        } else {
          row.emplace_back(pq_->PQgetvalue(result, r, c));
        }
      }
      rows->cells_.push_back(std::move(row));
    }
  }
  pq_->PQclear(result);
  return true;
}

bool Session::AwaitAnswer(std::chrono::steady_clock::time_point deadline, bool* late) {
  // libpq has no wait with a limit (before version 17). On Windows, where
  // waiting on its socket would take Winsock, the socket is asked now and
  // then, the pause growing from a loopback's round trip to a millisecond.
  [[maybe_unused]] auto pause = std::chrono::microseconds(20);
  for (;;) {
    if (pq_->PQconsumeInput(conn_) == 0) return false;
    if (pq_->PQisBusy(conn_) == 0) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      *late = true;
      return false;
    }
#ifdef _WIN32
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(1000));
#else
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    pollfd wait{pq_->PQsocket(conn_), POLLIN, 0};
    poll(&wait, 1, static_cast<int>(std::min<decltype(left)>(left, 1000)));
#endif
  }
}

bool Session::TakeNotifications(std::vector<Notification>* out) {
  if (!Up()) return false;
  if (pq_->PQconsumeInput(conn_) == 0 || pq_->PQstatus(conn_) != CONNECTION_OK) {
    lost_ = true;
    return false;
  }
  while (PGnotify* n = pq_->PQnotifies(conn_)) {
    out->push_back({n->relname != nullptr ? n->relname : "", n->extra != nullptr ? n->extra : ""});
    pq_->PQfreemem(n);
  }
  return true;
}

}  // namespace quelmar::line
