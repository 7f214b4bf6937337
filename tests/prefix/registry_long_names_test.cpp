// Names as long as the registry takes them: value names up to 16,383
// characters are listed, subkeys with 256-character names (Wine takes one
// more than Windows) are listed and deleted with their tree; key paths up to
// 32,766 characters below their root, however deep, and no longer ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "qv/escape.h"
#include "registry_support.h"

namespace {

using namespace std::string_literals;
using RegistryLongNames = regtest::RegistryTest;

// A name of n characters, told apart from the others by its letter.
std::string long_name(size_t n, char letter) { return std::string(n - 1, letter) + "."; }

std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t lf = text.find('\n', at);
        lines.push_back(text.substr(at, lf - at));
        at = lf == std::string::npos ? text.size() : lf + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST_F(RegistryLongNames, ValueNamesUpToTheRegistryLimitAreAllListed) {
    const std::string k = key();
    const std::vector<size_t> lengths = {255, 256, 259, 300, 16383};
    std::string expected;
    ASSERT_EQ(c.set(k, "first", qv::reg_dword, "\x01\0\0\0"s), "ok");
    expected += "value first\\0 4 01000000\n";
    for (size_t i = 0; i < lengths.size(); i++) {
        std::string name = long_name(lengths[i], static_cast<char>('b' + i));
        ASSERT_EQ(c.set(k, name, qv::reg_dword, std::string(1, static_cast<char>(i + 2)) + "\0\0\0"s), "ok")
            << lengths[i];
        expected += "value " + name + "\\0 4 0" + std::to_string(i + 2) + "000000\n";
    }
    // A long name with data longer than the first buffer: both must grow.
    const std::string both = long_name(400, 'x');
    ASSERT_EQ(c.set(k, both, qv::reg_binary, std::string(1000, '\x5a')), "ok");
    std::string hex;
    for (int i = 0; i < 1000; i++)
        hex += "5a";
    expected += "value " + both + "\\0 3 " + hex + "\n";
    ASSERT_EQ(c.set(k, "last", qv::reg_sz, "z\0\0\0"s), "ok");
    expected += "value last\\0 1 =z\\0\n";
    ASSERT_EQ(c.mkkey(k + "\\child"), "ok");
    expected += "subkey child\n";

    // The registry itself holds them all, as Wine's own tool shows.
    std::string peer = regtest::reg_query(k, "64");
    for (size_t i = 0; i < lengths.size(); i++)
        EXPECT_NE(peer.find(long_name(lengths[i], static_cast<char>('b' + i)) + "    REG_DWORD"), std::string::npos)
            << lengths[i];

    qv::Server& server = start_server();
    std::string listing = server.request("getregkey", k);
    // The registry enumerates values in an order of its own; the subkey comes last.
    EXPECT_EQ(sorted_lines(listing), sorted_lines(expected)) << listing.substr(0, 600);
    EXPECT_EQ(listing.substr(listing.size() - 13), "subkey child\n");
    // Asked again in the same server: nothing of the grown buffers lingers.
    EXPECT_EQ(server.request("getregkey", k), listing);
}

TEST_F(RegistryLongNames, SubkeysWithTheLongestNamesAreListedAndDeleted) {
    const std::string k = key();
    const std::string n255 = long_name(255, 'p'), n256 = long_name(256, 'q');
    ASSERT_EQ(c.mkkey(k + "\\tree\\" + n255 + "\\" + n256), "ok");
    ASSERT_EQ(c.set(k + "\\tree\\" + n256 + "\\" + n256 + "\\" + n255, "v", qv::reg_dword, "\x01\0\0\0"s), "ok");
    ASSERT_EQ(c.mkkey(k + "\\tree\\short"), "ok");
    // One character more is refused by the registry: there is nothing longer to delete.
    EXPECT_NE(c.mkkey(k + "\\tree\\" + long_name(257, 'r')), "ok");

    qv::Server& server = start_server();
    EXPECT_EQ(server.request("getregkey", k + "\\tree"), "subkey " + n255 + "\nsubkey " + n256 + "\nsubkey short\n");
    EXPECT_EQ(server.request("rmregtree", qv::escape(k + "\\tree")), "success");
    EXPECT_FALSE(c.exists(k + "\\tree"));
    EXPECT_EQ(c.subkeys(k), "");
}

TEST_F(RegistryLongNames, TreesDeeperThanAThreadsStackAreDeleted) {
    // 15,000 levels, a path of about 30,000 characters: the registry takes it.
    std::string deep = key() + "\\deep";
    for (int i = 0; i < 15000; i++)
        deep += "\\a";
    qv::Server& server = start_server();
    server.set_timeout(qv::Millis(120000));
    ASSERT_EQ(server.request("setregkey", qv::escape(deep + "\nv\ndword:1")), "success");
    ASSERT_EQ(server.request("getregkey", deep), "value v\\0 4 01000000\n");
    EXPECT_EQ(server.request("rmregtree", qv::escape(key() + "\\deep")), "success");
    EXPECT_FALSE(c.exists(key() + "\\deep"));
}

TEST_F(RegistryLongNames, KeyPathsLongerThanTheRegistryTakesAreRefusedAndTouchNothing) {
    // A key whose path below HKCU is exactly 32,766 characters, the most a
    // registry call takes; Wine cuts a longer path there without a word.
    const std::string root = "HKCU\\";
    std::string longest = key() + "\\long";
    while (longest.size() - root.size() + 201 <= 32766)
        longest += "\\" + std::string(200, 'k');
    longest += "\\" + std::string(32766 - (longest.size() - root.size()) - 1, 'm');
    ASSERT_EQ(longest.size() - root.size(), 32766u);
    const std::string longer = longest + "\\x";

    qv::Server& server = start_server();
    ASSERT_EQ(server.request("setregkey", qv::escape(longest + "\nv\ndword:7")), "success");
    EXPECT_EQ(server.request("getregkey", longest), "value v\\0 4 07000000\n");

    EXPECT_EQ(server.request("setregkey", qv::escape(longer + "\nw\ndword:8")), "error unable to create registry key");
    EXPECT_EQ(server.request("getregkey", longer), "errno 87");
    EXPECT_EQ(server.request("rmregvalue", qv::escape(longer + "\nv")), "error unable to open registry key");
    // Cut to its first 32,766 characters, this path names the key above.
    EXPECT_EQ(server.request("rmregtree", qv::escape(longer)), "error unable to delete registry tree");
    EXPECT_EQ(server.request("getregkey", longest), "value v\\0 4 07000000\n");

    EXPECT_EQ(server.request("rmregtree", qv::escape(key() + "\\long")), "success");
    EXPECT_FALSE(c.exists(key() + "\\long"));
}

}  // namespace
