#include "LogText.h"

#include <cstdio>
#include <string>

#include "ServeTexts.h"

namespace orvtool {

namespace {

// Length of the UTF-8 sequence starting at text[i], or 0 when it is not a valid one
// (overlong forms, surrogates and values past U+10FFFF are invalid).
std::size_t utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = byte(i);
    std::size_t n;
    char32_t c;
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        c = b & 0x07;
    } else {
        return 0;
    }
    if (i + n > text.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    if ((n == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ||
        (n == 4 && (c < 0x10000 || c > 0x10FFFF)))
        return 0;
    return n;
}

// Characters that are not controls by category but reorder or break what a terminal or an
// editor shows: the line and paragraph separators and the bidirectional marks, embeddings,
// overrides and isolates. A line holding one could look like another line.
bool isLayoutControl(char32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// The code point of the valid UTF-8 sequence of n bytes at text[i].
char32_t codePoint(std::string_view text, std::size_t i, std::size_t n) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    char32_t c = n == 2 ? byte(i) & 0x1F : n == 3 ? byte(i) & 0x0F : byte(i) & 0x07;
    for (std::size_t k = 1; k < n; ++k)
        c = (c << 6) | (byte(i + k) & 0x3F);
    return c;
}

void appendHex(std::string& out, const char* prefix, unsigned value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s%0*X", prefix, digits, value);
    out += buf;
}

}  // namespace

std::string logText(std::string_view text, std::size_t maxBytes) {
    std::size_t cut = text.size();
    if (cut > maxBytes) {
        cut = maxBytes;
        // Back to the start of a character: never leave half of one in the line.
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
    }
    std::string out;
    out.reserve(cut + 16);
    for (std::size_t i = 0; i < cut;) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        const std::size_t n = utf8Length(text.substr(0, cut), i);
        if (n == 0) {  // not UTF-8: the byte itself
            appendHex(out, "\\x", b, 2);
            ++i;
            continue;
        }
        if (n == 2 && b == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            appendHex(out, "\\u", static_cast<unsigned char>(text[i + 1]), 4);  // C1 control
        } else if (n > 1) {
            const char32_t c = codePoint(text, i, n);
            if (isLayoutControl(c)) {
                appendHex(out, "\\u", static_cast<unsigned>(c), 4);
            } else {
                out.append(text.substr(i, n));
            }
        } else if (b == '\\') {
            out += "\\\\";
        } else if (b == 0) {
            out += "\\0";
        } else if (b == '\t') {
            out += "\\t";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\r') {
            out += "\\r";
        } else if (b == 0x1B) {
            out += "\\e";
        } else if (b < 0x20 || b == 0x7F) {
            appendHex(out, "\\x", b, 2);
        } else {
            out += static_cast<char>(b);
        }
        i += n;
    }
    if (cut < text.size())
        out += texts::kServeLogCut + std::to_string(text.size() - cut) + texts::kServeLogCutTail;
    return out;
}

}  // namespace orvtool
