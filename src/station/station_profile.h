// A station's profile (TOML): its name, ports (globs allowed), images,
// reboot, the folder of text records, and the dashboard's address and
// token. Paths in it are relative to its own folder.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quelmar::station {

struct StationProfile {
  std::string name;                 // shown on the dashboard; the file's stem by default
  std::vector<std::string> ports;   // names, device paths or globs ("/dev/ttyUSB*", "COM*")
  std::optional<std::string> code;  // resolved against the profile's folder
  std::optional<std::string> data;
  bool reboot = false;
  std::optional<std::string> log_dir;
  std::optional<std::string> listen;  // "ADDR:PORT"
  std::optional<std::string> token;
};

// Reads the profile at path. False, with one line in *error naming the
// line and key at fault, when it cannot be used.
bool LoadStationProfile(const std::string& path, StationProfile* profile, std::string* error);

// Whether text is a glob (holds '*' or '?').
bool IsGlob(const std::string& text);
// Whether name matches the glob ('*' any run of characters, '?' one).
bool GlobMatch(std::string_view glob, std::string_view name);

}  // namespace quelmar::station
