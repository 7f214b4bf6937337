// Registry trees through qvctl: export to .reg, import elsewhere, compared
// value for value by a reader that does not use the server, and against the
// platform's own registry editor.
#include <gtest/gtest.h>

#include <map>
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

// Every kind of value, odd names, nesting and an empty key, planted without the server.
void plant(regtest::Checker& c, const std::string& key) {
    struct V {
        std::string sub, name;
        unsigned type;
        std::string data;
    };
    const std::vector<V> values = {
        {"", "", 1, u16("the default") + "\0\0"s},
        {"", "text", 1, u16("C:\\Program Files\\\"quoted\"") + "\0\0"s},
        {"", "quo\"te\\back\\slash", 1, u16("x") + "\0\0"s},
        {"", "ünïcödé €", 1, u16("wërt ✓") + "\0\0"s},
        {"", "expand", 2, u16("%SystemRoot%\\system32") + "\0\0"s},
        {"", "multi", 7, u16("one") + "\0\0"s + u16("two words") + "\0\0"s + u16("three\\") + "\0\0\0\0"s},
        {"", "empty multi", 7, "\0\0"s},
        {"", "binary", 3, "\x00\x01\x7f\x80\xff"s},
        {"", "long binary", 3, std::string(700, '\x5a') + "\x01"s},
        {"", "empty binary", 3, ""},
        {"", "dword", 4, "\x78\x56\x34\x12"s},
        {"", "qword", 11, "\x01\x02\x03\x04\x05\x06\x07\x08"s},
        {"", "none", 0, ""},
        {"", "none with data", 0, "\xde\xad"s},
        {"", "big endian", 5, "\x00\x00\x01\x00"s},
        {"", "line\nfeed", 1, u16("a\r\nb") + "\0\0"s},
        {"Sub", "inner", 4, "\x01\x00\x00\x00"s},
        {"Sub\\Deeper Still", "deep", 1, u16("bottom") + "\0\0"s},
        {"Sub\\Ünï", "x", 3, "\x01"s},
    };
    for (const V& v : values) {
        std::string k = v.sub.empty() ? key : key + "\\" + v.sub;
        ASSERT_EQ(c.set(k, v.name, v.type, v.data, "64"), "ok") << v.name;
    }
    ASSERT_EQ(c.mkkey(key + "\\Empty", "64"), "ok");
}

// The whole tree below a key, paths relative to it, as the checker reads it.
std::vector<std::string> dump(regtest::Checker& c, const std::string& key) {
    std::string text = c.ask_through("dump 64 " + regtest::arg(key), "done");
    std::vector<std::string> out = clienttest::lines(text);
    EXPECT_FALSE(out.empty());
    if (!out.empty())
        out.pop_back();  // "done"
    return out;
}

class ClientRegFile : public ::testing::Test {
protected:
    void SetUp() override {
        for (const std::string* k : {&from_, &to_, &to4_, &from_editor_})
            checker_.rmtree(*k, "64");
    }
    void TearDown() override { SetUp(); }
    regtest::Checker checker_;
    const std::string from_ = "HKCU\\Software\\QvTest\\ClientRegFile.From";
    const std::string to_ = "HKCU\\Software\\QvTest\\ClientRegFile.To";
    const std::string to4_ = "HKCU\\Software\\QvTest\\ClientRegFile.To4";
    const std::string from_editor_ = "HKCU\\Software\\QvTest\\ClientRegFile.FromEditor";
};

