// The ports of a run or a station: what a profile's entries (names, device
// paths, globs) name now, and whether two of them are one port.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "link/serial_port.h"

namespace quelmar::station {

// Whether two ports are one: the same COM number, device paths that name
// one device (a COM<n> link and its target), or one network address
// (rfc2217:// and socket:// to the same server port).
bool SamePort(const link::PortId& a, const link::PortId& b);
// The first pair of indices of ports that are one, or nullopt.
std::optional<std::pair<size_t, size_t>> FindSamePort(const std::vector<link::PortId>& ports);

// The ports the entries name now: plain names as given (present or not),
// each glob against the ports listed and, on POSIX, the files of the
// glob's folder (pseudo-terminals are not listed as serial ports). Each
// name once, in the entries' order.
std::vector<std::string> ExpandPorts(link::PortSystem& system,
                                     const std::vector<std::string>& entries);

// A name as a port: what the system resolves it to, or the name as a
// device path when it names nothing yet (an adapter not plugged in).
link::PortId PortOfName(link::PortSystem& system, const std::string& name);

// The ports the entries name now, checked before a station starts: none
// twice, and no port address that cannot be one. False with one line in
// *why ("'COM3' and '3' are the same port").
bool CheckStationPorts(link::PortSystem& system, const std::vector<std::string>& entries,
                       std::string* why);

}  // namespace quelmar::station
