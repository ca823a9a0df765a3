// The line's database (PostgreSQL): one authority for the values of every
// station's boards and one place for their records. The schema and its
// upgrades, pools, a board's reservation and filing, orphans, the records
// of every station. No libpq type shows here.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "production/fields.h"

namespace quelmar::line {

// The schema this program writes and reads. Version 1: pools, pool_values,
// pool_queue, boards. Version 2: stations. Version 3: the group roles'
// functions, station_roles, reservations, pool_skips, refused_filings,
// boards.filed_at. Version 4: released jobs (jobs, job_images, the
// boards' and reservations' job columns, stations.job). An upgrade adds a
// step in schema.cpp and raises it.
inline constexpr int kSchemaVersion = 5;

// The group roles a line's login roles are members of.
inline constexpr char kStationGroup[] = "quelmar_station";
inline constexpr char kSupervisorGroup[] = "quelmar_supervisor";
inline constexpr char kEngineerGroup[] = "quelmar_engineer";

struct CounterPool {
  std::string name;
  std::string format;  // as a profile writes it: "u32le", "mac", "text:QM-%08u"
  uint64_t start = 0;
  uint64_t step = 1;
  std::optional<uint64_t> end;
};

// A list value as read from its file: its canonical text and its line.
struct ListEntry {
  size_t line = 0;
  std::string value;
};

struct PoolSummary {
  std::string name;
  std::string kind;  // "counter" or "list"
  std::string format;
  // Counts as decimal text: a counter's free values can outnumber uint64.
  std::string free, reserved, written, voided;
  std::string next, last;  // a counter's next and last value as shown; "" for a list
};

struct Orphan {
  std::string pool, value, station, port, board_id;
  std::string reserved_at;  // "2026-12-08 07:59:51 UTC"
  unsigned minutes = 0;     // since then
};

// A field whose values come from a pool.
struct PoolField {
  production::FieldDef def;
  std::string pool;
};

// Who a reservation is for.
struct BoardTag {
  BoardTag() = default;
  BoardTag(std::string board_id, std::string station_name, std::string port_name)
      : id(std::move(board_id)), station(std::move(station_name)), port(std::move(port_name)) {}
  std::string id;  // the board's UUID
  std::string station;
  std::string port;
  // The released job the board is made of ("" for none) and whether the
  // board takes a count of its quantity: every board does before its first
  // erase; only one that ended before its values (it did not answer)
  // takes none, and cannot be filed OK.
  std::string job;
  int job_version = 0;
  bool count = true;
  // The unit scanned from the board's label ("" for none) and whether the
  // station reworks: the database checks the unit's earlier boards.
  std::string unit = {};
  bool rework = false;
};

// A released job's image: the bytes of the file as it was released.
struct JobImage {
  std::string kind;    // "code" or "data"
  std::string file;    // the file's name, without its folders
  std::string format;  // "fcode", "fdata", "elf", "hex", "srec"
  std::string bytes;
  std::string sha256;  // of bytes, 64 lowercase hex digits
};

// What an engineer releases as the next version of a job.
struct JobRelease {
  std::string name;
  std::optional<uint64_t> quantity;  // none: no limit
  std::string note;
  std::string profile;  // the profile's text, as released
  std::vector<JobImage> images;
};

// A version of a job as the line keeps it.
struct JobSummary {
  std::string name;
  int version = 0;
  std::string state;  // "released" or "retired"
  std::optional<uint64_t> quantity;
  uint64_t made = 0;         // OK boards
  uint64_t in_progress = 0;  // boards counted and not filed yet
  std::string sha256;        // the bundle hash
  std::string released_by, released_at, note;
  std::string retired_by, retired_at;  // "" while released
};

// A version of a job with everything a station needs to run it.
struct Job {
  JobSummary summary;
  std::string profile;
  std::string manifest;  // as the database computes it
  std::vector<JobImage> images;
};

// The text a job's bundle hash is the SHA-256 of: the profile's SHA-256,
// then one line per image in kind order ("code <sha256> <size> <format>
// <file>"). `job export` writes it as the file `manifest`.
std::string JobManifest(const std::string& profile, const std::vector<JobImage>& images);
// Whether the job fetched is what was released: each image's bytes have
// the SHA-256 stored with them, and the manifest made of them here has the
// job's bundle hash. False with one line naming both hashes.
bool CheckJob(const Job& job, std::string* why);

// A finished board as filed.
struct FiledBoard {
  std::string id;
  std::string station;
  std::string port;
  unsigned board = 0;
  std::string result;                // "ok", "failed", "stopped"
  std::string time_start, time_end;  // ISO 8601 UTC
  std::string record;                // the record's JSON, one line, as sealed
  std::string seal;                  // HMAC-SHA256 of record under the board's key, hex
  std::string line;                  // the database it was reserved in (LineDb::Identity)
  std::string server;                // that database as shown: "station@db-host:5432/line3"
};

// A station registered on the line.
struct RegisteredStation {
  std::string name, role, added_by, added_at;
  std::string run;        // as it last reported, "" when it never did
  std::string last_seen;  // "2026-12-08 07:59:51 UTC", or ""
};

struct RecordsQuery {
  std::optional<std::string> value;      // --serial V: any field holding V
  bool failed = false;                   // only boards whose result is not ok
  std::optional<std::string> job = {};   // --job NAME[@V]: boards of the job
  std::optional<int> job_version = {};   //   (of that version)
  std::optional<std::string> unit = {};  // --unit ID: the boards scanned as that unit
};

class LineDb {
 public:
  // kMade: the board's job has made its quantity (OK boards and boards in
  // progress); kRetired: its version is retired. No new board starts.
  enum class Reserved { kOk, kUsedUp, kFailed, kAway, kMade, kRetired };
  enum class Got { kOk, kRefused, kAway };
  enum class Filed { kOk, kRefused, kAway };
  // A refusal the database logged (an unsealed or changed record, values
  // not the board's): the record is kept, never sent again as it is.
  static constexpr char kRefusedPrefix[] = "refused: ";

