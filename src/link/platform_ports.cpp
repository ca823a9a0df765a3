// The one place that picks the port backend for the system we run on.
// Ports named by URL (rfc2217://, socket://) are served on every system.
#include "link/net_port.h"
#include "link/serial_port.h"

#ifdef _WIN32
#include "link/win32_port.h"
#else
#include "link/posix_port.h"
#endif

namespace quelmar::link {

std::unique_ptr<PortSystem> MakePlatformPortSystem() {
#ifdef _WIN32
  return WithNetworkPorts(MakeWin32PortSystem());
#else
  return WithNetworkPorts(MakePosixPortSystem());
#endif
}

}  // namespace quelmar::link
