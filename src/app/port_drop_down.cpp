#include "app/port_drop_down.h"

#include "common/log.h"

namespace quelmar::app {

std::string PortEntryText(int com_number) {
  return Format("COM %i", com_number);
}

namespace {

void SetPortEntries(PortDropDown& drop_down, const link::PortList& list) {
  drop_down.SetEntry(0, kNoPortEntry, {});
  const auto& entries = list.Entries();
  for (size_t k = 0; k < entries.size(); ++k) {
    drop_down.SetEntry(static_cast<int>(k) + 1, PortEntryText(entries[k].number),
                       entries[k].device);
  }
}

}  // namespace

void FillPortList(PortDropDown& drop_down, link::PortList& list, link::PortSystem& ports) {
  list.EnumeratePorts(ports);
  drop_down.TruncateTo(0);
  SetPortEntries(drop_down, list);
  drop_down.SetCurrentIndex(0);
}

void RefreshPortList(PortDropDown& drop_down, link::PortList& list, link::PortSystem& ports) {
  const int n = list.EnumeratePorts(ports);
  if (drop_down.CurrentIndex() > n) drop_down.SetCurrentIndex(n);
  if (drop_down.Count() > n + 1) drop_down.TruncateTo(n + 1);
  SetPortEntries(drop_down, list);
}

}  // namespace quelmar::app
