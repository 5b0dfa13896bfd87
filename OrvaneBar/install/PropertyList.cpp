#include "PropertyList.h"

namespace PropertyList {

namespace {

std::string xmlEscape(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&apos;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string element(const char* name, const std::string& text) {
    return std::string("<") + name + ">" + xmlEscape(text) + "</" + name + ">";
}

}  // namespace

void Dict::line(int depth, const std::string& text) {
    lines_.emplace_back(depth, text);
}

Dict& Dict::string(const std::string& key, const std::string& value) {
    line(1, element("key", key));
    line(1, element("string", value));
    return *this;
}

Dict& Dict::strings(const std::string& key, const std::vector<std::string>& values) {
    line(1, element("key", key));
    line(1, "<array>");
    for (const std::string& value : values)
        line(2, element("string", value));
    line(1, "</array>");
    return *this;
}

Dict& Dict::boolean(const std::string& key, bool value) {
    line(1, element("key", key));
    line(1, value ? "<true/>" : "<false/>");
    return *this;
}

Dict& Dict::dict(const std::string& key, const Dict& value) {
    line(1, element("key", key));
    line(1, "<dict>");
    for (const auto& [depth, text] : value.lines_)
        line(depth + 1, text);
    line(1, "</dict>");
    return *this;
}

std::string Dict::document() const {
    std::string text = std::string(prologue) + "<dict>\n";
    for (const auto& [depth, content] : lines_)
        text += std::string(static_cast<std::size_t>(depth) * 4, ' ') + content + "\n";
    return text + "</dict>\n</plist>";
}

}  // namespace PropertyList
