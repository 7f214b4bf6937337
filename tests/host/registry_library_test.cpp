// The registry calls' request building and listing parser, without a server.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "qv/registry.h"
#include "qv/text.h"

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
    qv::Server none;  // not started: anything sent would throw instead
    auto refused = [](const auto& r) { return !r && r.failure->kind == qv::Failure::Kind::refused; };
    EXPECT_TRUE(refused(qv::set_dword(none, "HKCU\\a", "line\nfeed", 1)));
    EXPECT_TRUE(refused(qv::set_dword(none, "HKCU\\a\nb", "v", 1)));
    EXPECT_TRUE(refused(qv::delete_value(none, "HKCU\\a\nb", "v")));
    EXPECT_TRUE(refused(qv::list_key(none, "HKCU\\a\nb")));
    EXPECT_TRUE(refused(qv::list_key(none, "HKCU\\a", qv::RegView::both)));
    EXPECT_TRUE(refused(qv::delete_tree(none, "32\\HKCU\\a")));
    EXPECT_TRUE(refused(qv::delete_tree(none, "3264\\HKCU\\a", qv::RegView::win32)));
    qv::Result<void> bad = qv::set_string(none, "HKCU\\a", "v", "\xff");
    ASSERT_TRUE(refused(bad));
    EXPECT_NE(bad.failure->message.find("not valid UTF-8"), std::string::npos) << bad.failure->message;
    // The builders throw the same refusal, as a std::invalid_argument.
    EXPECT_THROW(qv::list_key_request("HKCU\\a", qv::RegView::both), qv::Refused);
}

TEST(RegistryLibrary, ListingLinesParseIntoNamesTypesAndBytes) {
    qv::Result<qv::RegKey> l = qv::parse_listing(
        "value \\0 1 =d\\0\n"
        "value a\\\\0\\nb\\0 4 2a000000\n"
        "value t\\0 7 =x\\\\0\\0y\\0\\0\n"
        "value e\\0 3 \n"
        "value \xc3\xa9\\0 2 =\xe2\x82\xac\n"
        "errno 234\n"
        "subkey k\\nend\n"
        "subkey plain\n");
    ASSERT_EQ(l->values.size(), 5u);
    EXPECT_EQ(l->values[0].name, "");
    EXPECT_EQ(l->values[0].data, "d\0\0\0"s);
    EXPECT_EQ(l->values[1].name, "a\\0\nb");
    EXPECT_EQ(l->values[1].dword(), 42u);
    EXPECT_EQ(l->values[2].strings(), (std::vector<std::string>{"x\\0", "y"}));
    EXPECT_EQ(l->values[3].data, "");
    EXPECT_EQ(l->values[4].data, "\xac\x20"s);
    EXPECT_EQ(l->subkeys, (std::vector<std::string>{"k\nend", "plain"}));
    // The value phase ended early: what was listed stays, and says so.
    ASSERT_FALSE(l);
    EXPECT_EQ(l.failure->kind, qv::Failure::Kind::incomplete);
    EXPECT_EQ(l.failure->code, 234u);
    EXPECT_EQ(l.failure->describe(),
              "the values could not all be listed: more data is available than fits (Win32 error 234)");
    // An error after the subkeys began is the subkeys'.
    qv::Result<qv::RegKey> late = qv::parse_listing("subkey a\nerrno 5\n");
    EXPECT_EQ(late->subkeys, std::vector<std::string>{"a"});
    EXPECT_EQ(late.failure->message, "the subkeys could not all be listed: access is denied");

    qv::Result<qv::RegKey> denied = qv::parse_listing("errno 5");
    EXPECT_EQ(denied.failure->kind, qv::Failure::Kind::win32);
    EXPECT_TRUE(denied.failure->is(qv::kAccessDenied));
    EXPECT_TRUE(qv::parse_listing(""));
    qv::Result<qv::RegKey> refused = qv::parse_listing("error not a valid root key");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.failure->kind, qv::Failure::Kind::server);
    EXPECT_EQ(refused.failure->message, "error not a valid root key");
    for (const char* bad : {"value x\\0 4 0\n", "value x 4 00\n", "value x\\0 1 00\n", "subkey a\nvalue b\\0 3 \n",
                            "garbage\n", "subkey a"})
        EXPECT_THROW((void)qv::parse_listing(bad), qv::ProtocolError) << bad;
}

TEST(RegistryLibrary, MultiStringsKeepEmptyElementsAndQwordsEveryBit) {
    qv::RegValue v;
    v.type = qv::reg_multi_sz;
    v.text = "a\0\0b\0\0"s;
    EXPECT_EQ(v.strings(), (std::vector<std::string>{"a", "", "b"}));
    v.text = "\0"s;  // an empty list
    EXPECT_TRUE(v.strings().empty());
    v.text = "a\0b"s;  // no terminators at all
    EXPECT_EQ(v.strings(), (std::vector<std::string>{"a", "b"}));
    v.type = qv::reg_qword;
    v.data = "\x01\x00\x00\x00\x00\x00\x20\xff"s;  // above 2^53: a double would round it
    EXPECT_EQ(v.qword(), 0xff20000000000001ull);
    v.data = "\x01\x02"s;
    EXPECT_THROW((void)v.qword(), std::logic_error);
}

TEST(Failures, EveryCodeTheServerAnswersHasWords) {
    for (qv::Win32Code code : {2u, 3u, 5u, 6u, 8u, 87u, 161u, 234u, 259u, 433u})
        EXPECT_FALSE(qv::win32_words(code).empty()) << code;
    qv::Failure f = qv::server_failure("errno 433");
    EXPECT_EQ(f.kind, qv::Failure::Kind::win32);
    EXPECT_EQ(f.describe(), "no such drive letter is defined (Win32 error 433)");
    // An unknown code still reads as words, its number given once.
    EXPECT_EQ(qv::server_failure("errno 4242").describe(), "the platform reported an error (Win32 error 4242)");
    EXPECT_EQ(qv::server_failure("error no free drive letters").describe(), "error no free drive letters");
    // Unsigned from the drive and file commands, signed from the registry's:
    // the same 32-bit code either way.
    const struct {
        const char* answer;
        std::optional<qv::Win32Code> code;
    } codes[] = {{"errno 4294967295", 4294967295u}, {"errno -1", 4294967295u}, {"errno -2147483648", 0x80000000u},
                 {"errno 4294967296", std::nullopt}, {"errno -2147483649", std::nullopt},
                 {"errno 1x", std::nullopt}, {"errno -", std::nullopt}, {"errno ", std::nullopt}};
    for (const auto& c : codes)
        EXPECT_EQ(qv::errno_code(c.answer), c.code) << c.answer;
}

TEST(RegistryLibrary, Utf16ConversionMatchesTheServers) {
    EXPECT_EQ(qv::utf8_to_utf16le("a\xc3\xa9\xf0\x9f\x98\x80"), "a\0\xe9\0\x3d\xd8\x00\xde"s);
    EXPECT_EQ(qv::utf16le_to_utf8("a\0\xe9\0\x3d\xd8\x00\xde"s), "a\xc3\xa9\xf0\x9f\x98\x80");
    EXPECT_EQ(qv::utf16le_to_utf8("\x00\xd8" "a\0" "b"s), "\xef\xbf\xbd" "a");  // lone surrogate, odd byte
}

}  // namespace
