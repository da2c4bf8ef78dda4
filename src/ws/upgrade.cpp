#include "ws/upgrade.hpp"

#include <cctype>

// Given to this file alone, so that another origin rebuilds nothing else.
#ifndef ENGINE_HOSTED_ORIGIN
#error "ENGINE_HOSTED_ORIGIN is defined by the build (CMakeLists.txt)"
#endif

namespace ws {

const std::string_view HOSTED_UI_ORIGIN = ENGINE_HOSTED_ORIGIN;

namespace {

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// Comma-separated, case-insensitive token lists (Connection: keep-alive, Upgrade).
bool token_listed(std::string_view header, std::string_view token) {
  while (!header.empty()) {
    auto comma = header.find(',');
    auto item = header.substr(0, comma);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (iequals(item, token)) return true;
    if (comma == std::string_view::npos) break;
    header.remove_prefix(comma + 1);
  }
  return false;
}

// What may follow an allowed origin prefix: nothing, a path, or a port (1 to 5 digits) that
// ends the text or is followed by a path. Anything else is another host that merely begins like
// an allowed one (http://localhost.attacker.example, http://127.0.0.1:80@evil.com).
bool allowed_rest(std::string_view rest) {
  if (rest.empty() || rest.front() == '/') return true;
  if (rest.front() != ':') return false;
  rest.remove_prefix(1);
  std::size_t digits = 0;
  while (digits < rest.size() && std::isdigit(static_cast<unsigned char>(rest[digits]))) ++digits;
  if (digits < 1 || digits > 5) return false;
  return digits == rest.size() || rest[digits] == '/';
}

}  // namespace

bool origin_allowed(std::optional<std::string_view> value, std::string& trimmed) {
  std::string_view v;
  if (value) {
    v = *value;
    for (unsigned char c : v)
      if (c != '\t' && (c < 0x20 || c > 0x7E)) {
        v = {};  // counts as absent
        break;
      }
  }
  while (!v.empty() && v.back() == '/') v.remove_suffix(1);
  trimmed.assign(v);
  if (v.empty()) return true;
  static constexpr std::string_view allowed[] = {"http://127.0.0.1", "http://localhost", "https://127.0.0.1",
                                                 "https://localhost", ENGINE_HOSTED_ORIGIN};
  for (std::string_view a : allowed)
    if (v.substr(0, a.size()) == a && allowed_rest(v.substr(a.size()))) return true;
  return false;
}

UpgradeDecision decide_upgrade(const UpgradeRequest& req) {
  using Outcome = UpgradeDecision::Outcome;
  const char* why = nullptr;
  if (!req.is_get) why = "handshake request method is not GET";
  else if (req.http_version < 11) why = "handshake request is not HTTP/1.1";
  else if (!token_listed(req.connection, "upgrade")) why = "missing 'Connection: upgrade' header";
  else if (!token_listed(req.upgrade, "websocket")) why = "missing 'Upgrade: websocket' header";
  else if (req.ws_version != "13") why = "missing or unsupported Sec-WebSocket-Version";
  else if (req.ws_key.empty() || req.ws_key.size() > 24) why = "missing or malformed Sec-WebSocket-Key";
  if (why) return {Outcome::Ignore, {std::string("accept failed: ") + why}};
  std::string origin;
  if (!origin_allowed(req.origin, origin))
    return {Outcome::Forbid, {"rejected origin: " + origin, "accept failed: HTTP error: 403 Forbidden"}};
  return {Outcome::Accept, {}};
}

}  // namespace ws
