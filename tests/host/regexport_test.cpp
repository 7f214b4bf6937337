// Exporting a tree against a scripted stand-in for the server: what the
// platform cannot list is a warning, a real gap is reported, and a top key
// that cannot be asked for is refused before anything is sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qv/regtree.h"
#include "scripted_server.h"

namespace {

// HKCU\T holds a value and three subkeys: Perf (its enumeration ends with
// "invalid handle", as the performance-counter keys do), Locked (ends with
// "access denied") and Fine.
const char kScript[] =
    "printf 'QVMANIP OK\\n'\n"
    "while IFS= read -r line; do\n"
    "  printf '%s\\n' \"$line\" >>\"$QV_LOG\"\n"
    "  case \"$line\" in\n"
    "    quit*) exit 0 ;;\n"
    "    'getregkey HKCU\\T') printf '%s\\n' 'value v\\0 4 01000000' 'subkey Perf' 'subkey Locked' 'subkey Fine' '' end ;;\n"
    "    'getregkey HKCU\\T\\Perf') printf '%s\\n' 'errno 6' 'errno 6' '' end ;;\n"
    "    'getregkey HKCU\\T\\Locked') printf '%s\\n' 'value a\\0 4 01000000' 'errno 5' '' end ;;\n"
    "    getregkey*) printf '\\nend\\n' ;;\n"
    "    *) printf 'success\\nend\\n' ;;\n"
    "  esac\n"
    "done\n";

TEST(TreeExport, WhatThePlatformCannotListIsAWarningARealGapIsNot) {
    hosttest::ScriptedServer server("export", kScript);
    qv::Session session(server.options);
    qv::Result<qv::TreeExport> ex = qv::export_tree(session, "HKEY_CURRENT_USER\\T");
    ASSERT_TRUE(ex.failure);
    EXPECT_EQ(ex.failure->kind, qv::Failure::Kind::incomplete);
    // The message names the key with the real gap, and only it.
    EXPECT_NE(ex.failure->message.find("\n  HKCU\\T\\Locked: "), std::string::npos) << ex.failure->message;
    EXPECT_EQ(ex.failure->message.find("Perf"), std::string::npos) << ex.failure->message;
    ASSERT_EQ(ex->file.keys.size(), 4u);  // the partial export comes with it
    EXPECT_EQ(ex->file.keys[1].path, "HKEY_CURRENT_USER\\T\\Perf");
    EXPECT_EQ(ex->file.keys[2].values.size(), 1u);
    ASSERT_EQ(ex->warnings.size(), 1u);
    EXPECT_EQ(ex->warnings[0].rfind("HKCU\\T\\Perf: ", 0), 0u) << ex->warnings[0];

    qv::Result<qv::TreeExport> perf = qv::export_tree(session, "HKCU\\T\\Perf");
    EXPECT_TRUE(perf.ok()) << perf.error();
    EXPECT_EQ(perf->warnings.size(), 1u);
    EXPECT_EQ(perf->file.keys.size(), 1u);
}

TEST(TreeExport, ATopKeyThatCannotBeAskedForIsRefusedBeforeSending) {
    hosttest::ScriptedServer server("export", kScript);
    qv::Session session(server.options);
    for (const auto& [key, view] : {std::pair<std::string, qv::RegView>{"HKCU\\line\nfeed", qv::RegView::native},
                                    {"HKCU\\T", qv::RegView::both},
                                    {"HKCC\\T", qv::RegView::native}}) {
        qv::Result<qv::TreeExport> ex = qv::export_tree(session, key, view);
        ASSERT_TRUE(ex.failure) << key;
        EXPECT_EQ(ex.failure->kind, qv::Failure::Kind::refused) << key;
        EXPECT_TRUE(ex->file.keys.empty());
    }
    EXPECT_TRUE(server.lines("log").empty());
}

}  // namespace
