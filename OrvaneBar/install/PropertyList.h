// Pieces of the XML property lists the application writes (the control service's and the
// login agent's): the standard three-line prologue and escaping of inserted text.
#pragma once

#include <string>

namespace PropertyList {

// XML declaration, DOCTYPE with the format's public and system identifiers, and the
// opening plist element, each followed by a line feed.
inline constexpr const char* prologue =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

// text with & < > " ' replaced by their character references, so that it stays one
// string element whatever it holds. Text without them is returned unchanged.
std::string xmlEscape(const std::string& text);

}  // namespace PropertyList
