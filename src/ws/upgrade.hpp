#pragma once
// Whether to upgrade an HTTP request to a WebSocket connection: the request's fields in, the
// decision out, with the log lines a refusal writes. No I/O, so it is tested alone.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ws {

// The hosted user interface's public origin, accepted beside the loopback ones. Chosen when the
// engine is built (CMake's ENGINE_HOSTED_ORIGIN, which checks its form).
extern const std::string_view HOSTED_UI_ORIGIN;

struct UpgradeRequest {
  bool is_get = true;
  unsigned http_version = 11;  // 10 * major + minor
  std::string_view connection;
  std::string_view upgrade;
  std::string_view ws_version;
  std::string_view ws_key;
  std::optional<std::string_view> origin;  // the first Origin header, if any
};

struct UpgradeDecision {
  enum class Outcome { Accept, Ignore, Forbid } outcome;  // Ignore: close without a response
  std::vector<std::string> log;                            // lines to write, without the prefix
};

UpgradeDecision decide_upgrade(const UpgradeRequest& req);

// Accept or refuse an Origin header value (nullopt when absent). `trimmed` receives the text
// that a refusal is logged with.
bool origin_allowed(std::optional<std::string_view> value, std::string& trimmed);

}  // namespace ws
