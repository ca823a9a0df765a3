// The rules every page of the station's servers keeps, in one place: which
// Host names a request may carry, whose Origin it may come from, and the
// control token.
//
// A page of another site that the operator happens to visit can send
// requests here, and through a DNS name it rebinds to this machine it can
// even read the answers. So a request must name this server as its own
// page does: in Host, one of the names the station answers to (compared
// whole, the name in any case, the port exactly); in Origin, when sent, this
// same Host.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelmar::station {

// A request refused: its status and the body's one line.
struct Refusal {
  unsigned status;
  std::string why;
};

// What the guard looks at in a request (every field line of Host and Origin,
// so one given twice is seen).
struct RequestHeaders {
  std::vector<std::string_view> host;
  std::vector<std::string_view> origin;
  std::string_view fetch_site;  // Sec-Fetch-Site
  std::string_view fetch_mode;  // Sec-Fetch-Mode
  std::string_view fetch_dest;  // Sec-Fetch-Dest
  bool get = false;             // the method is GET
};

class RequestGuard {
 public:
  // The names and addresses a request's Host may carry, with `port`: the
  // loopback names, the listening address (for a wildcard one, `machine`:
  // the machine's name and addresses) and `hostnames` (names or addresses
  // the line reaches the station by).
  RequestGuard(const std::string& listen_address, uint16_t port,
               const std::vector<std::string>& machine, const std::vector<std::string>& hostnames,
               std::string token, std::string hostnames_from = "the profile's hostnames");

  // Null when the request may be served. `local` is the address the
  // connection came in on, which the client reached, so its own Host
  // naming it is accepted too.
  std::optional<Refusal> Check(const RequestHeaders& request, std::string_view local) const;
  // Null when `sent` is the control token (compared in constant time).
  std::optional<Refusal> CheckToken(std::string_view sent) const;

 private:
  bool HostAllowed(std::string_view host, std::string_view local) const;

  uint16_t port_;
  std::vector<std::string> names_;      // lower case
  std::vector<std::string> addresses_;  // as the address parser writes them
  std::string token_;
  std::string hostnames_from_;  // named in the line refusing an unknown Host
};

}  // namespace quelmar::station
