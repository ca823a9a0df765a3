// Network port backend: a serial port on another machine, reached through
// a port server such as ser2net, behind the same serial-port seam as the
// local ports. "rfc2217://HOST:PORT" is a telnet port with serial-port
// control (the line is set to 115200 8N1 from here, purges reach the
// server); "socket://HOST:PORT" is a raw TCP port whose line the server
// has set up.
#pragma once

#include <memory>

#include "link/port_url.h"
#include "link/serial_port.h"
#include "link/socket.h"

namespace quelmar::link {

// How long each part of an open may take, and how long a write may go
// without progress.
struct NetTimings {
  int connect_ms = 5000;      // name look-up and connection
  int negotiate_ms = 3000;    // telnet answers, the line's acknowledgements
  int write_stall_ms = 2000;  // a write that sends nothing for this long fails
  int raw_welcome_ms = 50;    // a raw port's server refusing a second client
};

// Connects and, for rfc2217, negotiates the telnet options. The line is set
// up by the port's SetCommState, as for a local port. On failure the advice
// is one line naming the port and what went wrong.
OpenResult OpenNetPort(const PortUrl& url, const NetTimings& timings = {});
// The same over a stream already connected (tests bring their own).
OpenResult OpenNetPortOn(std::unique_ptr<TcpStream> stream, const PortUrl& url,
                         const NetTimings& timings = {});

// The local ports, plus ports named by URL: ResolvePort takes the URLs
// (PortId number 0, device the URL as given in canonical form) and OpenPort
// opens them over the network; everything else goes to `local` unchanged.
std::unique_ptr<PortSystem> WithNetworkPorts(std::unique_ptr<PortSystem> local);

}  // namespace quelmar::link
