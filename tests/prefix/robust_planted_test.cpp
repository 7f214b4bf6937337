// Registry content planted from inside the prefix by the checker program,
// never through the server: names and data that look like the framing,
// counted names holding NUL, the longest key names and very large values.
// Every listing must come as exactly one framed answer that parses.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "qv/registry.h"
#include "qv/text.h"
#include "registry_support.h"
#include "robust_support.h"

namespace {

using namespace std::string_literals;
using regtest::arg;
using regtest::Checker;
using regtest::ScopedKey;
using qvtest::shown;

std::string u16(const std::string& utf8) { return qv::utf8_to_utf16le(utf8); }

// One listing of key, read off the raw stream: exactly one end marker and
// nothing after it, then a probe request that must still be in step.
std::string listed_alone(const std::string& key) {
    robust::RawConversation conv(qvtest::options_for(qvtest::program("qvmanip.exe")));
    std::string why, listing, probe;
    const qv::Millis timeout = qvtest::patience(qv::Millis(120000));
    EXPECT_TRUE(conv.started(&why)) << why;
    EXPECT_TRUE(conv.send("getregkey " + key + "\ngetwindowsdir\n"));
    EXPECT_TRUE(conv.next(&listing, timeout, &why)) << why;
    EXPECT_TRUE(conv.next(&probe, timeout, &why)) << why;
    EXPECT_EQ(probe, "C:\\windows") << "out of step after the listing";
    EXPECT_EQ(conv.finish(timeout), 0);
    EXPECT_EQ(conv.trailing(), "");
    EXPECT_EQ(conv.markers_in_stream(), 2u) << "listing: " << shown(listing.substr(0, 400));
    return listing;
}

qv::Result<qv::RegKey> parsed(const std::string& listing) {
    try {
        return qv::parse_listing(listing);
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what() << " in " << shown(listing.substr(0, 400));
        return {};
    }
}

TEST(Planted, NamesAndDataThatLookLikeTheEndMarkerStayInsideTheirLines) {
    Checker c;
    ScopedKey key(c, regtest::test_key());
    const std::string k = key.path();
    struct Planted {
        std::string name;
        unsigned type;
        std::string data;
    };
    const std::vector<Planted> values = {
        {"", qv::reg_multi_sz, u16("end\0\nend\n\0\0"s)},
        {"end", qv::reg_sz, u16("end\0"s)},
        {"\nend\n", qv::reg_sz, u16("\nend\n\0"s)},
        {"x\nend", qv::reg_sz, u16("a\nend"s)},
        {"end\n", qv::reg_expand_sz, u16("\n\nend\n\nend\0"s)},
        {"back\\slash\\0 1 =fake\\", qv::reg_sz, u16("\\0 \\n\\\\\0"s)},
        {"cr\r\nend\r", qv::reg_sz, u16("\r\nend\r\n\0"s)},
        {"bin\nend", qv::reg_binary, "\nend\n"s},
        {"link", qv::reg_link, u16("\nend\n"s)},
        {"odd type", 0x7fffffff, "\nend\n\0"s},
    };
    for (const Planted& v : values)
        ASSERT_EQ(c.set(k, v.name, v.type, v.data), "ok") << shown(v.name);
    const std::vector<std::string> subkeys = {"end", "\nend", "\nend\n", "end\n", "\r\nend\r\n",
                                              std::string(250, 'k') + "\nend", std::string(255, 'n')};
    for (const std::string& s : subkeys)
        ASSERT_EQ(c.mkkey(k + "\\" + s), "ok") << shown(s);

    qv::Result<qv::RegKey> l = parsed(listed_alone(k));
    EXPECT_TRUE(l.ok());
    ASSERT_EQ(l->values.size(), values.size());
    for (const Planted& v : values) {
        const qv::RegValue* got = l->find(v.name);
        ASSERT_TRUE(got) << "value " << shown(v.name) << " is missing";
        EXPECT_EQ(got->type, v.type) << shown(v.name);
        EXPECT_EQ(got->data, v.data) << shown(v.name);
    }
    EXPECT_EQ(std::set<std::string>(l->subkeys.begin(), l->subkeys.end()),
              std::set<std::string>(subkeys.begin(), subkeys.end()));
}

TEST(Planted, CountedNamesHoldingNulNeverBreakTheListing) {
    Checker c;
    ScopedKey key(c, regtest::test_key());
    const std::string k = key.path();
    // Names the Win32 calls cannot even spell, set through the native API.
    const std::vector<std::string> names = {"a\0b"s, "\0hidden"s, "tail\0"s, "nul\0\nend\n"s};
    for (size_t i = 0; i < names.size(); i++)
        ASSERT_EQ(c.ask("ntset " + regtest::server_view() + " " + arg(k) + " " + arg(names[i]) + " 4 " +
                        qvtest::hex(std::string(1, static_cast<char>(i + 1)) + "\0\0\0"s)),
                  "ok")
            << shown(names[i]);
    ASSERT_EQ(c.ask("ntkey " + regtest::server_view() + " " + arg(k) + " " + arg("sub\0\nend\n"s)), "ok");
    ASSERT_EQ(c.set(k, "plain", qv::reg_dword, "\x09\0\0\0"s), "ok");
    ASSERT_EQ(c.mkkey(k + "\\plainkey"), "ok");

    // Such a name is shown up to its NUL: no request can name it anyway.
    qv::Result<qv::RegKey> l = parsed(listed_alone(k));
    EXPECT_TRUE(l.ok());
    ASSERT_EQ(l->values.size(), names.size() + 1);
    for (const qv::RegValue& v : l->values) {
        bool known = v.name == "plain";
        for (const std::string& n : names)
            known = known || v.name == n.substr(0, n.find('\0'));
        EXPECT_TRUE(known) << shown(v.name);
    }
    ASSERT_TRUE(l->find("plain"));
    EXPECT_EQ(l->find("plain")->dword(), 9u);
    EXPECT_EQ(l->subkeys.size(), 2u);
}

TEST(Planted, VeryLargeValuesAreListedWholeInOneAnswer) {
    Checker c;
    ScopedKey key(c, regtest::test_key());
    const std::string k = key.path();
    const size_t big = 8u << 20;
    const std::string text_unit = u16("line\nend\n\\");
    const size_t text_size = (2u << 20) / text_unit.size() * text_unit.size();
    auto fill = [&](const std::string& name, unsigned type, size_t size, const std::string& pattern) {
        return c.ask("fill " + regtest::server_view() + " " + arg(k) + " " + arg(name) + " " + std::to_string(type) +
                     " " + std::to_string(size) + " " + qvtest::hex(pattern));
    };
    ASSERT_EQ(fill("a_binary", qv::reg_binary, big, "\n\0end\xff"s), "ok");
    ASSERT_EQ(fill("b_text", qv::reg_sz, text_size, text_unit), "ok");
    ASSERT_EQ(fill("c_multi", qv::reg_multi_sz, text_size, u16("x\0\nend\0"s)), "ok");
    ASSERT_EQ(c.set(k, "d_after", qv::reg_dword, "\x2a\0\0\0"s), "ok");
    ASSERT_EQ(c.mkkey(k + "\\e_subkey"), "ok");

    auto repeated = [](const std::string& unit, size_t size) {
        std::string s;
        s.reserve(size);
        while (s.size() < size)
            s += unit;
        s.resize(size);
        return s;
    };
    std::string listing = listed_alone(k);
    EXPECT_GT(listing.size(), 2 * big);
    qv::Result<qv::RegKey> l = parsed(listing);
    EXPECT_TRUE(l.ok());
    ASSERT_EQ(l->values.size(), 4u);
    EXPECT_TRUE(l->values[0].data == repeated("\n\0end\xff"s, big)) << "binary of " << l->values[0].data.size();
    EXPECT_TRUE(l->values[1].data == repeated(text_unit, text_size)) << "text of " << l->values[1].data.size();
    EXPECT_TRUE(l->values[2].data == repeated(u16("x\0\nend\0"s), text_size)) << "multi of " << l->values[2].data.size();
    EXPECT_EQ(l->values[3].name, "d_after");
    EXPECT_EQ(l->values[3].dword(), 42u);
    EXPECT_EQ(l->subkeys, std::vector<std::string>{"e_subkey"});
}

}  // namespace
