// Whether a port is there, as a station shows it on a slot: a local port by
// the ports the system lists, a network port by the connections opened to
// it. Neither ever opens or connects: opening a tty resets many boards, and
// a port server takes one client a port.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/serial_port.h"

namespace quelmar::link {

// Whether the port is among the ports listed: by its COM number, or by its
// device path when it has no number.
bool PortListed(const std::vector<PortEntry>& listed, const PortId& id);

// The presence of ports reached through connections, as told by the
// connections one port system opens. Before any attempt a port counts as
// present (nothing says otherwise); while open, until its line hangs up;
// after that, as its last open or close left it. An open refused because
// another client holds the port counts as present: the port is there.
class ConnectionPresence {
 public:
  ConnectionPresence() = default;
  ConnectionPresence(const ConnectionPresence&) = delete;
  ConnectionPresence& operator=(const ConnectionPresence&) = delete;

  // Notes how an open of the port named key went, and hands the result
  // on; an opened port comes back wrapped, so that its hang-up and its
  // close are noted as they happen (on the thread that owns the port).
  OpenResult Track(const std::string& key, OpenResult opened);
  // Any thread.
  bool Present(const std::string& key) const;

  struct Entry;

 private:
  std::shared_ptr<Entry> EntryFor(const std::string& key);

  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Entry>> entries_;
};

}  // namespace quelmar::link
