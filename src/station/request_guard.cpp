#include "station/request_guard.h"

#include <algorithm>
#include <boost/asio/ip/address.hpp>

namespace quelmar::station {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// The address `text` names ("10.0.0.7", "::1", "[::1]"), written one way,
// an IPv4 address carried in IPv6 as plain IPv4; or empty when it is no
// address. With `url`, IPv6 only in brackets, as a URL writes it.
std::string AddressText(std::string_view text, bool url) {
  namespace ip = boost::asio::ip;
  boost::system::error_code ec;
  ip::address a;
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    a = ip::make_address_v6(std::string(text.substr(1, text.size() - 2)), ec);
  } else {
    a = url ? ip::address(ip::make_address_v4(std::string(text), ec))
            : ip::make_address(std::string(text), ec);
  }
  if (ec) return {};
  if (a.is_v6() && a.to_v6().is_v4_mapped()) a = ip::make_address_v4(ip::v4_mapped, a.to_v6());
  if (a.is_v6()) {
    ip::address_v6 v6 = a.to_v6();
    v6.scope_id(0);  // a link-local address's interface is no part of its name
    a = v6;
  }
  return a.to_string();
}

bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i)
    diff = static_cast<unsigned char>(
        diff | (static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i])));
  return diff == 0;
}

}  // namespace

RequestGuard::RequestGuard(const std::string& listen_address, uint16_t port,
                           const std::vector<std::string>& machine,
                           const std::vector<std::string>& hostnames, std::string token,
                           std::string hostnames_from)
    : port_(port),
      names_{"localhost"},
      addresses_{"127.0.0.1", "::1"},
      token_(std::move(token)),
      hostnames_from_(std::move(hostnames_from)) {
  std::vector<std::string> known = hostnames;
  const std::string listening = AddressText(listen_address, false);
  if (listening == "0.0.0.0" || listening == "::") {
    known.insert(known.end(), machine.begin(), machine.end());
  } else if (!listening.empty()) {
    known.push_back(listening);
  }
  for (const std::string& entry : known) {
    if (entry.empty()) continue;
    const std::string address = AddressText(entry, false);
    if (!address.empty()) {
      addresses_.push_back(address);
    } else {
      names_.push_back(Lower(entry));
    }
  }
}

bool RequestGuard::HostAllowed(std::string_view host, std::string_view local) const {
  // host = name [":" port], the name an IPv6 address in brackets.
  size_t end = 0;
  if (!host.empty() && host.front() == '[') {
    end = host.find(']');
    if (end == std::string_view::npos) return false;
    ++end;
  } else {
    end = std::min(host.find(':'), host.size());
  }
  const std::string_view name = host.substr(0, end);
  const std::string_view rest = host.substr(end);
  unsigned long port = 80;  // a browser leaves out the scheme's own port
  if (!rest.empty()) {
    const std::string_view digits = rest.substr(1);
    if (rest.front() != ':' || digits.empty() || digits.size() > 5) return false;
    port = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      port = port * 10 + static_cast<unsigned long>(c - '0');
    }
  }
  if (name.empty() || port != port_) return false;

  const std::string address = AddressText(name, true);
  if (address.empty()) {
    const std::string lower = Lower(name);
    return std::find(names_.begin(), names_.end(), lower) != names_.end();
  }
  return std::find(addresses_.begin(), addresses_.end(), address) != addresses_.end() ||
         address == AddressText(local, false);
}

std::optional<Refusal> RequestGuard::Check(const RequestHeaders& request,
                                           std::string_view local) const {
  if (request.host.size() != 1) return Refusal{400, "one Host header is needed"};
  const std::string_view host = request.host.front();
  if (!HostAllowed(host, local))
    return Refusal{421, "unknown host: add the name to " + hostnames_from_};
  // The page's own requests carry its origin, "http://" and the Host.
  for (const std::string_view origin : request.origin) {
    if (request.origin.size() != 1 || Lower(origin) != "http://" + Lower(host))
      return Refusal{403, "foreign origin"};
  }
  // A link on another site's page (the line's page to a station's) opens
  // the page in the user's own window, where the linking page reads
  // nothing of it: such a navigation gets through; anything else sent from
  // another site (a fetch, a form, a frame) does not.
  const bool navigation =
      request.get && request.fetch_mode == "navigate" && request.fetch_dest == "document";
  if (request.fetch_site == "cross-site" && !navigation) return Refusal{403, "foreign origin"};
  return std::nullopt;
}

std::optional<Refusal> RequestGuard::CheckToken(std::string_view sent) const {
  if (sent.empty()) return Refusal{401, "token missing"};
  if (!SameSecret(sent, token_)) return Refusal{403, "wrong token"};
  return std::nullopt;
}

}  // namespace quelmar::station
