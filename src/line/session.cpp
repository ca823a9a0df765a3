#include "line/session.h"

#include <cstdlib>

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
  PGresult* result = params.empty()
                         ? pq_->PQexec(conn_, sql.c_str())
                         : pq_->PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()),
                                             nullptr, values.data(), nullptr, nullptr, 0);
  const ExecStatusType status = result != nullptr ? pq_->PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    const char* state =
        result != nullptr ? pq_->PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    if (state != nullptr) sqlstate_ = state;
    const char* primary =
        result != nullptr ? pq_->PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    lost_ = pq_->PQstatus(conn_) != CONNECTION_OK;
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
