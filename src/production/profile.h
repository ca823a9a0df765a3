// A station profile: a TOML file that sets a run's ports, images, records
// and fields. Paths in it are taken relative to its own folder.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "production/fields.h"

namespace quelmar::production {

// The profile's [line] table: the line's database, shared by its stations.
struct LineSettings {
  std::string database;  // a libpq connection string or URI, without a password
  std::string station;   // this station's name in the line; default: the host name
  std::string spool;     // the spool folder; default: the profile's name with .spool
};

struct Profile {
  std::string path;
  std::string sha256;  // of the file as read
  std::vector<std::string> ports;
  std::optional<std::string> code;
  std::optional<std::string> data;
  std::optional<std::string> records;
  std::optional<std::string> log_dir;
  std::optional<bool> reboot;
  std::optional<bool> auto_mode;  // "auto"
  std::optional<unsigned> count;
  std::vector<FieldDef> fields;
  // The station's own keys.
  std::optional<std::string> name;    // shown on its dashboard
  std::optional<std::string> listen;  // the dashboard's "ADDR:PORT"
  std::optional<std::string> token;   // the dashboard's control token
  // Names and addresses the line reaches the dashboard by.
  std::vector<std::string> hostnames;
  // The line's database: every field then takes its values from a pool.
  std::optional<LineSettings> line;
};

// Reads and checks the profile. An unreadable or malformed file, an unknown
// key or a value of the wrong kind is refused with one line naming the file,
// the line and the key, in *why.
bool LoadProfile(const std::string& path, Profile* profile, std::string* why);

}  // namespace quelmar::production
