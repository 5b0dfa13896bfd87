// The tool's two streams: results on standard output, one buffered line at a time, and
// usage, errors and log lines on standard error, one unbuffered write per message.
#pragma once

#include <string>

namespace orvtool {

// Writes text and a line feed to standard error in one write (continued only if the
// system takes part of it). Standard output is flushed first, so that the two streams
// keep their order when they go to the same file.
void eprint(const std::string& text);

// Writes text to standard error unchanged (for messages that carry their own line feed).
void eprintRaw(const std::string& text);

// Writes text and a line feed to standard output (buffered).
void print(const std::string& text);

}  // namespace orvtool
