// The addresses of network ports: "rfc2217://HOST:PORT" (a telnet port with
// serial-port control) and "socket://HOST:PORT" (a raw TCP port). Text
// only; connecting is the network port backend's part (net_port.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

}  // namespace quelmar::link
