// A libpq connection string or URI as the line takes it: never with a
// password inside (passwords go in the password file or PGPASSWORD, as for
// psql), and shown only as "user@host:port/dbname".
#pragma once

#include <string>

namespace quelmar::line {

// Whether libpq can read the text, it holds no password (nor does a
// connection string nested in its dbname) and its dbname is a database's
// name. False with one line in *why (never repeating the text itself).
bool CheckConnInfo(const std::string& conninfo, std::string* why);

// "station@db-host:5432/line3": who, where and which database, with what
// libpq would take from the environment for what the text leaves out. Never
// the password, nor anything else of the text.
std::string ServerText(const std::string& conninfo);

// libpq's message made one line: the reason of the last attempt, without
// "connection to server at ... failed:", the severity and the hints.
// Anything of conninfo that could be a password is masked.
std::string OneLine(const std::string& message, const std::string& conninfo);

}  // namespace quelmar::line
