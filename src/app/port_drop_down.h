// The port drop-down: entry 0 is "----" (no port), entry k the k-th port
// of the last enumeration. Kept up to date in place, so the selection
// survives the twice-a-second refresh.
#pragma once

#include <string>

#include "link/port_list.h"
#include "link/serial_port.h"

namespace quelmar::app {

// What a toolkit's combo box offers. Nothing here notifies a selection:
// only the operator's own choice does.
class PortDropDown {
 public:
  virtual ~PortDropDown() = default;
  virtual int Count() const = 0;
  // The selected entry, -1 for none.
  virtual int CurrentIndex() const = 0;
  virtual void SetCurrentIndex(int index) = 0;
  // Sets the text (and tool tip) of an entry; index == Count() appends one.
  virtual void SetEntry(int index, const std::string& text, const std::string& tool_tip) = 0;
  // Removes the entries from index to the end.
  virtual void TruncateTo(int count) = 0;
};

inline constexpr char kNoPortEntry[] = "----";
// "COM %i".
std::string PortEntryText(int com_number);

// Enumerates and fills an empty drop-down: "----", then one entry per port;
// selects "----".
void FillPortList(PortDropDown& drop_down, link::PortList& list, link::PortSystem& ports);
// Enumerates again and brings the drop-down up to date in place: a
// selection past the last port moves to the last port, surplus entries go,
// the others take their new texts.
void RefreshPortList(PortDropDown& drop_down, link::PortList& list, link::PortSystem& ports);

}  // namespace quelmar::app
