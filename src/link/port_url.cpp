#include "link/port_url.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace quelmar::link {
namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::optional<uint16_t> ParsePortNumber(std::string_view text) {
  if (text.empty() || text.size() > 5 || text[0] == '0') return std::nullopt;
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

bool HostNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

constexpr std::string_view kRfc2217Scheme = "rfc2217://";
constexpr std::string_view kRawScheme = "socket://";

}  // namespace

std::string PortUrl::Text() const {
  std::string text(kind == Kind::kRfc2217 ? kRfc2217Scheme : kRawScheme);
  if (host.find(':') != std::string::npos) {
    text += "[" + host + "]";
  } else {
    text += host;
  }
  return text + ":" + std::to_string(port);
}

bool LooksLikePortUrl(std::string_view text) {
  const std::string lower = Lower(text.substr(0, kRfc2217Scheme.size()));
  return lower.starts_with(kRfc2217Scheme) || lower.starts_with(kRawScheme);
}

std::optional<PortUrl> ParsePortUrl(std::string_view text) {
  PortUrl url;
  const std::string lower = Lower(text.substr(0, kRfc2217Scheme.size()));
  if (lower.starts_with(kRfc2217Scheme)) {
    url.kind = PortUrl::Kind::kRfc2217;
    text.remove_prefix(kRfc2217Scheme.size());
  } else if (lower.starts_with(kRawScheme)) {
    url.kind = PortUrl::Kind::kRaw;
    text.remove_prefix(kRawScheme.size());
  } else {
    return std::nullopt;
  }
  std::string_view host;
  std::string_view port;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return std::nullopt;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    if (host.empty() || host.find(':') == std::string_view::npos) return std::nullopt;
    for (char c : host) {
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') {
        return std::nullopt;
      }
    }
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.empty() || !std::all_of(host.begin(), host.end(), HostNameChar)) return std::nullopt;
    if (host.front() == '-' || host.front() == '.') return std::nullopt;
  }
  auto number = ParsePortNumber(port);
  if (!number) return std::nullopt;
  url.host = Lower(host);
  url.port = *number;
  return url;
}

}  // namespace quelmar::link
