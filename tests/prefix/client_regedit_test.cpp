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

// Every type and byte goes to the server itself, the editor never starts;
// only a name with LF (which no write request carries) still needs the
// editor, which would change text of odd length: such a file is refused whole.
TEST_F(ClientRegeditTrees, EveryValueIsStoredExactlyByTheServer) {
    ASSERT_EQ(checker_.set(key_, "b", 1, u16("before") + "\0\0"s, "64"), "ok");
    std::string file = clienttest::scratch("odd.reg");
    clienttest::write_file(file, "Windows Registry Editor Version 5.00\n[" + key_ +
                                     "]\n\"a\"=dword:1\n\"b\"=hex(1):41,00,42\n\"q\"=hex(b):01,02,03,04,05,06,07,88\n"
                                     "\"n\"=hex(0):\n\"r\"=hex(8):00,ff\n");
    qv::RunResult r = qvctl({"--json", "reg", "import", file});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("\"via_editor\":0"), std::string::npos) << r.out;
    const std::pair<const char*, const char*> stored[] = {
        {"a", "4 01000000"}, {"b", "1 410042"}, {"q", "11 0102030405060788"}, {"n", "0 "}, {"r", "8 00ff"}};
    for (const auto& [name, query] : stored)
        EXPECT_EQ(checker_.query(key_, name, "64"), query) << name;

    clienttest::write_file(file, "Windows Registry Editor Version 5.00\n[" + key_ +
                                     "]\n\"a2\"=dword:1\n\"x\\ny\"=hex(1):41,00,42\n");
    r = qvctl({"reg", "import", file});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("\"x\ny\""), std::string::npos) << r.err;
    EXPECT_EQ(checker_.query(key_, "a2", "64"), "value 2");
    unlink(file.c_str());
}

}  // namespace
