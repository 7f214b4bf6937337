#include <gtest/gtest.h>

#include <string>

#include "qv/escape.h"

using namespace std::string_literals;

TEST(Escape, RequestArgumentsEscapeLfAndBackslashOnly) {
    EXPECT_EQ(qv::escape("HKCU\\Software\\network"), "HKCU\\\\Software\\\\network");
    EXPECT_EQ(qv::escape("a\nb"), "a\\nb");
    EXPECT_EQ(qv::escape("tab\tcr\r\xc3\xa9"), "tab\tcr\r\xc3\xa9");
    EXPECT_EQ(qv::escape(""), "");
}

TEST(Escape, UnescapeUndoesListingEscapes) {
    EXPECT_EQ(qv::unescape("a\\nb\\\\c\\0"), "a\nb\\c\0"s);
    // Unknown escapes and a lone trailing backslash are kept as they are.
    EXPECT_EQ(qv::unescape("\\t\\"), "\\t\\");
    // Pairs are read left to right: backslash-backslash then "n".
    EXPECT_EQ(qv::unescape("\\\\n"), "\\n");
}

TEST(Escape, RoundTripOfEveryByte) {
    std::string all;
    for (int c = 0; c < 256; c++)
        all += static_cast<char>(c);
    std::string wire = qv::escape(all);
    EXPECT_EQ(wire.find('\n'), std::string::npos);
    EXPECT_EQ(qv::unescape(wire), all);
}
