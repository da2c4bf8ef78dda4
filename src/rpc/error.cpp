#include "rpc/error.hpp"

#include <cstring>
#include <string>

namespace rpc {

namespace {
template <class T>
std::string opt(const std::optional<T>& v) {
  return v ? "Some(" + std::to_string(*v) + ")" : std::string("None");
}
}  // namespace

std::string EngineError::text() const {
  switch (kind) {
    case Kind::Value:
      return message;
    case Kind::RpcError:
      return "RpcError(seq=" + std::to_string(seq.value_or(0)) + ", fnId=" + std::to_string(fnId.value_or(0)) +
             ", err=" + std::to_string(err) + ", sub=" + std::to_string(sub) + "): " + message;
    case Kind::RpcTransportError:
      break;
  }
  return "RpcTransportError(seq=" + opt(seq) + ", fnId=" + opt(fnId) + "): " + message;
}

std::string os_error_text(int errnum) {
  char buf[256];
  const char* s = strerror_r(errnum, buf, sizeof buf);  // GNU variant returns the text
  return std::string(s) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace rpc
