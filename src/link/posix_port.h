// POSIX termios backend of the serial port seam.
#pragma once

#include <memory>
#include <string>

#include "link/serial_port.h"

namespace quelmar::link {

// Where the backend looks. Tests point these at a fake tree.
struct PosixPaths {
  std::string sysfs_tty = "/sys/class/tty";
  std::string dev = "/dev";
  std::string lock_dir = "/run/lock";      // LCK..<name> files (also /var/lock)
  std::string proc_locks = "/proc/locks";
  std::string link_dir;                    // per-user COM<n> links; empty = PortLinkDirectory()
};

// The per-user folder in which links named COM<n> give a device the number n:
// $QUELMAR_PORT_DIR if set, else $XDG_RUNTIME_DIR/quelmar, else
// /tmp/quelmar-<uid>.
std::string PortLinkDirectory();

// The fixed part of the numbering, before links are considered:
//   COM1..COM16   /dev/ttyS0..ttyS15
//   COM17..COM48  /dev/ttyUSB0..ttyUSB31
//   COM49..COM80  /dev/ttyACM0..ttyACM31
//   COM81..COM127 only through links
// Returns the device name without folder ("ttyUSB0"), or "" for none.
std::string FixedDeviceName(int com_number);
// The inverse: 0 when the name has no fixed number.
int FixedComNumber(const std::string& device_name);

std::unique_ptr<PortSystem> MakePosixPortSystem(PosixPaths paths = {});

}  // namespace quelmar::link
