// POSIX termios backend of the serial port seam.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/serial_port.h"

namespace quelmar::link {

// Where the backend looks. Tests point these at a fake tree.
struct PosixPaths {
  std::string sysfs_tty = "/sys/class/tty";
  std::string dev = "/dev";
  std::string lock_dir = "/run/lock";  // LCK..<name> files (also /var/lock)
  std::string proc_locks = "/proc/locks";
  std::string link_dir;  // per-user COM<n> links; empty = PortLinkDirectory()
};

// The per-user folder in which links named COM<n> give a device the number n:
// $QUELMAR_PORT_DIR if set, else $XDG_RUNTIME_DIR/quelmar, else
// /tmp/quelmar-<uid>. A link takes precedence over the fixed table for its
// number, and a device with a link is listed under the link's number only.
// The folder counts only when it belongs to the user (or root) and nobody
// else may write in it (see IsTrustedLinkDirectory).
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

// --- pieces of the backend that tools and tests use directly ---

// Creates (or replaces) the link COM<n> -> device in the link folder, making
// the folder (mode 0700) when missing. n must be 1..127. On failure, *error
// (when given) receives one line saying why.
bool CreatePortLink(int com_number, const std::string& device, const std::string& link_dir,
                    std::string* error = nullptr);

// Whether the links folder may be trusted: it must be ours (or root's)
// and writable by nobody else, or another user could point our COM numbers
// at devices of their choosing.
bool IsTrustedLinkDirectory(const std::string& link_dir);

// The name of the LCK file for a device: "LCK..ttyUSB0" for /dev/ttyUSB0,
// "LCK..pts_3" for /dev/pts/3 (the path below dev_dir, '/' made '_').
std::string LockFileName(const std::string& device_path, const std::string& dev_dir = "/dev");
// The folders LCK files are looked for in: lock_dir, and /var/lock too when
// lock_dir is the system's /run/lock.
std::vector<std::string> LockDirectories(const PosixPaths& paths);
// The pid in a live LCK file (lock_dir/lock_file_name), or 0 when there is
// none: missing, unreadable, or naming a process that is gone.
int LiveLockFilePid(const std::string& lock_dir, const std::string& lock_file_name);
// Whether the locks table (/proc/locks, at proc_locks) shows a flock or POSIX
// lock on the device node, and by which pid (-1 when the kernel does not say,
// as for open file description locks). nullopt when the node is not locked.
std::optional<int> LockingPid(const std::string& proc_locks, const std::string& device_path);

// Opens the tty at path exclusively (flock, TIOCEXCL, LCK files in lock_dir),
// with DTR and RTS cleared. label names the port in advice ("COM3").
OpenResult OpenPosixDevice(const std::string& path, const std::string& label,
                           const PosixPaths& paths);
// Wraps an open tty descriptor (taking ownership) as a port.
std::unique_ptr<SerialPort> MakePosixSerialPort(int fd);

// Sets up the board's end of a tty (a simulator serving a USB gadget's tty
// or a virtual machine's pty): bytes pass untouched both ways (no echo,
// no CR/LF translation, no XON/XOFF, no signals), 8 bits, no modem
// control, reads that wait for one byte; then discards what was queued
// before. Only the line discipline's part is checked: a gadget's tty has
// no baud rate or character size of its own and keeps its defaults.
// False with errno set when the tty refuses.
bool MakeRawBoardEnd(int fd);

}  // namespace quelmar::link
