#include "link/port_list.h"

#include <algorithm>

namespace quelmar::link {

int PortList::EnumeratePorts(PortSystem& ports) {
  entries_ = ports.EnumeratePorts();
  // Whatever the platform hands back, the list holds COM1..COM127 once
  // each, in ascending order.
  std::erase_if(entries_, [](const PortEntry& e) { return e.number < 1 || e.number > 127; });
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const PortEntry& a, const PortEntry& b) { return a.number < b.number; });
  entries_.erase(
      std::unique(entries_.begin(), entries_.end(),
                  [](const PortEntry& a, const PortEntry& b) { return a.number == b.number; }),
      entries_.end());
  return Count();
}

int PortList::PortNumberAt(int index) const {
  if (index < 0 || index >= Count()) return 0;
  return entries_[static_cast<size_t>(index)].number;
}

}  // namespace quelmar::link
