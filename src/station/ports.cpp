#include "station/ports.h"

#include <cctype>
#include <filesystem>
#include <set>

#include "station/port_glob.h"

namespace quelmar::station {
namespace {

// A network port's address without its scheme ("127.0.0.1:5000"), or
// empty for a local port. Names come canonical from ResolvePort.
std::string NetworkAddress(const std::string& device) {
  const size_t scheme = device.find("://");
  return scheme == std::string::npos ? std::string() : device.substr(scheme + 3);
}

bool SameDevice(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  if (a == b) return true;
  // A port server's port is one port whichever protocol reaches it.
  const std::string net_a = NetworkAddress(a), net_b = NetworkAddress(b);
  if (!net_a.empty() || !net_b.empty()) return net_a == net_b;
  std::error_code error;
  // Follows links, so COM<n> and its target compare equal.
  if (std::filesystem::equivalent(a, b, error) && !error) return true;
#ifdef _WIN32
  // Device names such as \\.\COM3 are not files; their case does not count.
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
#else
  return false;
#endif
}

}  // namespace

bool SamePort(const link::PortId& a, const link::PortId& b) {
  return (a.number > 0 && a.number == b.number) || SameDevice(a.device, b.device);
}

std::optional<std::pair<size_t, size_t>> FindSamePort(const std::vector<link::PortId>& ports) {
  for (size_t i = 0; i < ports.size(); ++i) {
    for (size_t j = i + 1; j < ports.size(); ++j) {
      if (SamePort(ports[i], ports[j])) return std::pair{i, j};
    }
  }
  return std::nullopt;
}

std::vector<std::string> ExpandPorts(link::PortSystem& system,
                                     const std::vector<std::string>& entries) {
  std::vector<std::string> found;
  std::set<std::string> seen;
  auto add = [&](const std::string& name) {
    if (seen.insert(name).second) found.push_back(name);
  };
  std::vector<link::PortEntry> listed;
  bool listed_read = false;
  for (const std::string& entry : entries) {
    if (!IsGlob(entry)) {
      add(entry);
      continue;
    }
    if (!listed_read) {
      listed = system.EnumeratePorts();
      listed_read = true;
    }
    for (const link::PortEntry& p : listed) {
      const std::string com = "COM" + std::to_string(p.number);
      if (p.number > 0 && GlobMatch(entry, com)) add(com);
      if (GlobMatch(entry, p.device)) add(p.device);
    }
#ifndef _WIN32
    const std::filesystem::path glob(entry);
    std::error_code error;
    const std::filesystem::path folder = glob.parent_path();
    if (!IsGlob(folder.string())) {
      for (const auto& file : std::filesystem::directory_iterator(folder, error)) {
        const std::string path = file.path().string();
        if (GlobMatch(entry, path)) add(path);
      }
    }
#endif
  }
  return found;
}

link::PortId PortOfName(link::PortSystem& system, const std::string& name) {
  const auto id = system.ResolvePort(name);
  return id ? *id : link::PortId{0, name};
}

bool CheckStationPorts(link::PortSystem& system, const std::vector<std::string>& entries,
                       std::string* why) {
  const std::vector<std::string> names = ExpandPorts(system, entries);
  std::vector<link::PortId> ids;
  for (const std::string& name : names) {
    const auto id = system.ResolvePort(name);
    // A device path may name an adapter plugged in later; an address
    // that does not parse never names a port.
    if (!id && name.find("://") != std::string::npos) {
      *why = "'" + name + "' names no serial port";
      return false;
    }
    ids.push_back(id ? *id : link::PortId{0, name});
  }
  if (const auto same = FindSamePort(ids)) {
    *why = "'" + names[same->first] + "' and '" + names[same->second] + "' are the same port";
    return false;
  }
  return true;
}

}  // namespace quelmar::station
