#include "station/station_profile.h"

#include <toml++/toml.h>
#include <filesystem>

namespace quelmar::station {

namespace fs = std::filesystem;

bool IsGlob(const std::string& text) {
  return text.find_first_of("*?") != std::string::npos;
}

bool GlobMatch(std::string_view glob, std::string_view name) {
  // Iterative, with one back-track point: linear enough for port names.
  size_t g = 0, n = 0, star = std::string_view::npos, mark = 0;
  while (n < name.size()) {
    if (g < glob.size() && (glob[g] == '?' || glob[g] == name[n])) {
      ++g;
      ++n;
    } else if (g < glob.size() && glob[g] == '*') {
      star = g++;
      mark = n;
    } else if (star != std::string_view::npos) {
      g = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (g < glob.size() && glob[g] == '*') ++g;
  return g == glob.size();
}

namespace {

std::string Where(const std::string& path, const toml::source_region& at) {
  return path + ":" + std::to_string(at.begin.line);
}

}  // namespace

bool LoadStationProfile(const std::string& path, StationProfile* p, std::string* error) {
  toml::table table;
  try {
    table = toml::parse_file(path);
  } catch (const toml::parse_error& e) {
    *error = Where(path, e.source()) + ": " + std::string(e.description());
    return false;
  }
  const fs::path folder = fs::path(path).parent_path();
  auto relative = [&](const std::string& file) { return (folder / fs::path(file)).string(); };
  *p = StationProfile{};
  p->name = fs::path(path).stem().string();

  for (auto&& [key, node] : table) {
    const std::string k(key.str());
    const std::string where = Where(path, key.source());
    auto text = [&](std::string* out) {
      if (auto v = node.value<std::string>()) {
        *out = *v;
        return true;
      }
      *error = where + ": '" + k + "' must be a string";
      return false;
    };
    std::string value;
    if (k == "name") {
      if (!text(&p->name)) return false;
    } else if (k == "ports") {
      const toml::array* list = node.as_array();
      if (!list || list->empty()) {
        *error = where + ": 'ports' must be a list of port names";
        return false;
      }
      for (const toml::node& item : *list) {
        auto v = item.value<std::string>();
        if (!v || v->empty()) {
          *error = where + ": 'ports' must be a list of port names";
          return false;
        }
        p->ports.push_back(*v);
      }
    } else if (k == "code" || k == "data" || k == "log_dir") {
      if (!text(&value)) return false;
      (k == "code" ? p->code : k == "data" ? p->data : p->log_dir) = relative(value);
    } else if (k == "listen" || k == "token") {
      if (!text(&value)) return false;
      (k == "listen" ? p->listen : p->token) = value;
    } else if (k == "reboot") {
      auto v = node.value<bool>();
      if (!v) {
        *error = where + ": 'reboot' must be true or false";
        return false;
      }
      p->reboot = *v;
    } else if (k == "field" || k == "records") {
      // Taking these quietly would flash boards without the serial numbers
      // the operator expects.
      *error = where + ": '" + k + "' is not supported by the station yet";
      return false;
    } else {
      *error = where + ": unknown key '" + k + "'";
      return false;
    }
  }
  if (p->ports.empty()) {
    *error = path + ": no 'ports'";
    return false;
  }
  if (!p->code && !p->data && !p->reboot) {
    *error = path + ": nothing to do: give 'code', 'data' or 'reboot'";
    return false;
  }
  return true;
}

}  // namespace quelmar::station
