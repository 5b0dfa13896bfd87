// The daemon's line framing: lines whatever pieces the bytes arrive in, and the bound on
// bytes waiting for a line feed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RequestFramer.h"

using orvtool::RequestFramer;

namespace {

std::vector<std::string> drain(RequestFramer& framer) {
    std::vector<std::string> lines;
    while (const auto line = framer.nextLine())
        lines.emplace_back(*line);
    return lines;
}

}  // namespace

TEST(RequestFramer, LinesAreTheSameWhateverThePieces) {
    const std::string stream = "ping\n\nset 0 4000\r\n\xe9\xa3\x8e\n tail";
    const std::vector<std::string> expected = {"ping", "", "set 0 4000\r", "\xe9\xa3\x8e"};
    for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
        RequestFramer framer(4096);
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < stream.size(); i += piece) {
            framer.append(std::string_view(stream).substr(i, piece));
            for (const std::string& line : drain(framer))
                lines.push_back(line);
        }
        EXPECT_EQ(lines, expected) << "pieces of " << piece;
        EXPECT_FALSE(framer.overlong());
    }
}

TEST(RequestFramer, OverlongCountsOnlyBytesWithoutALineFeed) {
    RequestFramer framer(8);
    framer.append("12345678");  // a line of the full length may still get its line feed
    EXPECT_TRUE(drain(framer).empty());
    EXPECT_FALSE(framer.overlong());
    framer.append("9");
    EXPECT_TRUE(drain(framer).empty());
    EXPECT_TRUE(framer.overlong());

    // Lines taken out do not count; a line of the full length is served wherever its line
    // feed arrives, and one byte more is overlong even when its line feed came with it.
    RequestFramer lines(8);
    lines.append("12345678\nshort\n1234567");
    EXPECT_EQ(drain(lines), (std::vector<std::string>{"12345678", "short"}));
    EXPECT_FALSE(lines.overlong());
    lines.append("8\n");
    EXPECT_EQ(drain(lines), (std::vector<std::string>{"12345678"}));
    EXPECT_FALSE(lines.overlong());
    lines.append("ok\n123456789\nnext\n");
    EXPECT_EQ(drain(lines), (std::vector<std::string>{"ok"}));
    EXPECT_TRUE(lines.overlong());
    EXPECT_FALSE(lines.hasLine());
}