  LineDb();
  // A statement's answer waited for at most answer_limit (a test's short
  // one); then the connection counts as lost.
  explicit LineDb(std::chrono::milliseconds answer_limit);
  ~LineDb();
  LineDb(const LineDb&) = delete;
  LineDb& operator=(const LineDb&) = delete;

  // Checks the connection string (no password in it) and connects. False
  // with one line in *why naming the server ("station@db-host:5432/line3"),
  // never the password. Later operations reconnect by themselves when the
  // connection broke meanwhile.
  bool Connect(const std::string& conninfo, std::string* why);
  // The server as shown to people: "station@db-host:5432/line3".
  const std::string& Server() const;

  // Creates the schema or brings an older one up to date, in one
  // transaction; an up-to-date one is left untouched; a newer one is
  // refused. *from: the version found (0: none). The group roles are made
  // first when missing; a connecting role that may not make roles gets
  // the SQL that does in *why. *advice: grants of an older line that the
  // group roles make needless, as REVOKE statements (one a line).
  bool Init(int* from, std::string* advice, std::string* why);
  // The SQL that makes the group roles, for a superuser to run.
  static std::string RolesSql();
  // Whether the schema is the one this program knows; checked once per
  // connection before any other operation.
  bool CheckSchema(std::string* why);
  // Whether the database answers now (connecting again when the connection
  // broke). False with the line why not.
  bool Ping(std::string* why);

  // A new counter pool. Refused when the name is taken, the format is
  // unknown, the range is empty or does not fit the format, or a MAC range
  // leaves its block.
  bool AddCounterPool(const CounterPool& pool, std::string* why);
  // A new list pool, or more values for an existing one of the same
  // format, in one transaction: refused whole when a value is in the pool
  // already (naming the value and its line in list_name).
  bool AddListValues(const std::string& name, const std::string& format,
                     const std::string& list_name, const std::vector<ListEntry>& values,
                     bool* created, std::string* why);
  bool Pools(std::vector<PoolSummary>* pools, std::string* why);
  // Values reserved at least `older_minutes` ago and never written or made
  // void: boards whose station never filed them.
  bool Orphans(unsigned older_minutes, std::vector<Orphan>* orphans, std::string* why);
  // Makes values void: never handed out again. Free and reserved values
  // (and a counter's values not reached yet) can be made void; a written
  // one cannot. All or nothing. *changed: how many changed.
  bool Void(const std::string& pool, const std::vector<std::string>& values, size_t* changed,
            std::string* why);

