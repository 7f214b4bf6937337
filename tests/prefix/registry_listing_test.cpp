// "getregkey": the listing bytes for every kind of value, large entries, the
// bounded retry on long value names, escaped subkey names, path refusals; and
// "getregvalue", which answers one value as its line of the listing.
#include <gtest/gtest.h>

#include <string>

#include "qv/escape.h"
#include "registry_support.h"

namespace {

using namespace std::string_literals;
using RegistryListing = regtest::RegistryTest;

std::string u16(const std::string& utf8) { return qv::utf8_to_utf16le(utf8); }

std::string get_value(qv::Server& server, const std::string& key, const std::string& name) {
    return server.request("getregvalue", qv::escape(key + "\n" + name));
}

TEST_F(RegistryListing, EveryTypeIsListedInItsFormatValuesBeforeSubkeys) {
    const std::string k = key();
    ASSERT_EQ(c.mkkey(k + "\\sub2"), "ok");
    ASSERT_EQ(c.mkkey(k + "\\sub1"), "ok");
    ASSERT_EQ(c.set(k, "", qv::reg_sz, u16("def\0"s)), "ok");
    ASSERT_EQ(c.set(k, "a_dword", qv::reg_dword, "\x01\0\0\0"s), "ok");
    ASSERT_EQ(c.set(k, "b_qword", qv::reg_qword, "\x01\x02\x03\x04\x05\x06\x07\x08"s), "ok");
    ASSERT_EQ(c.set(k, "c_none", qv::reg_none, "\xab\xcd"s), "ok");
    ASSERT_EQ(c.set(k, "d_big", qv::reg_dword_big_endian, "\0\0\0\x01"s), "ok");
    ASSERT_EQ(c.set(k, "e_empty_bin", qv::reg_binary, ""), "ok");
    ASSERT_EQ(c.set(k, "f_odd_text", qv::reg_sz, "a\0b"s), "ok");
    ASSERT_EQ(c.set(k, "g_one_byte_text", qv::reg_expand_sz, "a"), "ok");
    ASSERT_EQ(c.set(k, "h_empty_text", qv::reg_sz, ""), "ok");
    ASSERT_EQ(c.set(k, "i_multi", qv::reg_multi_sz, u16("x\0y\\z\0\0"s)), "ok");
    ASSERT_EQ(c.set(k, "j_name\nwith\\escapes", qv::reg_sz, u16("line1\nline2\t\xc3\xa9\0"s)), "ok");
    ASSERT_EQ(c.set(k, "k_lone_surrogate", qv::reg_sz, "\x00\xd8" "a\0"s), "ok");

    qv::Server& server = start_server();
    std::string got = server.request("getregkey", k);
    EXPECT_EQ(got,
              "value \\0 1 =def\\0\n"
              "value a_dword\\0 4 01000000\n"
              "value b_qword\\0 11 0102030405060708\n"
              "value c_none\\0 0 abcd\n"
              "value d_big\\0 5 00000001\n"
              "value e_empty_bin\\0 3 \n"
              "value f_odd_text\\0 1 =a\n"
              "value g_one_byte_text\\0 2 =\n"
              "value h_empty_text\\0 1 =\n"
              "value i_multi\\0 7 =x\\0y\\\\z\\0\\0\n"
              "value j_name\\nwith\\\\escapes\\0 1 =line1\\nline2\t\xc3\xa9\\0\n"
              "value k_lone_surrogate\\0 1 =\xef\xbf\xbd" "a\n"
              "subkey sub1\n"
              "subkey sub2\n")
        << qvtest::shown(got);

    // The library reads the same answer back into names, types and bytes.
    qv::Result<qv::RegKey> l = qv::list_key(server, k);
    ASSERT_TRUE(l.ok());
    ASSERT_EQ(l->values.size(), 12u);
    EXPECT_EQ(l->values[0].name, "");
    EXPECT_EQ(l->values[0].string(), "def");
    EXPECT_EQ(l->find("a_dword")->dword(), 1u);
    EXPECT_EQ(l->find("b_qword")->data, "\x01\x02\x03\x04\x05\x06\x07\x08"s);
    EXPECT_EQ(l->find("i_multi")->strings(), (std::vector<std::string>{"x", "y\\z"}));
    EXPECT_EQ(l->find("j_name\nwith\\escapes")->data, u16("line1\nline2\t\xc3\xa9\0"s));
    EXPECT_EQ(l->subkeys, (std::vector<std::string>{"sub1", "sub2"}));

    // Each value read by its name answers its line of the listing.
    size_t line = 0;
    for (const qv::RegValue& v : l->values) {
        size_t end = got.find('\n', line) + 1;
        EXPECT_EQ(get_value(server, k, v.name), got.substr(line, end - line)) << qvtest::shown(v.name);
        line = end;
    }
}

TEST_F(RegistryListing, EmptyKeyAndFailedOpens) {
    ASSERT_EQ(c.mkkey(key()), "ok");
    qv::Server& server = start_server();
    EXPECT_EQ(server.request("getregkey", key()), "");
    EXPECT_EQ(server.request("getregkey", key() + "\\missing"), "errno 2");
    EXPECT_EQ(qv::list_key(server, key() + "\\missing").failure->code, 2u);
    // A one-value read tells the missing key (no LF, as a failed listing)
    // from the missing value (the error line of the listing's value phase).
    EXPECT_EQ(get_value(server, key() + "\\missing", "v"), "errno 2");
    EXPECT_EQ(get_value(server, key(), "v"), "errno 2\n");
    EXPECT_EQ(get_value(server, key(), ""), "errno 2\n");
}

TEST_F(RegistryListing, LargeDataIsListedOnceAndCompletelyAndTheGrownBufferServesLaterEntries) {
    const std::string k = key();
    std::string b259(259, '\x5a'), b260(260, '\xa5'), big;
    for (int i = 0; i < 70000; i++)
        big += static_cast<char>(i * 7);
    ASSERT_EQ(c.set(k, "a259", qv::reg_binary, b259), "ok");
    ASSERT_EQ(c.set(k, "b260", qv::reg_binary, b260), "ok");
    ASSERT_EQ(c.set(k, "c_big", qv::reg_binary, big), "ok");
    ASSERT_EQ(c.set(k, "d_small", qv::reg_dword, "\x02\0\0\0"s), "ok");
    ASSERT_EQ(c.set(k, "e_big_text", qv::reg_sz, u16(std::string(300, 'w') + '\0')), "ok");

    qv::Server& server = start_server();
    std::string got = server.request("getregkey", k);
    EXPECT_EQ(got, "value a259\\0 3 " + regtest::hex(b259) + "\n" +
                       "value b260\\0 3 " + regtest::hex(b260) + "\n" +
                       "value c_big\\0 3 " + regtest::hex(big) + "\n" +
                       "value d_small\\0 4 02000000\n" +
                       "value e_big_text\\0 1 =" + std::string(300, 'w') + "\\0\n");
    EXPECT_EQ(get_value(server, k, "c_big"), "value c_big\\0 3 " + regtest::hex(big) + "\n");
    EXPECT_EQ(get_value(server, k, "b260"), "value b260\\0 3 " + regtest::hex(b260) + "\n");
}

TEST_F(RegistryListing, AValueNameTooLongForTheFirstNameBufferIsListedAllTheSame) {
    const std::string k = key();
    // 258 units fit the first buffer (259 with the NUL); 259 do not, and the
    // registry does not report the size it needs.
    ASSERT_EQ(c.set(k, "a" + std::string(257, 'n'), qv::reg_dword, "\x01\0\0\0"s), "ok");
    ASSERT_EQ(c.set(k, "b" + std::string(258, 'n'), qv::reg_dword, "\x02\0\0\0"s), "ok");
    ASSERT_EQ(c.set(k, "c", qv::reg_binary, std::string(400, 'x')), "ok");
    ASSERT_EQ(c.mkkey(k + "\\child"), "ok");

    qv::Server& server = start_server();
    server.set_timeout(qv::Millis(20000));
    std::string got = server.request("getregkey", k);
    std::string x400;
    for (int i = 0; i < 400; i++)
        x400 += "78";
    EXPECT_EQ(got, "value a" + std::string(257, 'n') + "\\0 4 01000000\n" + "value b" + std::string(258, 'n') +
                       "\\0 4 02000000\nvalue c\\0 3 " + x400 + "\nsubkey child\n")
        << qvtest::shown(got.substr(0, 400));
    qv::Result<qv::RegKey> l = qv::list_key(server, k);
    EXPECT_TRUE(l.ok()) << l.error();
    EXPECT_EQ(l->values.size(), 3u);
    EXPECT_EQ(l->subkeys.size(), 1u);
    EXPECT_EQ(server.request("getregkey", k + "\\child"), "");  // still in step
}

TEST_F(RegistryListing, SubkeyNamesAreEscapedSoAnLfCannotEndTheAnswer) {
    const std::string k = key();
    ASSERT_EQ(c.mkkey(k + "\\a\nend"), "ok");
    ASSERT_EQ(c.mkkey(k + "\\b\n"), "ok");
    ASSERT_EQ(c.mkkey(k + "\\c \xc3\xa9"), "ok");
    ASSERT_EQ(c.subkeys(k), regtest::hex("a\nend") + " " + regtest::hex("b\n") + " " + regtest::hex("c \xc3\xa9"));

    qv::Server& server = start_server();
    EXPECT_EQ(server.request("getregkey", k), "subkey a\\nend\nsubkey b\\n\nsubkey c \xc3\xa9\n");
    EXPECT_EQ(qv::list_key(server, k)->subkeys, (std::vector<std::string>{"a\nend", "b\n", "c \xc3\xa9"}));
}

TEST_F(RegistryListing, PathsAreTakenUnescapedAndRefusedInOrder) {
    const std::string k = key("HKLM");
    const std::string tail = k.substr(5);  // after "HKLM\"
    ASSERT_EQ(c.set(k + "\\network", "v", qv::reg_dword, "\x07\0\0\0"s), "ok");

    qv::Server& server = start_server();
    const std::string listing = "value v\\0 4 07000000\n";
    for (const std::string root : {"HKLM\\", "hklm\\", "HkLm\\", "HKEY_LOCAL_MACHINE\\", "hkey_local_machine\\"})
        EXPECT_EQ(server.request("getregkey", root + tail + "\\network"), listing) << root;
    for (const std::string bad : {"HKLM", "HKU", "HKUx\\Software", " HKLM\\Software", "HKEY_CURRENT_CONFIG\\x",
                                  "64\\HKLM\\Software", "32\\32\\HKLM\\Software", "3264\\32\\HKLM\\Software", ""})
        EXPECT_EQ(server.request("getregkey", bad), "error not a valid root key") << bad;
    EXPECT_EQ(server.request("getregkey", "3264\\HKLM\\" + tail), "error can't read registry key as 32-bit and 64-bit");
    EXPECT_EQ(server.request("getregkey", "3264\\nonsense"), "error not a valid root key");
    // A one-value read takes the path escaped, as the modifying commands do.
    EXPECT_EQ(get_value(server, k + "\\network", "v"), listing);
    EXPECT_EQ(get_value(server, "3264\\" + k, "v"), "error can't read registry key as 32-bit and 64-bit");
    EXPECT_EQ(get_value(server, "HKXX\\" + tail, "v"), "error not a valid root key");
    EXPECT_EQ(server.request("getregvalue", qv::escape(k)), "error invalid command line");
    // A root name alone lists the root key itself.
    std::string hklm = server.request("getregkey", "HKLM\\");
    EXPECT_NE(hklm.find("subkey Software\n"), std::string::npos) << qvtest::shown(hklm);
    std::string hku = server.request("getregkey", "HKU\\");
    EXPECT_EQ(hku.find("errno"), std::string::npos) << qvtest::shown(hku);
}

TEST_F(RegistryListing, ParserSplitsViewRootAndKeyPath) {
    regtest::LineProgram units("registry_units.exe");
    auto root = [&](const std::string& path) { return units.ask("root " + regtest::hex(path)); };
    // handles: 80000000 HKCR, 80000001 HKCU, 80000002 HKLM, 80000003 HKU; views 0/1/2
    EXPECT_EQ(root("HKCU\\Software\\X"), "1 80000001 1 5");
    EXPECT_EQ(root("32\\HKCU\\Software\\X"), "1 80000001 0 8");
    EXPECT_EQ(root("3264\\HKCU\\Software\\X"), "1 80000001 2 10");
    EXPECT_EQ(root("HKEY_CLASSES_ROOT\\a"), "1 80000000 1 18");
    EXPECT_EQ(root("hkey_users\\"), "1 80000003 1 11");
    EXPECT_EQ(root("HKCR\\"), "1 80000000 1 5");
    EXPECT_EQ(root("3264\\hku\\x"), "1 80000003 2 9");
    // A failed parse leaves the view the prefix step set.
    EXPECT_EQ(root("32\\32\\HKCU\\X"), "0 0");
    EXPECT_EQ(root("3264\\HKEY_CURRENT_CONFIG\\X"), "0 2");
    EXPECT_EQ(root("HKLM"), "0 1");
}

}  // namespace
