#include "Profile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Shown.h"

namespace smcemu {
namespace {

constexpr size_t kMaxKeySize = 255;
constexpr off_t kMaxProfileBytes = 16 << 20;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads the input of one line from left to right.
class LineReader {
  public:
    LineReader(std::string_view text, const Profile& profile, int line)
        : text_(text), profile_(profile), line_(line) {}

    void skipBlanks() {
        while (pos_ < text_.size() && isBlank(text_[pos_]))
            ++pos_;
    }
    // True at the end of the line or at a comment that follows a blank.
    bool atEnd() {
        skipBlanks();
        return pos_ >= text_.size() || text_[pos_] == '#';
    }
    char peek() {
        skipBlanks();
        return pos_ < text_.size() ? text_[pos_] : '\0';
    }
    ProfileError fail(const std::string& message) const { return profile_.error(line_, message); }

    // A name or a type: exactly four bytes between double quotes.
    std::string quoted(const char* what) {
        skipBlanks();
        if (pos_ >= text_.size() || text_[pos_] != '"')
            throw fail(std::string("expected the ") + what + " in double quotes");
        size_t close = text_.find('"', pos_ + 1);
        if (close == std::string_view::npos)
            throw fail(std::string("missing closing quote after the ") + what);
        std::string_view inner = text_.substr(pos_ + 1, close - pos_ - 1);
        if (inner.size() != 4)
            throw fail(std::string("the ") + what + " \"" + shown(inner) +
                       "\" must be exactly four characters, not " + std::to_string(inner.size()));
        for (char c : inner)
            if (c < 0x20 || c > 0x7e)
                throw fail(std::string("the ") + what + " contains a byte that is not printable");
        pos_ = close + 1;
        return std::string(inner);
    }

    // The next run of non-blank characters.
    std::string_view word() {
        skipBlanks();
        size_t start = pos_;
        while (pos_ < text_.size() && !isBlank(text_[pos_]))
            ++pos_;
        return text_.substr(start, pos_ - start);
    }

    // Hex byte pairs up to the end of the line or a comment.
    std::vector<uint8_t> hexBytes() {
        std::vector<uint8_t> bytes;
        while (!atEnd()) {
            std::string_view group = word();
            if (group.size() % 2 != 0)
                throw fail("hex value \"" + shown(group) + "\" has an odd number of digits");
            for (size_t i = 0; i < group.size(); i += 2) {
                int hi = hexDigit(group[i]), lo = hexDigit(group[i + 1]);
                if (hi < 0 || lo < 0) throw fail("\"" + shown(group) + "\" is not hexadecimal");
                bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
            }
        }
        return bytes;
    }

  private:
    std::string_view text_;
    const Profile& profile_;
    int line_;
    size_t pos_ = 0;
};

void parseKey(LineReader& in, Profile& profile, int line) {
    ProfileKey key;
    key.line = line;
    key.name = in.quoted("key");
    key.type = in.quoted("type");
    std::string_view sizeText = in.word();
    if (sizeText.empty()) throw in.fail("missing the size after the type");
    size_t size = 0;
    for (char c : sizeText) {
        if (c < '0' || c > '9')
            throw in.fail("size \"" + shown(sizeText) + "\" is not a decimal number");
        size = size * 10 + static_cast<size_t>(c - '0');
        if (size > kMaxKeySize) throw in.fail("size " + shown(sizeText) + " is larger than 255");
    }
    key.value = in.hexBytes();
    if (key.value.size() != size)
        throw in.fail("size " + std::to_string(size) + " does not match the " +
                      std::to_string(key.value.size()) + " value bytes given");
    for (const ProfileKey& other : profile.keys)
        if (other.name == key.name)
            throw in.fail("key \"" + key.name + "\" is already defined on line " +
                          std::to_string(other.line));
    profile.keys.push_back(std::move(key));
}

void parseParameter(LineReader& in, Profile& profile, int line) {
    std::string_view word = in.word();  // "@name"
    std::string name(word.substr(1));
    if (name.empty()) throw in.fail("missing the parameter name after @");
    for (char c : name)
        if (!(c == '_' || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            throw in.fail("parameter name \"" + shown(name) +
                          "\" may hold only lower-case letters, digits and _");
    std::string valueText(in.word());
    if (valueText.empty()) throw in.fail("missing the value of parameter " + name);
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(valueText.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(value))
        throw in.fail("value \"" + shown(valueText) + "\" of parameter " + name +
                      " is not a finite number");
    if (!in.atEnd()) throw in.fail("unexpected text after the value of parameter " + name);
    for (const ProfileParameter& other : profile.parameters)
        if (other.name == name)
            throw in.fail("parameter " + name + " is already set on line " +
                          std::to_string(other.line));
    profile.parameters.push_back({name, value, line});
}

}  // namespace

ProfileError Profile::error(int line, std::string_view message) const {
    std::string text = source;
    if (line > 0) text += ":" + std::to_string(line);
    text += ": ";
    text += message;
    return ProfileError(text);
}

Profile parseProfile(std::string_view text, std::string_view source) {
    Profile profile;
    profile.source = source;
    int line = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        ++line;
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        LineReader in(text.substr(pos, end - pos), profile, line);
        pos = end + 1;
        if (in.atEnd()) continue;  // blank or comment
        if (in.peek() == '@')
            parseParameter(in, profile, line);
        else
            parseKey(in, profile, line);
    }
    return profile;
}

Profile loadProfile(const std::string& path) {
    Profile empty;
    empty.source = path;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        throw empty.error(0, std::string("cannot open: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw empty.error(0, "not a regular file");
    if (st.st_size > kMaxProfileBytes) throw empty.error(0, "larger than 16 MiB");
    std::ifstream file(path, std::ios::binary);
    if (!file) throw empty.error(0, std::string("cannot open: ") + std::strerror(errno));
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) throw empty.error(0, "cannot read the file");
    return parseProfile(content.str(), path);
}

}  // namespace smcemu
