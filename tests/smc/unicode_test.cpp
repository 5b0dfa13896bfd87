#include "Unicode.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

namespace {

// General category of every code point, read from the installed character database.
// Ranges appear there as a "<..., First>" line followed by a "<..., Last>" line.
std::map<char32_t, std::string> categories() {
    std::map<char32_t, std::string> out;
    std::ifstream in(UNICODE_DATA_FILE);
    std::string line;
    char32_t rangeStart = 0;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        std::string field;
        while (std::getline(ss, field, ';'))
            f.push_back(field);
        if (f.size() < 3) continue;
        auto cp = static_cast<char32_t>(std::stoul(f[0], nullptr, 16));
        if (f[1].ends_with("First>")) {
            rangeStart = cp;
            continue;
        }
        char32_t from = f[1].ends_with("Last>") ? rangeStart : cp;
        for (char32_t c = from; c <= cp; ++c)
            out[c] = f[2];
    }
    return out;
}

}  // namespace

TEST(Unicode, CategoryTablesMatchTheCharacterDatabase) {
    auto db = categories();
    ASSERT_GT(db.size(), 100000u) << "cannot read " << UNICODE_DATA_FILE;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        auto it = db.find(c);
        std::string cat = it == db.end() ? "Cn" : it->second;
        ASSERT_EQ(unicode::isControl(c), cat == "Cc") << std::hex << unsigned(c);
        ASSERT_EQ(unicode::isFormat(c), cat == "Cf") << std::hex << unsigned(c);
        ASSERT_EQ(unicode::isSpaceSeparator(c), cat == "Zs") << std::hex << unsigned(c);
    }
}

TEST(Unicode, StrictDecodingRejectsMalformedSequences) {
    EXPECT_EQ(unicode::decodeUTF8("A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"),
              std::u32string(U"A\u00E9\u4E2D\U0001F600"));
    EXPECT_EQ(unicode::decodeUTF8(std::string("\0", 1)), std::u32string(1, U'\0'));
    EXPECT_TRUE(unicode::isValidUTF8("\xF4\x8F\xBF\xBF"));  // U+10FFFF
    for (const char* bad : {
             "\xC0\x80",          // overlong NUL
             "\xE0\x80\xAF",      // overlong slash
             "\xF0\x80\x80\xAF",  // overlong, four bytes
             "\xED\xA0\x80",      // surrogate D800
             "\xED\xBF\xBF",      // surrogate DFFF
             "\xF4\x90\x80\x80",  // past U+10FFFF
             "\xF8\x88\x80\x80\x80",
             "\x80",      // stray continuation
             "\xC3",      // truncated
             "\xE4\xB8",  // truncated
             "\xC3\x28",  // bad continuation
             "\xFF",
         }) {
        EXPECT_FALSE(unicode::decodeUTF8(bad)) << ::testing::PrintToString(std::string(bad));
    }
}

TEST(Unicode, EncodeInvertsDecode) {
    std::u32string all;
    for (char32_t c :
         {0x0u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xD7FFu, 0xE000u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
        all.push_back(c);
    }
    EXPECT_EQ(unicode::decodeUTF8(unicode::encodeUTF8(all)), all);
}
