// A station profile: a TOML file that sets a run's ports, images, records
// and fields. Paths in it are taken relative to its own folder.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "image/image_store.h"
#include "production/fields.h"

namespace quelmar::production {

// The profile's [line] table: the line's database, shared by its stations.
struct LineSettings {
  std::string database;  // a libpq connection string or URI, without a password
  std::string station;   // this station's name in the line; default: the host name
  std::string spool;     // the spool folder; default: the profile's name with .spool
  // The rest have defaults: {database, station, spool} is a whole value.
  bool station_given = false;  // whether the profile named the station
  // A job released into the line ("NAME" or "NAME@V"): its images, fields
  // and reboot are the job's. Empty: the profile's own.
  std::string job = {};
};

// A released job's name, as a profile and the command line give it:
// NAME is 1 to 64 letters, digits, '_', '-' and '.'; @V a version from 1 to
// 2147483647, without a sign or leading zeros. Without @V, the newest.
struct JobName {
  std::string name;
  std::optional<int> version;
};
// False with one line in *why, naming text.
bool ParseJobName(const std::string& text, JobName* out, std::string* why);

struct Profile {
  std::string path;
  std::string sha256;  // of the file as read
  std::vector<std::string> ports;
  std::optional<std::string> code;
  std::optional<std::string> data;
  // The SHA-256 the code and data files must have (64 lower-case hex
  // digits), for a station without a database.
  std::optional<std::string> code_sha256;
  std::optional<std::string> data_sha256;
  std::optional<std::string> records;
  std::optional<std::string> log_dir;
  std::optional<bool> reboot;
  std::optional<bool> auto_mode;  // "auto"
  std::optional<unsigned> count;
  // A board whose update the link spoiled is identified and written again,
  // with the same values, up to this many more times (0 to kMaxRetries).
  std::optional<unsigned> retries;
  std::vector<FieldDef> fields;
  // The station's own keys.
  std::optional<std::string> name;    // shown on its dashboard
  std::optional<std::string> listen;  // the dashboard's "ADDR:PORT"
  std::optional<std::string> token;   // the dashboard's control token
  // Names and addresses the line reaches the dashboard by.
  std::vector<std::string> hostnames;
  // A rework station's bench: a unit written OK before gets its newest
  // record's values again (refused elsewhere).
  std::optional<bool> rework;
  // The line's database: every field then takes its values from a pool.
  std::optional<LineSettings> line;
  // [label]: the ZPL template printed for each OK board (the product's) and
  // the printer it goes to (the station's).
  std::optional<std::string> label_template;
  std::optional<std::string> label_printer;
  std::optional<unsigned> label_timeout_ms;  // the bound on one label's send
  // Scanning a unit's ID per board: "off", "optional" or "required"; the
  // whole scan must match scan_pattern (ECMAScript).
  std::optional<std::string> scan;
  std::optional<std::string> scan_pattern;
  // The station's scanner: where slot labels and units are scanned.
  std::optional<std::string> slot_pattern;  // group 1: the slot's place in ports, from 1
  std::optional<std::string> scanner;       // a port as in ports
  std::optional<unsigned> scanner_baud;     // default 9600
};

// Reads and checks the profile. An unreadable or malformed file, an unknown
// key or a value of the wrong kind is refused with one line naming the file,
// the line and the key, in *why.
bool LoadProfile(const std::string& path, Profile* profile, std::string* why);
inline constexpr unsigned kMaxRetries = 10;
// The same for a profile's text in memory; name stands for the file in the
// messages and in profile->path, and relative paths are kept as they stand.
bool LoadProfileText(const std::string& text, const std::string& name, Profile* profile,
                     std::string* why);

// The keys p holds that belong to one station rather than to a product
// ("ports", "line.station", ...), in a fixed order.
std::vector<std::string> StationKeys(const Profile& p);

// Whether the file an image was loaded from has the SHA-256 pinned by a
// profile's key ("code_sha256", "data_sha256"). No pin: true. False with one
// line in *why naming both hashes, and for a pin on an image not loaded
// from a file.
bool CheckImagePin(const std::optional<image::ImageStore::LoadedFile>& file, const std::string& key,
                   const std::optional<std::string>& pin, std::string* why);

}  // namespace quelmar::production
