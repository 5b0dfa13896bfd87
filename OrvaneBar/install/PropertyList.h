// The XML property lists the application writes (the control service's and the login
// agent's): one dictionary of keys with strings, arrays of strings, booleans and nested
// dictionaries, written in the layout launchd's own files use (four spaces a level, a line
// a key and a value, no line feed after the closing element).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace PropertyList {

// XML declaration, DOCTYPE with the format's public and system identifiers, and the
// opening plist element, each followed by a line feed.
inline constexpr const char* prologue =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

// A dictionary, its entries in the order they were added. Keys and strings have & < > " '
// replaced by their character references, so that each stays one element whatever it
// holds; text without them is written unchanged.
class Dict {
  public:
    Dict& string(const std::string& key, const std::string& value);
    Dict& strings(const std::string& key, const std::vector<std::string>& values);
    Dict& boolean(const std::string& key, bool value);
    Dict& dict(const std::string& key, const Dict& value);

    // The whole property list with this dictionary at its top.
    std::string document() const;

  private:
    void line(int depth, const std::string& text);

    // Each line of the entries with its depth below the dictionary's own element.
    std::vector<std::pair<int, std::string>> lines_;
};

}  // namespace PropertyList
