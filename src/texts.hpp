#pragma once
// Texts that callers and user interfaces already rely on, gathered here because none of them may
// change: scripts match the exception texts, log scrapers the prefix, pages the handshake, and
// the module docstring and the conversion messages keep the wording of the module this one
// replaces. Everything else the module says is its own and may be worded freely.
#include <string_view>

namespace texts {

inline constexpr const char* MODULE_DOC = "PyO3 module entrypoint.";

// An operation that failed by an internal fault: "rust future panicked: <what>".
inline constexpr const char* PANIC_PREFIX = "rust future panicked: ";

// Every diagnostic line on the standard error stream starts with this.
inline constexpr std::string_view LOG_PREFIX = "[rust ws server] ";

// The text message every accepted page receives first.
inline constexpr std::string_view HANDSHAKE_MESSAGE = R"({"type":"handshake","python_library_version":"0.1.0"})";

// timeout_secs that cannot be a duration.
inline constexpr const char* DURATION_NEGATIVE = "cannot convert float seconds to Duration: value is negative";
inline constexpr const char* DURATION_TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN";

// Argument conversion: "argument '<name>': <message>" around the messages below.
inline constexpr const char* ARGUMENT_PREFIX = "argument '%s': %U";
inline constexpr const char* CANNOT_CONVERT = "'%s' object cannot be converted to '%s'";
inline constexpr const char* OUT_OF_RANGE = "out of range integral type conversion attempted";
inline constexpr const char* NOT_CONTIGUOUS = "The given array is not contiguous";
inline constexpr const char* DIMENSIONALITY_MISMATCH = "argument '%s': dimensionality mismatch:\n from=%d, to=%d";
inline constexpr const char* TYPE_MISMATCH = "argument '%s': type mismatch:\n from=%U, to=%U";
inline constexpr const char* STR_TO_VEC = "Can't extract `str` to `Vec`";

// Import failures.
inline constexpr const char* TYPE_NOT_CREATED = "failed to create type object for RustEngineAsync";
inline constexpr const char* ALL_NOT_APPENDED = "could not append __name__ to __all__";

}  // namespace texts
