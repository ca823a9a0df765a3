// The ports found by the last enumeration, for the port drop-down.
#pragma once

#include <vector>

#include "link/serial_port.h"

namespace quelmar::link {

class PortList {
 public:
  // Rebuilds the list from empty: the ports present, ascending by COM
  // number, COM1..COM127 only. Returns how many were found. Logs nothing.
  int EnumeratePorts(PortSystem& ports);
  // The COM number at index, or 0 when index is not below the count.
  int PortNumberAt(int index) const;
  int Count() const { return static_cast<int>(entries_.size()); }
  const std::vector<PortEntry>& Entries() const { return entries_; }

 private:
  std::vector<PortEntry> entries_;
};

}  // namespace quelmar::link
