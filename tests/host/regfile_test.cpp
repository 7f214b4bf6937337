// .reg files: reading what people and the platform's editor write, writing
// what reads back unchanged, and the client's input words.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "qv/regfile.h"
#include "qv/registry.h"
#include "qv/regtree.h"
#include "qv/text.h"
#include "text.h"

namespace {

using namespace std::string_literals;
using qv::RegFileFormat;

std::string u16(const std::string& utf8) { return qv::utf8_to_utf16le(utf8); }
std::string sz(const std::string& utf8) { return u16(utf8) + "\0\0"s; }

qv::RegFile sample() {
    qv::RegFile f;
    qv::RegFileKey k;
    k.path = "HKCU\\Software\\Qv Test\\ünï";
    k.values = {
        {"", false, qv::reg_sz, sz("default")},
        {"quo\"te\\back\\", false, qv::reg_sz, sz("C:\\dir\\\"x\"")},
        {"wërt €", false, qv::reg_expand_sz, sz("%SystemRoot%\\ä")},
        {"multi", false, qv::reg_multi_sz, sz("a b") + sz("c\\0d") + "\0\0"s},
        {"dword", false, qv::reg_dword, "\x1f\0\0\x80"s},
        {"qword", false, qv::reg_qword, "\1\2\3\4\5\6\7\x08"s},
        {"none", false, qv::reg_none, ""},
        {"none data", false, qv::reg_none, "\xaa\xbb"s},
        {"empty binary", false, qv::reg_binary, ""},
        {"long binary", false, qv::reg_binary, std::string(300, '\xfe')},
        {"odd type", false, 0x12345, "xyz"},
        {"line\nbreak", false, qv::reg_sz, sz("one\r\ntwo")},
        {"no terminator", false, qv::reg_sz, u16("abc")},
        {"lone surrogate", false, qv::reg_sz, "\x00\xd8\0\0"s},
        {"odd length", false, qv::reg_sz, "a\0b"s},
        {"short dword", false, qv::reg_dword, "\1\2"s},
        {"gone", true, 0, ""},
    };
    f.keys.push_back(k);
    f.keys.push_back({"HKEY_LOCAL_MACHINE\\Software\\Removed", true, {}});
    f.keys.push_back({"HKU\\.DEFAULT\\Empty", false, {}});
    return f;
}

void expect_same(const qv::RegFile& a, const qv::RegFile& b) {
    ASSERT_EQ(a.keys.size(), b.keys.size());
    for (size_t i = 0; i < a.keys.size(); i++) {
        EXPECT_EQ(qv::long_root_path(a.keys[i].path), qv::long_root_path(b.keys[i].path));
        EXPECT_EQ(a.keys[i].remove, b.keys[i].remove);
        ASSERT_EQ(a.keys[i].values.size(), b.keys[i].values.size()) << a.keys[i].path;
        for (size_t k = 0; k < a.keys[i].values.size(); k++) {
            const qv::RegFileValue &x = a.keys[i].values[k], &y = b.keys[i].values[k];
            EXPECT_EQ(x.name, y.name);
            EXPECT_EQ(x.remove, y.remove) << x.name;
            if (!x.remove) {
                EXPECT_EQ(x.type, y.type) << x.name;
                EXPECT_EQ(qv::to_hex(x.data), qv::to_hex(y.data)) << x.name;
            }
        }
    }
}

TEST(RegFile, VersionFiveKeepsEveryTypeAndByteInBothEncodings) {
    for (RegFileFormat format : {RegFileFormat::v5_utf16, RegFileFormat::v5_utf8}) {
        std::string bytes = qv::write_regfile(sample(), format);
        qv::RegFile back = qv::parse_regfile(bytes);
        EXPECT_EQ(back.format, format);
        expect_same(sample(), back);
    }
    std::string bytes = qv::write_regfile(sample(), RegFileFormat::v5_utf16);
    EXPECT_EQ(bytes.substr(0, 2), "\xff\xfe");
    EXPECT_EQ(bytes.substr(2, 6), u16("Win"));
}

TEST(RegFile, WrittenTextLooksAsPeopleExpect) {
    std::string text = qv::write_regfile(sample(), RegFileFormat::v5_utf8);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Qv Test\\ünï]\r\n", 0), 0u);
    EXPECT_NE(text.find("\r\n@=\"default\"\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"quo\\\"te\\\\back\\\\\"=\"C:\\\\dir\\\\\\\"x\\\"\"\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"dword\"=dword:8000001f\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"qword\"=hex(b):01,02,03,04,05,06,07,08\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"none\"=hex(0):\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"empty binary\"=hex:\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"odd type\"=hex(12345):78,79,7a\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"gone\"=-\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n[-HKEY_LOCAL_MACHINE\\Software\\Removed]\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n[HKEY_USERS\\.DEFAULT\\Empty]\r\n"), std::string::npos);
    // Line breaks go escaped, as the platform's editor writes them; text that
    // "..." would not carry as it is stored goes as hex.
    EXPECT_NE(text.find("\r\n\"line\\nbreak\"=\"one\\r\\ntwo\"\r\n"), std::string::npos);
    EXPECT_NE(text.find("\"no terminator\"=hex(1):61,00,62,00,63,00\r\n"), std::string::npos);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "every line ends in CRLF";
        EXPECT_LE(u16(text.substr(start, end - start)).size() / 2, 80u) << text.substr(start, end - start);
        EXPECT_EQ(text.substr(start, end - start).find('\n'), std::string::npos);
        start = end + 2;
    }
}

