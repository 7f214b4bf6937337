// The registry calls' request building and listing parser, without a server.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "qv/registry.h"

namespace {

using namespace std::string_literals;

TEST(RegistryLibrary, LiteralsAreWhatTheServerParses) {
    EXPECT_EQ(qv::dword_literal(0), "dword:0");
    EXPECT_EQ(qv::dword_literal(0xdeadbeef), "dword:deadbeef");
    EXPECT_EQ(qv::string_literal("a\\0b"), "str:a\\0b");
    EXPECT_EQ(qv::expand_string_literal(""), "str(2):");
    EXPECT_EQ(qv::binary_literal(""), "hex:");
    EXPECT_EQ(qv::binary_literal("\x01\xff\0"s), "hex:01,ff,00");
    EXPECT_EQ(qv::multi_string_literal({}), "str(7):");
    EXPECT_EQ(qv::multi_string_literal({"a", "b"}), "str(7):a\\0b\\0");
    // A trailing backslash and a leading '0' still split where they should.
    EXPECT_EQ(qv::multi_string_literal({"a\\", "0b"}), "str(7):a\\\\00b\\0");
}

TEST(RegistryLibrary, WhatTheWireCannotCarryIsRefused) {
    EXPECT_THROW(qv::multi_string_literal({"a\\0b"}), std::invalid_argument);
    EXPECT_THROW(qv::multi_string_literal({"a", ""}), std::invalid_argument);
    EXPECT_THROW(qv::multi_string_literal({"a\0b"s}), std::invalid_argument);
    EXPECT_THROW(qv::string_literal("nul\0inside"s), std::invalid_argument);
    EXPECT_THROW(qv::string_literal("bad \xff utf-8"), std::invalid_argument);
    EXPECT_THROW(qv::string_literal("\xed\xa0\x80"), std::invalid_argument);  // encoded surrogate
    EXPECT_THROW(qv::string_literal("\xc0\xaf"), std::invalid_argument);      // overlong
    EXPECT_THROW(qv::utf8_to_utf16le("\xe2\x82"), std::invalid_argument);     // truncated
}

TEST(RegistryLibrary, CallsRefuseBeforeSendingAnything) {
    qv::Server none;  // not started: anything sent would fail differently
    EXPECT_THROW(qv::set_dword(none, "HKCU\\a", "line\nfeed", 1), std::invalid_argument);
    EXPECT_THROW(qv::set_dword(none, "HKCU\\a\nb", "v", 1), std::invalid_argument);
    EXPECT_THROW(qv::delete_value(none, "HKCU\\a\nb", "v"), std::invalid_argument);
    EXPECT_THROW(qv::list_key(none, "HKCU\\a\nb"), std::invalid_argument);
    EXPECT_THROW(qv::list_key(none, "HKCU\\a", qv::RegView::both), std::invalid_argument);
    EXPECT_THROW(qv::delete_tree(none, "32\\HKCU\\a"), std::invalid_argument);
    EXPECT_THROW(qv::delete_tree(none, "3264\\HKCU\\a", qv::RegView::win32), std::invalid_argument);
    EXPECT_THROW(qv::set_string(none, "HKCU\\a", "v", "\xff"), std::invalid_argument);
}

TEST(RegistryLibrary, ListingLinesParseIntoNamesTypesAndBytes) {
    qv::RegListing l = qv::parse_listing(
        "value \\0 1 =d\\0\n"
        "value a\\\\0\\nb\\0 4 2a000000\n"
        "value t\\0 7 =x\\\\0\\0y\\0\\0\n"
        "value e\\0 3 \n"
        "value \xc3\xa9\\0 2 =\xe2\x82\xac\n"
        "errno 234\n"
        "subkey k\\nend\n"
        "subkey plain\n");
    ASSERT_EQ(l.values.size(), 5u);
    EXPECT_EQ(l.values[0].name, "");
    EXPECT_EQ(l.values[0].data, "d\0\0\0"s);
    EXPECT_EQ(l.values[1].name, "a\\0\nb");
    EXPECT_EQ(l.values[1].dword(), 42u);
    EXPECT_EQ(l.values[2].strings(), (std::vector<std::string>{"x\\0", "y"}));
    EXPECT_EQ(l.values[3].data, "");
    EXPECT_EQ(l.values[4].data, "\xac\x20"s);
    EXPECT_EQ(l.enum_errors, std::vector<long>{234});
    EXPECT_EQ(l.subkeys, (std::vector<std::string>{"k\nend", "plain"}));
    EXPECT_FALSE(l.complete());

    EXPECT_EQ(qv::parse_listing("errno 5").open_error, 5);
    EXPECT_TRUE(qv::parse_listing("").complete());
    qv::RegListing refused = qv::parse_listing("error not a valid root key");
    EXPECT_EQ(refused.error, "error not a valid root key");
    EXPECT_FALSE(refused.exists());
    EXPECT_FALSE(refused.complete());
    for (const char* bad : {"value x\\0 4 0\n", "value x 4 00\n", "value x\\0 1 00\n", "subkey a\nvalue b\\0 3 \n",
                            "garbage\n", "subkey a"})
        EXPECT_THROW(qv::parse_listing(bad), qv::ProtocolError) << bad;
}

TEST(RegistryLibrary, Utf16ConversionMatchesTheServers) {
    EXPECT_EQ(qv::utf8_to_utf16le("a\xc3\xa9\xf0\x9f\x98\x80"), "a\0\xe9\0\x3d\xd8\x00\xde"s);
    EXPECT_EQ(qv::utf16le_to_utf8("a\0\xe9\0\x3d\xd8\x00\xde"s), "a\xc3\xa9\xf0\x9f\x98\x80");
    EXPECT_EQ(qv::utf16le_to_utf8("\x00\xd8" "a\0" "b"s), "\xef\xbf\xbd" "a");  // lone surrogate, odd byte
}

}  // namespace
