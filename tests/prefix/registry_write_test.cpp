// "setregkey": what each value literal stores (checked with the independent
// reader), how it lists back, the order of refusals, and round trips through
// the library's typed calls.
#include <gtest/gtest.h>

#include <string>

#include "qv/escape.h"
#include "qv/text.h"
#include "registry_support.h"

namespace {

using namespace std::string_literals;
using RegistryWrite = regtest::RegistryTest;

std::string u16(const std::string& utf8) { return qv::utf8_to_utf16le(utf8); }

// A request built by hand, for literals that the typed calls never produce.
std::string set_raw(qv::Server& server, const std::string& path, const std::string& name,
                    const std::string& literal) {
    return server.request("setregkey", qv::escape(path + "\n" + name + "\n" + literal));
}

TEST_F(RegistryWrite, EachLiteralStoresItsBytesAndListsBack) {
    const struct {
        std::string literal;
        std::string stored;  // checker: "TYPE HEX"
        std::string listed;  // the listing line after "value NAME\0 "
    } cases[] = {
        // dword: a base-16 number
        {"dword:10", "4 10000000", "4 10000000"},
        {"dword:0x1F", "4 1f000000", "4 1f000000"},
        {"dword:", "4 00000000", "4 00000000"},
        {"dword:zz", "4 00000000", "4 00000000"},
        {"dword:123456789", "4 ffffffff", "4 ffffffff"},
        {"dword:ffffffff", "4 ffffffff", "4 ffffffff"},
        {"dword:-1", "4 ffffffff", "4 ffffffff"},
        {"dword: 7 and more", "4 07000000", "4 07000000"},
        {"dword:12\n34", "4 12000000", "4 12000000"},
        // str: keeps a backslash and 0 as they are, while str(7) splits there
        {"str:", "1 0000", "1 =\\0"},
        {"str:a\\0b", "1 " + regtest::hex(u16("a\\0b\0"s)), "1 =a\\\\0b\\0"},
        {"str(2):%TEMP%\\x", "2 " + regtest::hex(u16("%TEMP%\\x\0"s)), "2 =%TEMP%\\\\x\\0"},
        {"str:two\nlines\t\xc3\xa9", "1 " + regtest::hex(u16("two\nlines\t\xc3\xa9\0"s)),
         "1 =two\\nlines\t\xc3\xa9\\0"},
        {"str(7):a\\0b", "7 6100000062000000", "7 =a\\0b\\0"},
        {"str(7):a\\0b\\0", "7 61000000620000000000", "7 =a\\0b\\0\\0"},
        {"str(7):", "7 0000", "7 =\\0"},
        // pairs never overlap: backslash, backslash, 0 is a backslash and a NUL
        {"str(7):\\\\0", "7 5c0000000000", "7 =\\\\\\0\\0"},
        {"str(7):\\0\\0", "7 000000000000", "7 =\\0\\0\\0"},
        // text cut off inside a multi-byte sequence ends in U+FFFD, and there
        {"str:x\xf0", "1 " + regtest::hex(u16("x\xef\xbf\xbd\0"s)), "1 =x\xef\xbf\xbd\\0"},
        {"str(7):a\\0b\xe9", "7 " + regtest::hex(u16("a\0b\xef\xbf\xbd\0"s)), "7 =a\\0b\xef\xbf\xbd\\0"},
        // hex: one byte for each number
        {"hex:01,02,ff", "3 0102ff", "3 0102ff"},
        {"hex:01,02,ff,", "3 0102ff", "3 0102ff"},
        {"hex:", "3 ", "3 "},
        {"hex:1ff", "3 ff", "3 ff"},
        {"hex:01,,02", "3 01", "3 01"},
        {"hex:01, 02", "3 0102", "3 0102"},
        {"hex:0a:0b 0c-0d", "3 0a0b0c0d", "3 0a0b0c0d"},
        {"hex:zz", "3 ", "3 "},
        // hex(N): exactly the listed bytes under any type number, as .reg files
        // carry them: REG_QWORD, REG_NONE, types no name exists for, text
        // types with bytes no text literal gives
        {"hex(b):01,02,03,04,05,06,07,08", "11 0102030405060708", "11 0102030405060708"},
        {"hex(B):ff,ff,ff,ff,ff,ff,ff,ff", "11 ffffffffffffffff", "11 ffffffffffffffff"},
        {"hex(0):", "0 ", "0 "},
        {"hex(0):00,ab", "0 00ab", "0 00ab"},
        {"hex(8):0A,00,ff", "8 0a00ff", "8 0a00ff"},
        {"hex(2):25,00,41,00,25,00,00,00", "2 2500410025000000", "2 =%A%\\0"},
        {"hex(1):41", "1 41", "1 ="},
        {"hex(7):61,00,00,00", "7 61000000", "7 =a\\0"},
        {"hex(12345678):01", "305419896 01", "305419896 01"},
        {"hex(ffffffff):", "4294967295 ", "-1 "},
    };
    const std::string k = key();
    qv::Server& server = start_server();
    for (size_t i = 0; i < std::size(cases); i++) {
        const auto& t = cases[i];
        std::string name = "v" + std::to_string(i);
        EXPECT_EQ(set_raw(server, k, name, t.literal), "success") << t.literal;
        EXPECT_EQ(c.query(k, name), t.stored) << qvtest::shown(t.literal);
        std::string listing = server.request("getregkey", k);
        EXPECT_NE(listing.find("value " + name + "\\0 " + t.listed + "\n"), std::string::npos)
            << qvtest::shown(t.literal) << " listed as " << qvtest::shown(listing);
        EXPECT_EQ(server.request("rmregvalue", qv::escape(k + "\n" + name)), "success");
    }
}

TEST_F(RegistryWrite, RefusalsComeInOrderAndCreateNothing) {
    const std::string k = key();
    const std::string esc = qv::escape(k);
    qv::Server& server = start_server();
    struct Case {
        std::string args;  // as sent
        std::string answer;
    } cases[] = {
        {"", "error invalid command line"},
        {esc, "error invalid command line"},
        {esc + "\\nname", "error invalid command line"},
        {"nonsense\\nname", "error invalid command line"},
        {"HKXX\\\\a\\nname\\ndword:1", "error not a valid root key"},
        {"HKXX\\\\a\\nname\\nDWORD:1", "error not a valid root key"},
        {"3264\\\\32\\\\" + esc + "\\nname\\ndword:1", "error not a valid root key"},
        {esc + "\\nname\\nDWORD:1", "error unable to determine registry data type"},
        {esc + "\\nname\\nStr:x", "error unable to determine registry data type"},
        {esc + "\\nname\\nstr(3):x", "error unable to determine registry data type"},
        {esc + "\\nname\\n", "error unable to determine registry data type"},
        {esc + "\\nname\\n dword:1", "error unable to determine registry data type"},
        {esc + "\\nname\\nhex():01", "error unable to determine registry data type"},
        {esc + "\\nname\\nhex(123456789):01", "error unable to determine registry data type"},
        {esc + "\\nname\\nhex(b)01", "error unable to determine registry data type"},
        {esc + "\\nname\\nhex(g):01", "error unable to determine registry data type"},
        // the bytes of a typed literal are taken exactly or not at all
        {esc + "\\nname\\nhex(b):1,2", "error invalid hex data"},
        {esc + "\\nname\\nhex(b):01,02,", "error invalid hex data"},
        {esc + "\\nname\\nhex(b):0102", "error invalid hex data"},
        {esc + "\\nname\\nhex(b):01, 02", "error invalid hex data"},
        {esc + "\\nname\\nhex(b):01;02", "error invalid hex data"},
        {esc + "\\nname\\nhex(b):0g", "error invalid hex data"},
    };
    for (const Case& t : cases) {
        EXPECT_EQ(server.request("setregkey", t.args), t.answer) << t.args;
        EXPECT_FALSE(c.exists(k)) << "created by " << t.args;
    }
    // A literal may hold LF: only the first two separate.
    EXPECT_EQ(server.request("setregkey", esc + "\\nname\\nstr:x\\ny"), "success");
    EXPECT_EQ(c.query(k, "name"), "1 " + regtest::hex(u16("x\ny\0"s)));
}

TEST_F(RegistryWrite, RegistryRefusalsAnswerTheirMessageAlone) {
    qv::Server& server = start_server();
    // Wine refuses key names over 255 characters and value names of 16384.
    EXPECT_EQ(qv::set_dword(server, key() + "\\" + std::string(300, 'k'), "v", 1).error(),
              "error unable to create registry key");
    EXPECT_EQ(qv::set_dword(server, key(), std::string(16384, 'n'), 1).error(), "error unable to set value");
    EXPECT_EQ(c.subkeys(key()), "");
}

TEST_F(RegistryWrite, MissingParentsAreCreatedAndTheEmptyNameIsTheDefaultValue) {
    const std::string deep = key() + "\\a\\b\\c";
    qv::Server& server = start_server();
    EXPECT_TRUE(qv::set_string(server, deep, "", "default"));
    EXPECT_EQ(c.query(deep, ""), "1 " + regtest::hex(u16("default\0"s)));
    EXPECT_EQ(server.request("getregkey", deep), "value \\0 1 =default\\0\n");
}

// Writes in a row to one key reuse it; another process deleting or changing it
// in between, and other requests between writes, change nothing of what lands.
TEST_F(RegistryWrite, WritesInARowLandWhereverTheKeyWentMeanwhile) {
    const std::string k = key() + "\\row";
    qv::Server& server = start_server();
    EXPECT_TRUE(qv::set_dword(server, k, "one", 1));
    ASSERT_EQ(c.rmtree(k), "ok");  // another process removes the key the server holds
    EXPECT_TRUE(qv::set_dword(server, k, "two", 2));
    EXPECT_EQ(c.query(k, "two"), "4 02000000");
    EXPECT_EQ(c.query(k, "one"), "value 2");
    // The server's own deletion between two writes to the same key.
    EXPECT_TRUE(qv::delete_tree(server, k));
    EXPECT_TRUE(qv::set_dword(server, k, "three", 3));
    EXPECT_EQ(c.query(k, "three"), "4 03000000");
    EXPECT_EQ(c.query(k, "two"), "value 2");
    // The same path in the other view is another key.
    EXPECT_TRUE(qv::set_dword(server, k, "four", 4, qv::RegView::win32));
    EXPECT_EQ(c.query(k, "four", "32"), "4 04000000");
}

TEST_F(RegistryWrite, RoundTripsAwkwardNamesAndDataThroughTheTypedCalls) {
    const std::string k = key() + "\\sub key \xe2\x82\xac";
    qv::Server& server = start_server();

    // (a name with LF cannot be written: it would end the name field)
    const std::string names[] = {"plain", "back\\slash", "\\n", "\\0", "tab\there", "\xc3\xa9\xf0\x9f\x98\x80",
                                 "trailing\\", "end"};
    std::string big;
    for (int i = 0; i < 65536; i++)
        big += static_cast<char>('a' + i % 26);
    big += "\n\\\t\xc3\xa9";
    std::string all_bytes;
    for (int i = 0; i < 256; i++)
        all_bytes += static_cast<char>(i);
    const std::vector<std::string> multi = {"one\\", "0two", "li\nne", "\xe2\x82\xac"};

    for (const std::string& name : names) {
        SCOPED_TRACE(qvtest::shown(name));
        ASSERT_EQ(qv::set_string(server, k, name + "_s", "v\n\\0\\\\x\t" + name).error(), "");
        ASSERT_EQ(qv::set_expand_string(server, k, name + "_e", big).error(), "");
        ASSERT_EQ(qv::set_multi_string(server, k, name + "_m", multi).error(), "");
        ASSERT_EQ(qv::set_binary(server, k, name + "_b", all_bytes).error(), "");
        ASSERT_EQ(qv::set_dword(server, k, name + "_d", 0xdeadbeef).error(), "");
        ASSERT_EQ(qv::set_typed(server, k, name + "_q", qv::reg_qword, "\x01\x02\x03\x04\x05\x06\x07\xff"s).error(), "");
    }

    qv::Result<qv::RegKey> l = qv::list_key(server, k);
    ASSERT_TRUE(l.ok());
    EXPECT_EQ(l->values.size(), 6 * std::size(names));
    for (const std::string& name : names) {
        SCOPED_TRACE(qvtest::shown(name));
        const std::string s = u16("v\n\\0\\\\x\t" + name + '\0');
        const std::string e = u16(big + '\0');
        const std::string m = u16("one\\\0"s + "0two\0"s + "li\nne\0"s + "\xe2\x82\xac\0\0"s);
        const std::string d = "\xef\xbe\xad\xde"s;
        struct {
            std::string suffix;
            unsigned type;
            std::string data;
        } expect[] = {{"_s", 1, s},         {"_e", 2, e}, {"_m", 7, m}, {"_b", 3, all_bytes},
                      {"_d", 4, d},         {"_q", 11, "\x01\x02\x03\x04\x05\x06\x07\xff"s}};
        for (const auto& x : expect) {
            const qv::RegValue* v = l->find(name + x.suffix);
            ASSERT_NE(v, nullptr) << x.suffix;
            EXPECT_EQ(v->type, x.type) << x.suffix;
            EXPECT_TRUE(v->data == x.data) << x.suffix;
            EXPECT_EQ(c.query(k, name + x.suffix), std::to_string(x.type) + " " + regtest::hex(x.data)) << x.suffix;
        }
        EXPECT_EQ(l->find(name + "_m")->strings(), multi);
        EXPECT_EQ(l->find(name + "_d")->dword(), 0xdeadbeefu);
    }
}

}  // namespace
