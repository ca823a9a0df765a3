// Network port backend: a serial port on another machine, reached through
// a port server such as ser2net, behind the same serial-port seam as the
// local ports. "rfc2217://HOST:PORT" is a telnet port with serial-port
// control (the line is set to 115200 8N1 from here, purges reach the
// server); "socket://HOST:PORT" is a raw TCP port whose line the server
// has set up.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "link/serial_port.h"
#include "link/socket.h"

namespace quelmar::link {

struct PortUrl {
  enum class Kind { kRfc2217, kRaw };
  Kind kind = Kind::kRfc2217;
  std::string host;  // without brackets
  uint16_t port = 0;

  // "rfc2217://host:port", with an IPv6 address in brackets.
  std::string Text() const;
};

// Whether the text begins with one of the two schemes (any case), so a
// malformed address is refused as such instead of taken for a device name.
bool LooksLikePortUrl(std::string_view text);
// "rfc2217://HOST:PORT" or "socket://HOST:PORT": HOST a name, an IPv4
// address or an IPv6 address in brackets; PORT 1..65535. nullopt otherwise.
std::optional<PortUrl> ParsePortUrl(std::string_view text);

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
