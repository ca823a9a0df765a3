// One connection to the line's database and the statements run on it.
// Private to src/line.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "line/pq.h"

namespace quelmar::line {

// A statement's answer: rows of text (NULL as nullopt).
class Rows {
 public:
  Rows() = default;
  size_t size() const { return cells_.size(); }
  bool empty() const { return cells_.empty(); }
  const std::optional<std::string>& At(size_t row, size_t column) const {
    return cells_[row][column];
  }
  // The cell's text, "" for NULL.
  std::string Text(size_t row, size_t column) const { return At(row, column).value_or(""); }
  // The count of rows a command changed (UPDATE, INSERT, DELETE).
  unsigned long changed = 0;

 private:
  friend class Session;
  std::vector<std::vector<std::optional<std::string>>> cells_;
};

using Param = std::optional<std::string>;

class Session {
 public:
  // How long a statement's answer is waited for. Longer than the server's
  // own statement_timeout, so that its line comes first; a server that has
  // stopped (a paused VM, a disk that hangs) still acknowledges on TCP and
  // would otherwise hold a board for ever.
  static constexpr std::chrono::milliseconds kAnswerLimit{70000};

  explicit Session(std::chrono::milliseconds answer_limit = kAnswerLimit)
      : answer_limit_(answer_limit) {}
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Connects (closing an earlier connection). False with libpq's reason,
  // made one line, in *why.
  bool Connect(const std::string& conninfo, std::string* why);
  void Close();
  // Whether the connection is there and not broken.
  bool Up() const;

  // Runs one statement with text parameters ($1, $2, ...), waiting at most
  // the answer limit for its answer (after which the connection is closed
  // and counts as lost). False with one line in *why; then Lost() tells whether the connection
  // broke (the database is away) and Sqlstate() gives the server's error code.
  bool Run(const std::string& sql, const std::vector<Param>& params, Rows* rows, std::string* why);
  bool Run(const std::string& sql, std::string* why) { return Run(sql, {}, nullptr, why); }
  bool Lost() const { return lost_; }
  const std::string& Sqlstate() const { return sqlstate_; }

  // A NOTIFY received on a channel this connection LISTENs on.
  struct Notification {
    std::string channel;
    std::string payload;
  };
  // Reads what the server sent meanwhile, without waiting, and moves the
  // notifications that came into *out. False when the connection broke.
  bool TakeNotifications(std::vector<Notification>* out);

 private:
  // Waits until an answer can be read without blocking. False when the
  // connection broke or the deadline passed (*late then true).
  bool AwaitAnswer(std::chrono::steady_clock::time_point deadline, bool* late);

  std::chrono::milliseconds answer_limit_;
  const PqApi* pq_ = nullptr;
  PGconn* conn_ = nullptr;
  std::string conninfo_;
  bool lost_ = false;
  std::string sqlstate_;
};

}  // namespace quelmar::line