  // Engineers: closes a board whose station never filed it (killed
  // mid-board): its values become void and its count of its job is given
  // back. A record of it filed later is refused. *values: how many values
  // became void; *job: its job ("widget@3"), "" for none.
  // Refused for a board reserved less than kCloseAfterMinutes ago.
  static constexpr int kCloseAfterMinutes = 15;
  bool VoidBoard(const std::string& board_id, size_t* values, std::string* job, std::string* why);

  // A station starts: the caller may act as `station`, and no other
  // station of that name was seen in the last 10 s. *identity: the line's
  // database as the spool keeps it ("<system identifier>/<database>").
  bool StartStation(const std::string& station, std::string* identity, std::string* why);
  // The database's identity without a station's checks.
  bool Identity(std::string* identity, std::string* why);
  // Engineers: a station's name for a login role (a member of
  // quelmar_station); retiring one removes its tile.
  bool AddStation(const std::string& name, const std::string& role, std::string* why);
  bool RemoveStation(const std::string& name, std::string* why);
  bool Stations(std::vector<RegisteredStation>* stations, std::string* why);

  // Before any board: each pool exists, has the field's format, and its
  // next value fits the field. Two fields on one pool are refused.
  bool CheckFields(const std::vector<PoolField>& fields, std::string* why);
  // One value of each field's pool for the board, in one transaction.
  // kUsedUp: a pool has no value left (nothing is reserved then); kAway:
  // the database does not answer, or not in time (rows locked by another
  // connection past lock_timeout, a statement time-out). *key: the board's one-time key that
  // seals its record (kept in memory only). A board with a unit: *rework_of
  // the board whose values it was given again, or "".
  Reserved Reserve(const std::vector<PoolField>& fields, const BoardTag& board,
                   std::vector<production::FieldValue>* values, std::string* key, std::string* why,
                   std::string* rework_of = nullptr);
  // Files a board's sealed record; its values become written (ok) or void,
  // in one transaction. A board filed before with the same record is left
  // as it is; kRefused with a reason starting kRefusedPrefix when the
  // database logged the record as not the board's.
  Filed File(const FiledBoard& board, std::string* why);
  // Engineers: stores the next version of release.name with its images'
  // bytes and their SHA-256s, and the bundle hash, which the database
  // computes too and must agree with. *version, *sha256: what was stored.
  bool ReleaseJob(const JobRelease& release, int* version, std::string* sha256, std::string* why);
  // Engineers: no new board of the version starts. *already: it was retired.
  bool RetireJob(const std::string& name, int version, bool* already, std::string* why);
  // Every version of every job, by name then version.
  bool Jobs(std::vector<JobSummary>* jobs, std::string* why);
  // A version of a job (none: the newest released one) with its images.
  // kRefused with one line when there is no such job.
  Got FetchJob(const std::string& name, std::optional<int> version, Job* job, std::string* why);

  // Records of every station, oldest first, as JSON text.
  bool Records(const RecordsQuery& query, std::vector<std::string>* records, std::string* why);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// HMAC-SHA256 of `record` under the hex key a reservation gave, as hex.
std::string SealRecord(const std::string& key_hex, const std::string& record);
// A record as the database stores it: JSONB cannot hold U+0000, so a NUL
// in a board's log becomes U+FFFD. Sealed and spooled in this form.
std::string WithoutNul(const std::string& record);

// The format as a profile writes it: "u32le", "mac", "text:QM-%08u", "text".
std::string FormatText(const production::FieldDef& def);
// A value typed by a person (a MAC address in either case with ':' or '-',
// a number in decimal or 0x-hex, a counter's text) as the pool stores it.
// False with *why.
bool CanonicalValue(const std::string& format, const std::string& text, std::string* value,
                    std::string* why);

}  // namespace quelmar::line
