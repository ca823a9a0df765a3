// The one place that picks the port backend for the system we run on.
#include "link/serial_port.h"

#ifdef _WIN32
#include "link/win32_port.h"
#else
#include "link/posix_port.h"
#endif

namespace quelmar::link {

std::unique_ptr<PortSystem> MakePlatformPortSystem() {
#ifdef _WIN32
  return MakeWin32PortSystem();
#else
  return MakePosixPortSystem();
#endif
}

}  // namespace quelmar::link