TEST(RegFile, VersionFourIsTextInTheAnsiCodePage) {
    qv::RegFile f;
    f.keys.push_back({"HKCU\\Grüße", false,
                      {{"e", false, qv::reg_expand_sz, sz("%a%\\é€")},
                       {"m", false, qv::reg_multi_sz, sz("a") + sz("b") + "\0\0"s},
                       {"näme", false, qv::reg_sz, sz("Grüße")},
                       {"link", false, qv::reg_link, u16("é")}}});
    std::string text = qv::write_regfile(f, RegFileFormat::regedit4);
    EXPECT_EQ(text.rfind("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Gr\xfc\xdf" "e]\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("\"e\"=hex(2):25,61,25,5c,e9,80,00\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"m\"=hex(7):61,00,62,00,00\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"n\xe4me\"=\"Gr\xfc\xdf" "e\"\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"link\"=hex(6):e9,00\r\n"), std::string::npos) << text;  // stays raw
    qv::RegFile back = qv::parse_regfile(text);
    EXPECT_EQ(back.format, RegFileFormat::regedit4);
    expect_same(f, back);

    // Read as the platform's editor reads it: 0x80 is the euro sign, even where the
    // rest of the file happens to be valid UTF-8.
    qv::RegFile ansi = qv::parse_regfile("REGEDIT4\n[HKCU\\x]\n\"n\xe9\"=\"\x80 Gr\xc3\xbc\"\n\"h\"=hex(1):80,00\n");
    ASSERT_EQ(ansi.keys.at(0).values.size(), 2u);
    EXPECT_EQ(ansi.keys[0].values[0].name, "né");
    EXPECT_EQ(ansi.keys[0].values[0].data, sz("€ GrÃ¼"));
    EXPECT_EQ(ansi.keys[0].values[1].data, sz("€"));
    // Marked as UTF-8, it is read as UTF-8.
    qv::RegFile marked = qv::parse_regfile("\xef\xbb\xbfREGEDIT4\n[HKCU\\x]\n\"n\"=\"Gr\xc3\xbc\"\n\"h\"=hex(1):c3,bc,00\n");
    EXPECT_EQ(marked.keys.at(0).values.at(0).data, sz("Grü"));
    EXPECT_EQ(marked.keys[0].values.at(1).data, sz("ü"));
    // Version 5 in 8 bits: UTF-8 where it is, else the code page.
    EXPECT_EQ(qv::parse_regfile("Windows Registry Editor Version 5.00\n[HKCU\\x]\n@=\"\x80\"\n").keys[0].values[0].data,
              sz("€"));
    EXPECT_EQ(qv::parse_regfile("Windows Registry Editor Version 5.00\n[HKCU\\x]\n@=\"\xe2\x82\xac\"\n").keys[0].values[0].data,
              sz("€"));

    // What the code page cannot hold is refused, naming it, not written as '?'.
    for (const qv::RegFileKey& k : {qv::RegFileKey{"HKCU\\✓", false, {}},
                                     qv::RegFileKey{"HKCU\\x", false, {{"✓", false, qv::reg_dword, "\1\0\0\0"s}}},
                                     qv::RegFileKey{"HKCU\\x", false, {{"v", false, qv::reg_sz, sz("✓")}}},
                                     qv::RegFileKey{"HKCU\\x", false, {{"v", false, qv::reg_multi_sz, sz("✓") + "\0\0"s}}},
                                     qv::RegFileKey{"HKCU\\x", false, {{"v", false, qv::reg_sz, "a\0b"s}}}}) {
        qv::RegFile bad;
        bad.keys.push_back(k);
        try {
            qv::write_regfile(bad, RegFileFormat::regedit4);
            ADD_FAILURE() << "written: " << k.path;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("REGEDIT4"), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(k.values.empty() ? "✓" : "HKEY_CURRENT_USER\\x"), std::string::npos)
                << e.what();
        }
        EXPECT_NO_THROW(qv::write_regfile(bad, RegFileFormat::v5_utf8));
    }
}

