// libpq as a table of its functions: linked directly on Linux, loaded from
// libpq.dll beside the program on Windows the first time the line is used,
// so that every other command runs on a machine without it. The only header
// that includes <libpq-fe.h>; src/line's own files alone include it.
#pragma once

#include <libpq-fe.h>

#include <string>

namespace quelmar::line {

#define QUELMAR_PQ_FUNCTIONS(X) \
  X(PQconnectdbParams)          \
  X(PQfinish)                   \
  X(PQstatus)                   \
  X(PQerrorMessage)             \
  X(PQconninfoParse)            \
  X(PQconninfoFree)             \
  X(PQconndefaults)             \
  X(PQfreemem)                  \
  X(PQexec)                     \
  X(PQexecParams)               \
  X(PQsendQuery)                \
  X(PQsendQueryParams)          \
  X(PQgetResult)                \
  X(PQisBusy)                   \
  X(PQsocket)                   \
  X(PQresultStatus)             \
  X(PQresultErrorField)         \
  X(PQresultErrorMessage)       \
  X(PQclear)                    \
  X(PQntuples)                  \
  X(PQnfields)                  \
  X(PQgetvalue)                 \
  X(PQgetisnull)                \
  X(PQcmdTuples)                \
  X(PQuser)                     \
  X(PQhost)                     \
  X(PQport)                     \
  X(PQdb)                       \
  X(PQsetNoticeProcessor)       \
  X(PQtransactionStatus)        \
  X(PQlibVersion)               \
  X(PQconsumeInput)             \
  X(PQnotifies)

struct PqApi {
#define QUELMAR_PQ_MEMBER(name) decltype(&::name) name = nullptr;
  QUELMAR_PQ_FUNCTIONS(QUELMAR_PQ_MEMBER)
#undef QUELMAR_PQ_MEMBER
};

// The table, ready on the first call; nullptr with one line in *why when
// libpq cannot be had (Windows: libpq.dll or a DLL it needs is missing).
const PqApi* Pq(std::string* why);

}  // namespace quelmar::line
