// Views: in the 64-bit server "32\" reaches only the 32-bit view and "3264\"
// both; a 32-bit server makes one pass in its default view, which is the
// 32-bit view; the gate that decides it. HKLM\Software is redirected for
// the 32-bit view on Wine (HKCU\Software is shared), so these tests live there.
#include <gtest/gtest.h>

#include <string>

#include "qv/escape.h"
#include "registry_support.h"

namespace {

using namespace std::string_literals;
using qv::RegView;
using RegistryViews = regtest::RegistryTest;

TEST_F(RegistryViews, Win32WritesLandOnlyInThe32BitView) {
    if (qvtest::testing_32bit_build())
        GTEST_SKIP() << "a 32-bit server makes one pass in its default view";
    const std::string k = key("HKLM");
    qv::Server& server = start_server();
    ASSERT_EQ(qv::set_dword(server, k, "only32", 0x32, RegView::win32).error(), "");
    EXPECT_EQ(c.query(k, "only32", "32"), "4 32000000");
    EXPECT_EQ(c.query(k, "only32", "64"), "open 2");
    EXPECT_EQ(server.request("getregkey", "32\\" + k), "value only32\\0 4 32000000\n");
    EXPECT_EQ(server.request("getregkey", k), "errno 2");
    EXPECT_EQ(qv::list_key(server, k, RegView::win32)->find("only32")->dword(), 0x32u);
    // Values of every type and one-value reads take the view as well.
    EXPECT_EQ(server.request("setregkey", qv::escape("32\\" + k + "\nq32\nhex(b):01,00,00,00,00,00,00,80")),
              "success");
    EXPECT_EQ(c.query(k, "q32", "32"), "11 0100000000000080");
    EXPECT_EQ(c.query(k, "q32", "64"), "open 2");
    EXPECT_EQ(server.request("getregvalue", qv::escape("32\\" + k + "\nq32")), "value q32\\0 11 0100000000000080\n");
    EXPECT_EQ(server.request("getregvalue", qv::escape(k + "\nq32")), "errno 2");

    // And as Wine's own tool sees the two views; a value of the 64-bit view's
    // own makes the key exist there, so its query lists it.
    ASSERT_EQ(c.set(k, "only64", 4, "\x64\0\0\0"s, "64"), "ok");
    const std::string full = "HKEY_LOCAL_MACHINE" + k.substr(4);
    std::string in32 = regtest::reg_query(full, "32"), in64 = regtest::reg_query(full, "64");
    EXPECT_NE(in32.find("only32"), std::string::npos) << in32;
    EXPECT_NE(in32.find("0x32"), std::string::npos) << in32;
    EXPECT_EQ(in64.find("only32"), std::string::npos) << in64;
    EXPECT_NE(in64.find("only64"), std::string::npos) << in64;
    EXPECT_EQ(in32.find("only64"), std::string::npos) << in32;
}

TEST_F(RegistryViews, BothWritesLandInEachViewWithOneSuccess) {
    if (qvtest::testing_32bit_build())
        GTEST_SKIP() << "a 32-bit server makes one pass in its default view";
    const std::string k = key("HKLM");
    qv::Server& server = start_server();
    EXPECT_EQ(server.request("setregkey", qv::escape("3264\\" + k + "\nboth\nstr:x")), "success");
    EXPECT_EQ(c.query(k, "both", "64"), "1 78000000");
    EXPECT_EQ(c.query(k, "both", "32"), "1 78000000");
    const std::string full = "HKEY_LOCAL_MACHINE" + k.substr(4);
    EXPECT_NE(regtest::reg_query(full, "32").find("both"), std::string::npos);
    EXPECT_NE(regtest::reg_query(full, "64").find("both"), std::string::npos);

    // Deleting the tree in the 32-bit view leaves the default view's key.
    EXPECT_TRUE(qv::delete_tree(server, k, RegView::win32));
    EXPECT_FALSE(c.exists(k, "32"));
    EXPECT_TRUE(c.exists(k, "64"));
    EXPECT_TRUE(qv::set_dword(server, k + "\\sub", "v", 1, RegView::both));
    EXPECT_EQ(server.request("rmregtree", qv::escape("3264\\" + k)), "success");
    EXPECT_FALSE(c.exists(k, "32"));
    EXPECT_FALSE(c.exists(k, "64"));
}

TEST_F(RegistryViews, BothDeletionStopsAtTheFirstFailedPassAndKeepsTheFirstPassesWork) {
    if (qvtest::testing_32bit_build())
        GTEST_SKIP() << "a 32-bit server makes one pass in its default view";
    const std::string k = key("HKLM");
    ASSERT_EQ(c.set(k, "v", qv::reg_dword, "\x01\0\0\0"s, "64"), "ok");
    ASSERT_EQ(c.mkkey(k, "32"), "ok");
    qv::Server& server = start_server();
    EXPECT_EQ(qv::delete_value(server, k, "v", RegView::both).error(), "error unable to delete value");
    EXPECT_EQ(c.query(k, "v", "64"), "value 2");

    // Without the key in the 32-bit view the second pass cannot open it.
    ASSERT_EQ(c.rmtree(k, "32"), "ok");
    ASSERT_EQ(c.set(k, "w", qv::reg_dword, "\x01\0\0\0"s, "64"), "ok");
    EXPECT_EQ(server.request("rmregvalue", qv::escape("3264\\" + k + "\nw")), "error unable to open registry key");
    EXPECT_EQ(c.query(k, "w", "64"), "value 2");
}

TEST_F(RegistryViews, A32BitServerWritesBothAndWin32PathsOnceInItsDefaultView) {
    if (!qvtest::testing_32bit_build())
        GTEST_SKIP() << "the 64-bit server keeps the parsed view";
    const std::string k = key("HKLM");
    qv::Server& server = start_server();
    EXPECT_EQ(server.request("setregkey", qv::escape("3264\\" + k + "\nboth\nstr:x")), "success");
    EXPECT_EQ(c.query(k, "both", "32"), "1 78000000");
    EXPECT_EQ(c.query(k, "both", "64"), "open 2");

    // "32\" and no prefix reach the same keys.
    EXPECT_EQ(server.request("setregkey", qv::escape("32\\" + k + "\nw32\ndword:5")), "success");
    EXPECT_EQ(server.request("setregkey", qv::escape(k + "\nplain\ndword:6")), "success");
    const std::string listing = server.request("getregkey", k);
    EXPECT_EQ(server.request("getregkey", "32\\" + k), listing);
    EXPECT_NE(listing.find("value w32\\0 4 05000000\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("value plain\\0 4 06000000\n"), std::string::npos) << listing;
    EXPECT_EQ(server.request("getregvalue", qv::escape("32\\" + k + "\nw32")), "value w32\\0 4 05000000\n");
    EXPECT_EQ(server.request("getregvalue", qv::escape(k + "\nw32")), "value w32\\0 4 05000000\n");
    EXPECT_EQ(c.query(k, "plain", "32"), "4 06000000");
    EXPECT_EQ(server.request("rmregvalue", qv::escape("32\\" + k + "\nplain")), "success");
    EXPECT_EQ(server.request("rmregvalue", qv::escape(k + "\nw32")), "success");
    EXPECT_EQ(c.query(k, "w32", "32"), "value 2");
    EXPECT_EQ(server.request("rmregtree", qv::escape("3264\\" + k)), "success");
    EXPECT_FALSE(c.exists(k, "32"));
}

TEST_F(RegistryViews, TheGateKeepsTheViewOnlyInA64BitBuild) {
    regtest::LineProgram units("registry_units.exe");
    // views: 0 REG_WIN32, 1 REG_NATIVE, 2 REG_BOTH
    for (int arch : {0, 1, 2}) {
        EXPECT_EQ(units.ask("gate " + std::to_string(arch) + " 0"), "1") << arch;
        EXPECT_EQ(units.ask("gate " + std::to_string(arch) + " 1"), std::to_string(arch)) << arch;
    }
    // The view flag is added exactly in a 32-bit pass.
    EXPECT_EQ(units.ask("access 20019 1"), "20019");
    EXPECT_EQ(units.ask("access 20019 0"), "20219");
    EXPECT_EQ(units.ask("access 2001b 0"), "2021b");
    EXPECT_EQ(units.ask("access f003f 2"), "f003f");
    EXPECT_EQ(units.ask("access f003f 0"), "f023f");
}

}  // namespace