// A file the platform's editor exported (names of every length up to 89, text
// with line breaks, names with quotes and characters beyond the BMP) is written
// back byte for byte.
TEST(RegFile, WritesWhatThePlatformEditorWrites) {
    std::ifstream in(std::string(QV_RECORDED_DIR) + "/editor-export.reg", std::ios::binary);
    std::string theirs((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(theirs.size(), 10000u);
    qv::RegFile f = qv::parse_regfile(theirs);
    ASSERT_EQ(f.keys.size(), 2u);
    EXPECT_GT(f.keys[0].values.size(), 180u);
    std::string ours = qv::write_regfile(f, RegFileFormat::v5_utf16);
    if (ours != theirs) {
        std::string a = qv::utf16le_to_utf8(ours), b = qv::utf16le_to_utf8(theirs);
        size_t at = 0;
        while (at < a.size() && at < b.size() && a[at] == b[at])
            at++;
        size_t line = a.rfind('\n', at);
        line = line == std::string::npos ? 0 : line + 1;
        ADD_FAILURE() << "first difference:\nours:   " << a.substr(line, a.find('\n', at) - line)
                      << "\ntheirs: " << b.substr(line, b.find('\n', at) - line);
    }
}

TEST(RegFile, ReadsWhatPeopleWriteByHand) {
    std::string text =
        "\xef\xbb\xbfWindows Registry Editor Version 5.00\n"
        "\n"
        "; a comment\n"
        "[hkcu\\Software\\A]   \n"
        "  @ = \"x\"\n"
        "\"bin\"=hex:01, 02,\\\n"
        "    03\n"
        "\"dw\"=dword:1F\n"
        "\"q\"=hex(B):ff,00,00,00,00,00,00,00\n"
        "\"del\"=-\n"
        "@=-\n"
        "\"esc\"=\"a\\\\b\\\"c\\n\\0\"\n"
        "\"c1\"=\"v;w\" ; a comment after the value\n"
        "\"c2\"=dword:00000001;x\n"
        "\"c3\"=HEX(2):41,00,\\ ; continued\n"
        "; a comment inside continued data\n"
        "  42,00,\\ ;after\n"
        "  00,00\n"
        "\"c4\"=Dword:2\n"
        "[-HKEY_CURRENT_USER\\Software\\B]\n";
    qv::RegFile f = qv::parse_regfile(text);
    ASSERT_EQ(f.keys.size(), 2u);
    const auto& v = f.keys[0].values;
    ASSERT_EQ(v.size(), 11u);
    EXPECT_EQ(f.keys[0].path, "hkcu\\Software\\A");
    EXPECT_EQ(qv::long_root_path(f.keys[0].path), "HKEY_CURRENT_USER\\Software\\A");
    EXPECT_EQ(v[0].name, "");
    EXPECT_EQ(v[0].data, sz("x"));
    EXPECT_EQ(v[1].type, qv::reg_binary);
    EXPECT_EQ(v[1].data, "\1\2\3"s);
    EXPECT_EQ(v[2].data, "\x1f\0\0\0"s);
    EXPECT_EQ(v[3].type, qv::reg_qword);
    EXPECT_TRUE(v[4].remove);
    EXPECT_TRUE(v[5].remove);
    EXPECT_EQ(v[5].name, "");
    EXPECT_EQ(v[6].data, sz("a\\b\"c\n\0"s));
    EXPECT_EQ(v[7].data, sz("v;w"));
    EXPECT_EQ(v[8].data, "\1\0\0\0"s);
    EXPECT_EQ(v[9].type, qv::reg_expand_sz);
    EXPECT_EQ(v[9].data, sz("AB"));
    EXPECT_EQ(v[10].data, "\2\0\0\0"s);
    EXPECT_TRUE(f.keys[1].remove);
}

TEST(RegFile, MalformedFilesNameTheLine) {
    struct Case {
        std::string text;
        size_t line;
        std::string says;
    };
    const std::string h = "REGEDIT4\n";
    const std::vector<Case> cases = {
        {"REGEDIT5\n[HKCU\\x]\n", 1, "not a registry file"},
        {h + "\"a\"=\"b\"\n", 2, "before the first [key]"},
        {h + "[HKCU\\x]\n\"a=\"b\"\n", 3, "="},
        {h + "[HKCU\\x]\n\"a\"=\"b\n", 3, "closing quote"},
        {h + "[HKCU\\x]\n\"a\"=\"b\" c\n", 3, "after the closing quote"},
        {h + "[HKCU\\x]\n\"a\"=hex:01,zz\n", 3, "hex byte"},
        {h + "[HKCU\\x]\n\"a\"=hex:01 02\n", 3, "commas"},
        {h + "[HKCU\\x]\n\"a\"=hex(1x):01\n", 3, "hex(N)"},
        {h + "[HKCU\\x]\n\"a\"=dword:123456789\n", 3, "1 to 8 hex digits"},
        {h + "[HKCU\\x]\n\"a\"=dword:\n", 3, "1 to 8 hex digits"},
        {h + "[HKCU\\x]\n\"a\"=word:1\n", 3, "unknown value data"},
        {h + "[HKCU\\x]\n\"\"=\"b\"\n", 3, "@"},
        {h + "\n[HKCC\\x]\n", 3, "HKCC"},
        {h + "[HKCU\\x\n", 2, "closing ]"},
        {h + "[-HKCU\\x]\n\"a\"=\"b\"\n", 3, "being deleted"},
        {h + "[HKCU\\x]\n\"a\"=hex:01,\\\n", 3, "ends inside"},
        {h + "[HKCU\\x]\n\"a\"=hex:01,\\\n; only comments follow\n", 4, "ends inside"},
        {h + "[HKCU\\x]\n\"a\"=\"b\" ; c\n\"b\"=\"c\" d ; c\n", 4, "after the closing quote"},
        {h + "[HKCU\\x]\n\"a\"=dword:1 2 ;c\n", 3, "1 to 8 hex digits"},
        {h + "[HKCU\\x]\n\"a\"=hex:01,\\\n  02 03\n", 4, "commas"},
    };
    for (const Case& c : cases) {
        try {
            qv::parse_regfile(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const qv::RegFileError& e) {
            EXPECT_EQ(e.line, c.line) << c.text << " -> " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(qv::parse_regfile("\xfe\xff\0R"s), qv::RegFileError);       // big-endian
    EXPECT_THROW(qv::parse_regfile("\xff\xfeR\0E"s), qv::RegFileError);      // odd UTF-16
}

TEST(RegFile, RootsAndRebasing) {
    EXPECT_EQ(qv::short_root_path("HKEY_LOCAL_MACHINE\\Software\\x\\"), "HKLM\\Software\\x");
    EXPECT_EQ(qv::short_root_path("hkey_users"), "HKU\\");
    EXPECT_EQ(qv::long_root_path("HKCR\\.txt"), "HKEY_CLASSES_ROOT\\.txt");
    EXPECT_THROW(qv::short_root_path("HKEY_CURRENT_CONFIG\\x"), std::invalid_argument);
    EXPECT_THROW(qv::short_root_path("Software\\x"), std::invalid_argument);

    qv::RegFile f;
    f.keys = {{"HKEY_CURRENT_USER\\Software\\From", false, {}},
              {"HKEY_CURRENT_USER\\Software\\From\\Sub\\Deeper", false, {}},
              {"HKEY_CURRENT_USER\\Software\\FromX", false, {}}};
    qv::RegFile copy = f;
    // FromX is not below From: nothing moves.
    EXPECT_THROW(qv::rebase_regfile(copy, "HKCU\\Software\\From", "HKLM\\To"), std::invalid_argument);
    EXPECT_EQ(copy.keys[0].path, f.keys[0].path);
    f.keys.pop_back();
    qv::rebase_regfile(f, "hkcu\\software\\from", "HKLM\\To");
    EXPECT_EQ(f.keys[0].path, "HKEY_LOCAL_MACHINE\\To");
    EXPECT_EQ(f.keys[1].path, "HKEY_LOCAL_MACHINE\\To\\Sub\\Deeper");
}

TEST(RegFile, ExactLiteralsAreNamedWhereANamedOneStoresTheSameBytesElseTyped) {
    EXPECT_EQ(qv::exact_literal(qv::reg_dword, "\x1f\0\0\0"s), "dword:1f");
    EXPECT_EQ(qv::exact_literal(qv::reg_binary, ""), "hex:");
    EXPECT_EQ(qv::exact_literal(qv::reg_sz, sz("a\\0b")), "str:a\\0b");
    EXPECT_EQ(qv::exact_literal(qv::reg_expand_sz, sz("")), "str(2):");
    EXPECT_EQ(qv::exact_literal(qv::reg_multi_sz, sz("a") + sz("b\\") + "\0\0"s), "str(7):a\\0b\\\\0");
    EXPECT_EQ(qv::exact_literal(qv::reg_multi_sz, "\0\0"s), "str(7):");
    EXPECT_EQ(qv::exact_literal(qv::reg_qword, "\1\2\3\4\5\6\7\xff"s), "hex(b):01,02,03,04,05,06,07,ff");
    EXPECT_EQ(qv::exact_literal(qv::reg_none, ""), "hex(0):");
    EXPECT_EQ(qv::exact_literal(0xffffffffu, "\x0a"s), "hex(ffffffff):0a");
    const std::vector<std::pair<uint32_t, std::string>> typed = {
        {qv::reg_dword, "\1\2\3"s},
        {qv::reg_qword, "\1\2\3\4\5\6\7\x08"s},
        {qv::reg_none, ""},
        {qv::reg_link, sz("x")},
        {qv::reg_sz, u16("no nul")},
        {qv::reg_sz, sz("in\0side"s)},
        {qv::reg_sz, "\x00\xd8\0\0"s},
        {qv::reg_sz, "a\0\0"s},
        {qv::reg_multi_sz, ""},
        {qv::reg_multi_sz, sz("a") + "\0\0"s + "\0\0"s},  // an empty element
        {qv::reg_multi_sz, sz("a\\0b") + "\0\0"s},
        {qv::reg_multi_sz, u16("a") + "\0\0"s},            // no closing empty string
    };
    for (const auto& [type, data] : typed)
        EXPECT_EQ(qv::exact_literal(type, data), qv::typed_literal(type, data)) << type << " " << qv::to_hex(data);
}

TEST(ClientWords, BatchLinesSplitLikeAShell) {
    std::vector<std::string> w;
    std::string err;
    ASSERT_TRUE(qvctl::split_words("reg get  HKCU\\Software\\x 'a b' \"c \\\"d\\\" \\\\ \\e\" e\\ f # note", &w, &err));
    // A backslash before a blank is a Windows path's own: the word ends there.
    EXPECT_EQ(w, (std::vector<std::string>{"reg", "get", "HKCU\\Software\\x", "a b", "c \"d\" \\ \\e", "e\\", "f"}));
    ASSERT_TRUE(qvctl::split_words("a'b'\"c\"d x#y '' \"\"", &w, &err));
    EXPECT_EQ(w, (std::vector<std::string>{"abcd", "x#y", "", ""}));
    ASSERT_TRUE(qvctl::split_words("   # only a comment", &w, &err));
    EXPECT_TRUE(w.empty());
    EXPECT_FALSE(qvctl::split_words("reg get 'open", &w, &err));
    EXPECT_NE(err.find("'"), std::string::npos);
    EXPECT_FALSE(qvctl::split_words("a \"open \\\"", &w, &err));
}

TEST(ClientWords, ValueInputIsCheckedNotGuessed) {
    EXPECT_EQ(qvctl::parse_dword("31"), 31u);
    EXPECT_EQ(qvctl::parse_dword("0x1F"), 31u);
    EXPECT_EQ(qvctl::parse_dword("4294967295"), 0xffffffffu);
    for (const char* bad : {"", "1f", "0x", "-1", "4294967296", "0x100000000", "12 ", "0x1g"})
        EXPECT_THROW(qvctl::parse_dword(bad), std::invalid_argument) << bad;
    EXPECT_EQ(qvctl::parse_qword("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(qvctl::parse_qword("0xFFFFFFFFFFFFFFFF"), UINT64_MAX);
    for (const char* bad : {"18446744073709551616", "99999999999999999999999", "0x10000000000000000", "0x"})
        EXPECT_THROW(qvctl::parse_qword(bad), std::invalid_argument) << bad;
    EXPECT_EQ(qvctl::parse_hex_bytes("01,02:ff AB"), "\x01\x02\xff\xab"s);
    EXPECT_EQ(qvctl::parse_hex_bytes(""), "");
    EXPECT_THROW(qvctl::parse_hex_bytes("012"), std::invalid_argument);
    EXPECT_THROW(qvctl::parse_hex_bytes("0x01"), std::invalid_argument);
    EXPECT_EQ(qvctl::utf8_replaced("ok \xc3\xa9 \xff\xc3 end"), "ok \xc3\xa9 \xef\xbf\xbd\xef\xbf\xbd end");
    EXPECT_EQ(qvctl::readable("a\\b\n\x01"), "a\\b\\n\\x01");
}

}  // namespace
