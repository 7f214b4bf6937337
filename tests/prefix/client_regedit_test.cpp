// qvctl's .reg files beside the platform's own editor: the same bytes for the
// same keys, and each side's file read by the other into the same registry.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "client_support.h"
#include "qv/regfile.h"
#include "qv/text.h"
#include "registry_support.h"

namespace {

using clienttest::qvctl;
using namespace std::string_literals;

std::string u16(const std::string& s) { return qv::utf8_to_utf16le(s); }

// "regedit ARGS" in the test prefix; its exit code.
int regedit(const std::vector<std::string>& args) {
    qv::LaunchOptions o = qvtest::options_for("regedit");
    o.wine = qv::default_wine_loader();
    o.args = args;
    qv::RunResult r = qv::run_program(o, qvtest::patience(qv::Millis(120000))).value;
    EXPECT_EQ(r.exit_code, 0) << "regedit " << args.at(0) << ": " << r.err;
    return r.exit_code;
}

std::vector<std::string> dump(regtest::Checker& c, const std::string& key) {
    std::vector<std::string> out = clienttest::lines(c.ask_through("dump 64 " + regtest::arg(key), "done"));
    EXPECT_FALSE(out.empty());
    if (!out.empty())
        out.pop_back();  // "done"
    return out;
}

// The first line where two UTF-16 files differ, for the failure message.
std::string first_difference(const std::string& ours, const std::string& theirs) {
    std::vector<std::string> a = clienttest::lines(qv::utf16le_to_utf8(ours)),
                             b = clienttest::lines(qv::utf16le_to_utf8(theirs));
    for (size_t i = 0; i < std::max(a.size(), b.size()); i++) {
        std::string x = i < a.size() ? a[i] : "<end>", y = i < b.size() ? b[i] : "<end>";
        if (x != y)
            return "line " + std::to_string(i + 1) + "\nours:   " + x + "\ntheirs: " + y;
    }
    return "same lines, other bytes";
}

TEST(ClientRegedit, ExportsAreTheEditorsByteForByte) {
    for (const std::string key :
         {"HKEY_CURRENT_USER\\Software\\Wine", "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion"}) {
        std::string theirs = clienttest::scratch("editor.reg"), ours = clienttest::scratch("ours.reg");
        ASSERT_EQ(regedit({"/e", theirs, key}), 0);
        qv::RunResult r = qvctl({"reg", "export", key, ours});
        // Keys that the platform itself cannot list (Perflib\009 in the second) are a warning.
        EXPECT_EQ(r.exit_code, 0) << key << ": " << r.err;
        std::string a = clienttest::read_file(ours), b = clienttest::read_file(theirs);
        EXPECT_GT(b.size(), 1000u) << key;
        EXPECT_TRUE(a == b) << key << ": " << first_difference(a, b);
        unlink(theirs.c_str());
        unlink(ours.c_str());
    }
}

class ClientRegeditTrees : public ::testing::Test {
protected:
    void SetUp() override { checker_.rmtree(key_, "64"); }
    void TearDown() override { SetUp(); }
    // Every kind of value the editor stores as it is, names and text in Windows-1252.
    void plant() {
        struct V {
            std::string sub, name;
            unsigned type;
            std::string data;
        };
        const std::vector<V> values = {
            {"", "", 1, u16("Grüße €") + "\0\0"s},
            {"", "näme ‰", 1, u16("line\r\nbreak \"quoted\" back\\slash") + "\0\0"s},
            {"", "expand", 2, u16("%SystemRoot%\\ä") + "\0\0"s},
            {"", "multi", 7, u16("one") + "\0\0"s + u16("twö") + "\0\0\0\0"s},
            {"", "binary", 3, std::string(200, '\x7f') + "\x80"s},
            {"", "dword", 4, "\x78\x56\x34\x12"s},
            {"", "qword", 11, "\x01\x02\x03\x04\x05\x06\x07\x08"s},
            {"", "none", 0, ""},
            {"Sub\\Dëeper", "x", 3, "\x01"s},
        };
        for (const V& v : values)
            ASSERT_EQ(checker_.set(v.sub.empty() ? key_ : key_ + "\\" + v.sub, v.name, v.type, v.data, "64"), "ok")
                << v.name;
        ASSERT_EQ(checker_.mkkey(key_ + "\\Empty", "64"), "ok");
        original_ = dump(checker_, key_);
        ASSERT_GE(original_.size(), 12u);
    }
    // The tree removed, then `file` written back by the editor or by qvctl.
    void restore(const std::string& file, bool by_editor) {
        ASSERT_EQ(checker_.rmtree(key_, "64"), "ok");
        if (by_editor)
            ASSERT_EQ(regedit({"/s", file}), 0);
        else {
            qv::RunResult r = qvctl({"reg", "import", file});
            ASSERT_EQ(r.exit_code, 0) << r.err;
        }
    }
    regtest::Checker checker_;
    // A key of each test's own: ctest runs the two tests at once.
    const std::string key_ = regtest::test_key();
    std::vector<std::string> original_;
};

TEST_F(ClientRegeditTrees, EachSidesFileImportsThroughTheOther) {
    plant();
    std::string ours = clienttest::scratch("ours.reg"), ours4 = clienttest::scratch("ours4.reg"),
                theirs = clienttest::scratch("theirs.reg");
    ASSERT_EQ(qvctl({"reg", "export", key_, ours}).exit_code, 0);
    ASSERT_EQ(qvctl({"reg", "export", key_, ours4, "--regedit4"}).exit_code, 0);
    ASSERT_EQ(regedit({"/e", theirs, qv::long_root_path(key_)}), 0);

    restore(ours, true);
    EXPECT_EQ(dump(checker_, key_), original_) << "qvctl's version 5 file through the editor";
    restore(ours4, true);
    EXPECT_EQ(dump(checker_, key_), original_) << "qvctl's REGEDIT4 file through the editor";
    restore(theirs, false);
    EXPECT_EQ(dump(checker_, key_), original_) << "the editor's file through qvctl";
    for (const std::string& f : {ours, ours4, theirs})
        unlink(f.c_str());
}

TEST_F(ClientRegeditTrees, AValueNoWayCanStoreAsItIsRefusesTheWholeFile) {
    ASSERT_EQ(checker_.set(key_, "b", 1, u16("before") + "\0\0"s, "64"), "ok");
    std::string file = clienttest::scratch("odd.reg");
    clienttest::write_file(file, "Windows Registry Editor Version 5.00\n[" + key_ +
                                     "]\n\"a\"=dword:1\n\"b\"=hex(1):41,00,42\n");
    qv::RunResult r = qvctl({"reg", "import", file});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("\"b\""), std::string::npos) << r.err;
    EXPECT_EQ(checker_.query(key_, "b", "64"), "1 " + regtest::hex(u16("before") + "\0\0"s));
    EXPECT_EQ(checker_.query(key_, "a", "64"), "value 2");
    unlink(file.c_str());
}

}  // namespace
