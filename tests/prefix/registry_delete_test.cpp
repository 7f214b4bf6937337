// "rmregtree" and "rmregvalue": what goes, what stays, and their messages.
#include <gtest/gtest.h>

#include <string>

#include "qv/escape.h"
#include "registry_support.h"

namespace {

using namespace std::string_literals;
using regtest::ScopedKey;
using RegistryDelete = regtest::RegistryTest;

TEST_F(RegistryDelete, TreeRemovesEveryLevelAndLeavesSiblings) {
    const std::string top = key() + "\\tree";
    for (const char* a : {"a", "b", "c"})
        for (const char* b : {"x", "y", "z"})
            for (const char* d : {"1", "2"}) {
                std::string k = top + "\\" + a + "\\" + b + "\\" + d;
                ASSERT_EQ(c.set(k, "v", qv::reg_dword, "\x01\0\0\0"s), "ok");
                ASSERT_EQ(c.set(top + "\\" + a, "w", qv::reg_sz, "q\0"s), "ok");
            }
    ASSERT_EQ(c.mkkey(key() + "\\tree2\\keep"), "ok");
    ASSERT_EQ(c.mkkey(key() + "\\tre"), "ok");

    qv::Server& server = start_server();
    EXPECT_EQ(server.request("rmregtree", qv::escape(top)), "success");
    EXPECT_EQ(c.ask("exists 64 " + regtest::hex(top)), "no 2");
    EXPECT_EQ(c.subkeys(key()), regtest::hex("tre") + " " + regtest::hex("tree2"));
    EXPECT_TRUE(c.exists(key() + "\\tree2\\keep"));
    // Gone is gone: again, and a key that never was, are successes too.
    EXPECT_EQ(server.request("rmregtree", qv::escape(top)), "success");
    EXPECT_TRUE(qv::delete_tree(server, key() + "\\never\\was"));
}

TEST_F(RegistryDelete, TreePathIsOneFieldSoAnLfNamesOneKey) {
    const std::string k = key();
    ASSERT_EQ(c.mkkey(k + "\\a\nb\\child"), "ok");
    ASSERT_EQ(c.mkkey(k + "\\a"), "ok");
    ASSERT_EQ(c.mkkey(k + "\\a\nbc"), "ok");
    qv::Server& server = start_server();
    EXPECT_EQ(server.request("rmregtree", qv::escape(k + "\\a\nb")), "success");
    EXPECT_EQ(c.subkeys(k), regtest::hex("a") + " " + regtest::hex("a\nbc"));
}

TEST_F(RegistryDelete, TreeRemovesLinksThemselvesAndLeavesTheirTargets) {
    const std::string k = key("HKLM");
    const std::string target = k + ".Target";
    ScopedKey target_key(c, target);
    ASSERT_EQ(c.set(target + "\\child", "v", qv::reg_dword, "\x07\0\0\0"s), "ok");
    ASSERT_EQ(c.mkkey(k + "\\a\\deep"), "ok");
    // One link to a key outside the tree, one to a key that does not exist.
    const std::string nt_target = "\\Registry\\Machine\\" + target.substr(5);
    ASSERT_EQ(c.ask("link 64 " + regtest::hex(k + "\\m\\link") + " " + regtest::hex(nt_target)), "ok");
    ASSERT_EQ(c.ask("link 64 " + regtest::hex(k + "\\m\\x-dangling") + " " +
                    regtest::hex("\\Registry\\Machine\\Software\\QvTest\\NoSuchTarget")),
              "ok");
    ASSERT_EQ(c.mkkey(k + "\\z"), "ok");

    qv::Server& server = start_server();
    EXPECT_EQ(server.request("rmregtree", qv::escape(k)), "success");
    EXPECT_FALSE(c.exists(k));
    // What the link pointed at is outside the tree and stays whole.
    EXPECT_EQ(c.query(target + "\\child", "v"), "4 07000000");
}

TEST_F(RegistryDelete, TreeRefusals) {
    qv::Server& server = start_server();
    EXPECT_EQ(server.request("rmregtree", ""), "error not a valid root key");
    EXPECT_EQ(server.request("rmregtree", "HKCU"), "error not a valid root key");
    EXPECT_EQ(server.request("rmregtree", "32\\\\32\\\\HKCU\\\\Software\\\\QvTest\\\\x"), "error not a valid root key");
    // Unescaped first: a single backslash before "n" is an LF, not a separator.
    EXPECT_EQ(server.request("rmregtree", "HKCU\\nSoftware"), "error not a valid root key");
}

TEST_F(RegistryDelete, ValueDeletionMessagesAndNames) {
    const std::string k = key();
    ASSERT_EQ(c.set(k, "", qv::reg_sz, "d\0"s), "ok");
    ASSERT_EQ(c.set(k, "line", qv::reg_dword, "\x01\0\0\0"s), "ok");
    ASSERT_EQ(c.set(k, "line\nfeed\nmore", qv::reg_dword, "\x02\0\0\0"s), "ok");
    ASSERT_EQ(c.set(k, "back\\slash", qv::reg_dword, "\x03\0\0\0"s), "ok");
    const std::string esc = qv::escape(k);

    qv::Server& server = start_server();
    EXPECT_EQ(server.request("rmregvalue", esc), "error invalid command line");
    EXPECT_EQ(server.request("rmregvalue", ""), "error invalid command line");
    EXPECT_EQ(server.request("rmregvalue", "HKXX\\\\x\\nline"), "error not a valid root key");
    EXPECT_EQ(server.request("rmregvalue", esc + "\\\\missing\\nline"), "error unable to open registry key");
    EXPECT_EQ(server.request("rmregvalue", esc + "\\nnosuch"), "error unable to delete value");
    // Only the first LF separates: this deletes the value with LFs in its name.
    EXPECT_EQ(server.request("rmregvalue", qv::escape(k + "\nline\nfeed\nmore")), "success");
    EXPECT_EQ(c.query(k, "line\nfeed\nmore"), "value 2");
    EXPECT_EQ(c.query(k, "line"), "4 01000000");
    EXPECT_TRUE(qv::delete_value(server, k, "back\\slash"));
    EXPECT_EQ(c.query(k, "back\\slash"), "value 2");
    // Path and separator alone: the default value, once.
    EXPECT_EQ(server.request("rmregvalue", esc + "\\n"), "success");
    EXPECT_EQ(c.query(k, ""), "value 2");
    EXPECT_EQ(qv::delete_value(server, k, "").error(), "error unable to delete value");
    EXPECT_EQ(server.request("getregkey", k), "value line\\0 4 01000000\n");
}

}  // namespace
