// The server's conversion and escaping routines, driven directly through a
// Windows test program that includes the server's source.
#include <gtest/gtest.h>

#include <string>

#include "support.h"

namespace {

using namespace std::string_literals;

using qvtest::hex;

// One long-lived Windows process for all cases of a test.
class Units : public qvtest::LineProgram {
public:
    Units() : LineProgram("qvmanip_units.exe") {}
    std::string ask(const std::string& op, const std::string& a = "", const std::string& b = "") {
        return LineProgram::ask(op + " " + a + (b.empty() ? "" : " " + b));
    }
};

TEST(TextRoutines, AtoWConvertsUtf8IncludingNonAsciiAndInvalidBytes) {
    Units u;
    EXPECT_EQ(u.ask("atow", hex("abc")), "610062006300" "0000");
    EXPECT_EQ(u.ask("atow", hex("\xc3\xa9\xe2\x82\xac")), "e900ac20" "0000");          // e-acute, euro
    EXPECT_EQ(u.ask("atow", hex("\xf0\x9f\x98\x80")), "3dd800de" "0000");              // surrogate pair
    // Without flags the converter replaces invalid sequences with U+FFFD.
    EXPECT_EQ(u.ask("atow", hex("a\xff" "b")), "6100fdff6200" "0000");
    EXPECT_EQ(u.ask("atow", hex("\xe2\x82")), "fdff" "0000");
    // Text that ends inside a 3- or 4-byte sequence still gets its terminator
    // (Wine's converter, asked to stop at the NUL, takes it into the sequence).
    EXPECT_EQ(u.ask("atow", hex("a\xe9")), "6100fdff" "0000");
    EXPECT_EQ(u.ask("atow", hex("\xf0")), "fdff" "0000");
    EXPECT_EQ(u.ask("atow", hex("\xf3\x83")), "fdff" "0000");
    EXPECT_EQ(u.ask("atow", hex("\xc3")), "fdff" "0000");
    EXPECT_EQ(u.ask("atow", ""), "0000");
}

TEST(TextRoutines, WtoANCountsWithAndWithoutTerminator) {
    Units u;
    const std::string abc = "610062006300" "0000";
    EXPECT_EQ(u.ask("wtoa_n", abc, "-1"), "4 61626300");
    EXPECT_EQ(u.ask("wtoa_n", abc, "3"), "3 616263");    // no terminator in the block
    EXPECT_EQ(u.ask("wtoa_n", abc, "4"), "4 61626300");
    EXPECT_EQ(u.ask("wtoa_n", abc, "0"), "0 ");
    // NUL units inside an explicit count are converted like any other unit.
    EXPECT_EQ(u.ask("wtoa_n", "61000000620000000000", "5"), "5 6100620000");
    EXPECT_EQ(u.ask("wtoa_n", "e900ac203dd800de0000", "-1"), "10 c3a9e282acf09f988000");
}

TEST(TextRoutines, EscapedOutputFollowsTheEscapeTable) {
    Units u;
    // sendescapedstring: LF and backslash escaped, CR and TAB as they are,
    // stops at the first NUL.
    EXPECT_EQ(u.ask("escaped", hex("plain text")), "plain text");
    EXPECT_EQ(u.ask("escaped", hex("a\nb\\c\r\td")), "a\\nb\\\\c\r\td");
    EXPECT_EQ(u.ask("escaped", hex("ab\0cd"s)), "ab");
    // sendescapedstring_n: exactly n bytes, NUL as backslash-0.
    EXPECT_EQ(u.ask("escaped_n", hex("x\n\\\0y\0"s)), "x\\n\\\\\\0y\\0");
    EXPECT_EQ(u.ask("escaped_n", hex("\n\n")), "\\n\\n");
    EXPECT_EQ(u.ask("escaped_n", ""), "");
}

TEST(TextRoutines, UnescapingUndoesLfAndBackslashOnly) {
    Units u;
    EXPECT_EQ(u.ask("unescape", hex("\\n")), hex("\n"));
    EXPECT_EQ(u.ask("unescape", hex("\\\\")), hex("\\"));
    EXPECT_EQ(u.ask("unescape", hex("\\t")), hex("\\t"));
    EXPECT_EQ(u.ask("unescape", hex("end\\")), hex("end\\"));
    EXPECT_EQ(u.ask("unescape", hex("\\0")), hex("\\0"));
    EXPECT_EQ(u.ask("unescape", hex("\\\\n")), hex("\\n"));
    EXPECT_EQ(u.ask("unescape", hex("HKCU\\\\Software\\nname\\nstr:a\\\\0b")),
              hex("HKCU\\Software\nname\nstr:a\\0b"));
}

TEST(TextRoutines, LineBufferSizeRefusesWhatSigned32BitCannotHold) {
    Units u;
    EXPECT_EQ(u.ask("need", "0", "4096"), "4096");
    EXPECT_EQ(u.ask("need", "2147479551", "4096"), "2147483647");
    EXPECT_EQ(u.ask("need", "2147479552", "4096"), "refused");
    EXPECT_EQ(u.ask("need", "2147483647", "1"), "refused");
}

}  // namespace