TEST_F(ClientRegFile, ExportReimportedElsewhereMatchesValueForValue) {
    plant(checker_, from_);
    std::vector<std::string> original = dump(checker_, from_);
    ASSERT_GE(original.size(), 24u);

    std::string file = clienttest::scratch("tree.reg");
    qv::RunResult ex = qvctl({"reg", "export", from_, file});
    ASSERT_EQ(ex.exit_code, 0) << ex.err;
    EXPECT_EQ(ex.out, "exported 5 keys, 19 values to " + file + "\n");
    std::string bytes = clienttest::read_file(file);
    EXPECT_EQ(bytes.substr(0, 2), "\xff\xfe");  // version 5 as UTF-16LE with BOM

    qv::RunResult im = qvctl({"reg", "import", file, "--to", to_});
    ASSERT_EQ(im.exit_code, 0) << im.err;
    // Only the name with a line feed, which no write request carries, needs the editor.
    EXPECT_EQ(im.out, "imported 5 keys, 19 values (1 through the registry editor)\n");
    EXPECT_EQ(dump(checker_, to_), original);

    // REGEDIT4 is Windows-1252 text: a check mark is refused, naming the value,
    // instead of being written as '?'.
    std::string file4 = clienttest::scratch("tree4.reg");
    qv::RunResult refused = qvctl({"reg", "export", from_, file4, "--regedit4"});
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_NE(refused.err.find("\"ünïcödé €\" holds text that REGEDIT4"), std::string::npos) << refused.err;
    // Without it, REGEDIT4 holds the same as version 5.
    ASSERT_EQ(checker_.set(from_, "ünïcödé €", 1, u16("wërt") + "\0\0"s, "64"), "ok");
    original = dump(checker_, from_);
    ASSERT_EQ(qvctl({"reg", "export", from_, file4, "--regedit4"}).exit_code, 0);
    EXPECT_EQ(clienttest::read_file(file4).rfind("REGEDIT4\r\n", 0), 0u);
    ASSERT_EQ(qvctl({"reg", "import", file4, "--to", to4_}).exit_code, 0);
    EXPECT_EQ(dump(checker_, to4_), original);

    // Export to standard output, deletions read back from a file.
    std::string del = clienttest::scratch("del.reg");
    clienttest::write_file(del, "REGEDIT4\n\n[-" + to_ + "\\Sub]\n[" + to_ + "]\n\"dword\"=-\n\"not there\"=-\n");
    qv::RunResult d = qvctl({"reg", "import", del});
    EXPECT_EQ(d.exit_code, 0) << d.err;
    EXPECT_EQ(d.out, "imported 1 keys, 0 values; deleted 1 keys, 2 values\n");
    EXPECT_FALSE(checker_.exists(to_ + "\\Sub", "64"));
    EXPECT_EQ(checker_.query(to_, "dword", "64"), "value 2");
    EXPECT_EQ(checker_.query(to_, "qword", "64"), "11 0102030405060708");
    for (const std::string& f : {file, file4, del})
        unlink(f.c_str());
}

TEST_F(ClientRegFile, AgreesWithThePlatformEditor) {
    plant(checker_, from_);
    std::string theirs = clienttest::scratch("editor.reg"), ours = clienttest::scratch("ours.reg");
    qv::LaunchOptions o = qvtest::options_for("regedit");
    o.wine = qv::default_wine_loader();
    o.args = {"/e", theirs, qv::long_root_path(from_)};
    qv::RunResult r = qvtest::run_wine_tool(o, qvtest::patience(qv::Millis(120000)));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string editor_bytes = clienttest::read_file(theirs);
    ASSERT_EQ(editor_bytes.substr(0, 2), "\xff\xfe");
    ASSERT_EQ(qvctl({"reg", "export", from_, ours}).exit_code, 0);
    qv::RegFile a = qv::parse_regfile(editor_bytes), b = qv::parse_regfile(clienttest::read_file(ours));
    ASSERT_EQ(a.keys.size(), b.keys.size());
    for (size_t i = 0; i < a.keys.size(); i++) {
        EXPECT_EQ(qv::long_root_path(a.keys[i].path), qv::long_root_path(b.keys[i].path));
        std::map<std::string, std::pair<uint32_t, std::string>> va, vb;
        for (const auto& v : a.keys[i].values)
            va[v.name] = {v.type, qv::to_hex(v.data)};
        for (const auto& v : b.keys[i].values)
            vb[v.name] = {v.type, qv::to_hex(v.data)};
        EXPECT_EQ(va, vb) << a.keys[i].path;
    }
    // And the editor's file imports through qvctl to the same tree.
    ASSERT_EQ(qvctl({"reg", "import", theirs, "--from", from_, "--to", from_editor_}).exit_code, 0);
    EXPECT_EQ(dump(checker_, from_editor_), dump(checker_, from_));
    unlink(theirs.c_str());
    unlink(ours.c_str());
}

TEST_F(ClientRegFile, BadFilesChangeNothing) {
    std::string file = clienttest::scratch("bad.reg");
    // The second key lies outside --from: refused before anything is written.
    clienttest::write_file(file, "REGEDIT4\n[" + from_ + "]\n\"a\"=dword:1\n[HKCU\\Software\\QvTest\\Elsewhere]\n");
    qv::RunResult r = qvctl({"reg", "import", file, "--to", to_});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(r.err.find("is not below") != std::string::npos) << r.err;
    EXPECT_FALSE(checker_.exists(to_, "64"));
    // A malformed line anywhere: nothing of the file is written.
    clienttest::write_file(file, "REGEDIT4\n[" + to_ + "]\n\"a\"=dword:1\n\"b\"=hex:0g\n");
    r = qvctl({"reg", "import", file});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(r.err.find("line 4: ") != std::string::npos) << r.err;
    EXPECT_FALSE(checker_.exists(to_, "64"));
    // A missing key to export.
    r = qvctl({"reg", "export", to_, file});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.err.find("no such key") != std::string::npos) << r.err;
    unlink(file.c_str());
}

}  // namespace
