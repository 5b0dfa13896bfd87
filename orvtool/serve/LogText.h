// Requests and replies as they go into a log line: cut to a bound and stripped of every
// control byte, so that no client can break or forge a line of the daemon's log.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvtool {

// Bytes of a request (or of a reply quoting it) kept in a log line.
inline constexpr std::size_t kLogTextBytes = 200;

// Text as it goes into a log line: cut after maxBytes bytes (at a UTF-8 character boundary,
// with a marker telling how many bytes were left out), then escaped so that a line holds no
// control character: backslash as \\, NUL, tab, line feed, carriage return and escape as
// \0 \t \n \r \e, other C0 controls, DEL and bytes that are not UTF-8 as \xNN, and the C1
// controls (U+0080 to U+009F) as \u0080 to \u009F, and so are the line and paragraph
// separators (U+2028, U+2029) and the bidirectional controls (U+061C, U+200E, U+200F,
// U+202A to U+202E, U+2066 to U+2069), as \u2028 and so on.
std::string logText(std::string_view text, std::size_t maxBytes = kLogTextBytes);

}  // namespace orvtool
