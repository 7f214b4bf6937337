// The library's parsers and request builders on answers the real server gave
// (recorded/*.answers, made by recorded/record.sh from recorded/*.requests).
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "qv/files.h"
#include "qv/framing.h"
#include "qv/registry.h"
#include "qv/text.h"

namespace {

using namespace std::string_literals;

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The request lines of a recording with the answers framed out of the
// server's output, in order.
struct Recording {
    std::vector<std::pair<std::string, std::string>> exchanges;

    explicit Recording(const std::string& name) {
        std::string dir = QV_RECORDED_DIR;
        std::istringstream requests(slurp(dir + "/" + name + ".requests"));
        qv::FrameReader framer;
        framer.feed(slurp(dir + "/" + name + ".answers"));
        std::string answer;
        EXPECT_EQ(framer.next(&answer), qv::FrameReader::Status::handshake);
        for (std::string line; std::getline(requests, line);) {
            EXPECT_EQ(framer.next(&answer), qv::FrameReader::Status::answer) << "no answer to " << line;
            exchanges.emplace_back(line, answer);
        }
        EXPECT_EQ(framer.next(&answer), qv::FrameReader::Status::incomplete);
        EXPECT_TRUE(framer.pending().empty()) << "answers beyond the requests";
    }

    // The answer to the n-th request that is exactly line (n from 0).
    std::string operator()(const std::string& line, int n = 0) const {
        for (const auto& [request, answer] : exchanges)
            if (request == line && n-- == 0)
                return answer;
        ADD_FAILURE() << "not recorded: " << line;
        return {};
    }
    bool has(const std::string& line) const {
        for (const auto& e : exchanges)
            if (e.first == line)
                return true;
        return false;
    }
};

// A request as the session writes it, without the LF.
std::string line_of(const qv::Request& r) { return r.args.empty() ? r.command : r.command + " " + r.args; }

const char kKey[] = "HKCU\\Software\\qvtools recorded";

TEST(RecordedRegistry, ListingOfEveryValueKindDecodesTypesBytesAndText) {
    Recording rec("registry");
    qv::Result<qv::RegKey> l = qv::parse_listing(rec("getregkey HKCU\\Software\\qvtools recorded"));
    ASSERT_TRUE(l);
    std::vector<std::string> names;
    for (const qv::RegValue& v : l->values)
        names.push_back(v.name);
    EXPECT_EQ(names, (std::vector<std::string>{"", "back\\slash \\\\0 name", "big endian", "binary", "dword", "empty",
                                               "expand", "line\nfeed", "link", "multi", "multi with empty", "none",
                                               "odd length", "odd type", "qword", "sz with nuls", "sz without nul",
                                               "text"}));
    auto value = [&](const std::string& name) -> const qv::RegValue& {
        static const qv::RegValue none;
        const qv::RegValue* v = l->find(name);
        EXPECT_NE(v, nullptr) << name;
        return v ? *v : none;
    };

    EXPECT_EQ(value("").type, qv::reg_sz);
    EXPECT_EQ(value("").string(), "the default");
    EXPECT_EQ(value("").data, qv::utf8_to_utf16le("the default"s + '\0'));
    EXPECT_EQ(value("back\\slash \\\\0 name").text, "\0"s);
    EXPECT_EQ(value("text").string(), "a \\ b \xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(value("expand").type, qv::reg_expand_sz);
    EXPECT_EQ(value("expand").string(), "%SystemRoot%\\system32");
    EXPECT_EQ(value("link").type, qv::reg_link);
    EXPECT_EQ(value("link").string(), "\\Registry\\Machine\\Software");  // stored without NUL
    EXPECT_EQ(value("link").data, qv::utf8_to_utf16le("\\Registry\\Machine\\Software"));

    EXPECT_EQ(value("multi").strings(), (std::vector<std::string>{"one", "two words"}));
    // The listing keeps every NUL unit, and the strings every element.
    EXPECT_EQ(value("multi with empty").text, "a\0\0b\0\0"s);
    EXPECT_EQ(value("multi with empty").strings(), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(value("sz without nul").string(), "xy");
    EXPECT_EQ(value("sz with nuls").text, "a\0b\0"s);
    EXPECT_EQ(value("sz with nuls").string(), "a\0b"s);
    // 9 and 3 bytes were stored: the listing drops the odd last byte.
    EXPECT_EQ(value("sz with nuls").data, "a\0\0\0b\0\0\0"s);
    EXPECT_EQ(value("odd length").data, "a\0"s);

    EXPECT_EQ(value("dword").dword(), 42u);
    EXPECT_EQ(value("line\nfeed").dword(), 1u);
    EXPECT_EQ(value("big endian").type, qv::reg_dword_big_endian);
    EXPECT_EQ(value("big endian").data, "\0\0\0\x2a"s);
    EXPECT_EQ(value("qword").type, qv::reg_qword);
    EXPECT_EQ(value("qword").data, "\x08\x07\x06\x05\x04\x03\x02\x01"s);
    EXPECT_THROW(value("qword").dword(), std::logic_error);
    EXPECT_EQ(value("binary").data, "\0\x01\xfe\xff"s);
    EXPECT_EQ(value("empty").type, qv::reg_binary);
    EXPECT_EQ(value("empty").data, "");
    EXPECT_EQ(value("none").type, qv::reg_none);
    EXPECT_EQ(value("none").data, "\x01\x02"s);
    EXPECT_EQ(value("odd type").type, 74565u);
    EXPECT_FALSE(value("odd type").is_text());
    EXPECT_EQ(value("odd type").data, "ab");

    EXPECT_EQ(l->subkeys, (std::vector<std::string>{"line\nfeed key", "sub", "\xc3\xbcn\xc3\xaf" "code"}));
}

TEST(RecordedRegistry, FailedListingsKeepTheServersTextOrCode) {
    Recording rec("registry");
    qv::Result<qv::RegKey> view32 = qv::parse_listing(rec("getregkey 32\\HKLM\\Software\\qvtools recorded"));
    ASSERT_TRUE(view32);
    ASSERT_EQ(view32->values.size(), 1u);
    EXPECT_EQ(view32->values[0].string(), "32-bit only");

    // Written to the 32-bit view only, so the native view has no such key.
    for (const char* missing : {"getregkey HKLM\\Software\\qvtools recorded",
                                "getregkey HKCU\\Software\\qvtools recorded\\missing"}) {
        qv::Result<qv::RegKey> l = qv::parse_listing(rec(missing));
        ASSERT_FALSE(l) << missing;
        EXPECT_EQ(l.failure->kind, qv::Failure::Kind::win32) << missing;
        EXPECT_TRUE(l.failure->is(qv::kFileNotFound)) << missing;
        EXPECT_EQ(l.failure->message, "not found");
    }
    // Listed again after the tree was removed.
    EXPECT_TRUE(qv::parse_listing(rec("getregkey HKCU\\Software\\qvtools recorded", 1)).failure->is(qv::kFileNotFound));

    for (const char* refused : {"getregkey HKXX\\Software", "getregkey 3264\\HKCU\\Software"}) {
        qv::Result<qv::RegKey> l = qv::parse_listing(rec(refused));
        ASSERT_FALSE(l) << refused;
        EXPECT_EQ(l.failure->kind, qv::Failure::Kind::server) << refused;
        EXPECT_EQ(l.failure->message, rec(refused));
        EXPECT_EQ(l.failure->code, 0u);
    }
    EXPECT_EQ(qv::parse_listing(rec("getregkey HKXX\\Software")).failure->message, "error not a valid root key");
}

TEST(RecordedRegistry, ModifyingAnswersAreSuccessOrTheServersMessage) {
    Recording rec("registry");
    int successes = 0;
    for (const auto& [request, answer] : rec.exchanges) {
        if (request.rfind("getregkey ", 0) == 0)
            continue;
        qv::Result<void> a = qv::parse_write(answer);
        if (a) {
            successes++;
        } else {
            EXPECT_EQ(a.failure->kind, qv::Failure::Kind::server) << request;
            EXPECT_EQ(a.failure->message, answer) << request;
            EXPECT_EQ(a.failure->code, 0u) << request;
            EXPECT_EQ(answer.rfind("error ", 0), 0u) << request;
        }
    }
    EXPECT_EQ(successes, 14);  // ten writes, one value and three trees deleted
    EXPECT_EQ(rec("setregkey HKCU\\\\Software\\\\qvtools recorded\\nv\\nfoo:1"),
              "error unable to determine registry data type");
    EXPECT_EQ(rec("rmregvalue HKCU\\\\Software\\\\qvtools recorded\\nno such value"), "error unable to delete value");
    EXPECT_EQ(rec("rmregvalue HKCU\\\\Software\\\\qvtools recorded\\\\missing\\nv"),
              "error unable to open registry key");
}

TEST(RecordedRegistry, BuildersWriteTheLinesTheServerAnswered) {
    Recording rec("registry");
    const std::string key = kKey;
    const std::vector<qv::Request> built = {
        qv::set_value_request(key, "dword", qv::dword_literal(42)),
        qv::set_value_request(key, "text", qv::string_literal("a \\ b \xc3\xa9 \xe2\x82\xac")),
        qv::set_value_request(key, "expand", qv::expand_string_literal("%SystemRoot%\\system32")),
        qv::set_value_request(key, "multi", qv::multi_string_literal({"one", "two words"})),
        qv::set_value_request(key, "binary", qv::binary_literal("\0\x01\xfe\xff"s)),
        qv::set_value_request(key, "empty", qv::binary_literal("")),
        qv::set_value_request(key, "", qv::string_literal("the default")),
        qv::set_value_request(key, "back\\slash \\\\0 name", qv::string_literal("")),
        qv::set_value_request(key + "\\sub", "x", qv::dword_literal(0)),
        qv::set_value_request("HKLM\\Software\\qvtools recorded", "view", qv::string_literal("32-bit only"),
                              qv::RegView::win32),
        qv::list_key_request(key),
        qv::list_key_request("HKLM\\Software\\qvtools recorded", qv::RegView::win32),
        qv::delete_value_request(key, "no such value"),
        qv::delete_value_request(key + "\\missing", "v"),
        qv::delete_value_request(key, "empty"),
        qv::delete_tree_request(key),
        qv::delete_tree_request("HKLM\\Software\\qvtools recorded", qv::RegView::win32),
    };
    for (const qv::Request& r : built)
        EXPECT_TRUE(rec.has(line_of(r))) << "not a recorded request: " << line_of(r);
    // The recorded answers to them are what the typed calls would report.
    EXPECT_TRUE(qv::parse_write(rec(line_of(built[1]))));
    EXPECT_TRUE(qv::parse_listing(rec(line_of(built[10])))->find("back\\slash \\\\0 name"));
    EXPECT_FALSE(qv::parse_write(rec(line_of(built[12]))));
}

TEST(RecordedFiles, ListingsTellEntriesFromErrorCodes) {
    Recording rec("files");
    auto ini = qv::parse_find_files(rec("findfiles -1 C:\\windows\\*.ini"));
    ASSERT_TRUE(ini);
    EXPECT_EQ(*ini, (std::vector<qv::DirEntry>{{"system.ini", false}, {"win.ini", false}}));
    auto users = qv::parse_find_files(rec("findfiles -1 C:\\users\\*"));
    ASSERT_TRUE(users);
    ASSERT_GE(users->size(), 3u);
    EXPECT_EQ(users->at(0), (qv::DirEntry{".", true}));
    EXPECT_EQ(users->at(1), (qv::DirEntry{"..", true}));
    EXPECT_EQ(users->at(2), (qv::DirEntry{"Public", true}));
    EXPECT_EQ(qv::parse_find_files(rec("findfiles 1 C:\\windows\\*"))->size(), 1u);
    auto none = qv::parse_find_files(rec("findfiles 0 C:\\windows\\*"));
    EXPECT_TRUE(none);
    EXPECT_TRUE(none->empty());

    auto nomatch = qv::parse_find_files(rec("findfiles 0 C:\\nomatch*"));
    ASSERT_FALSE(nomatch);
    EXPECT_TRUE(nomatch.failure->is(qv::kFileNotFound));
    EXPECT_TRUE(qv::parse_find_files(rec("findfiles -1 C:\\no\\such\\dir\\*")).failure->is(qv::kPathNotFound));
    auto bad = qv::parse_find_files(rec("findfiles C:\\windows\\*"));
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.failure->message, "error");
    EXPECT_EQ(bad.failure->code, 0u);

    EXPECT_EQ(line_of(qv::find_files_request("C:\\windows\\*.ini")), "findfiles -1 C:\\windows\\*.ini");
    EXPECT_EQ(line_of(qv::find_files_request("C:\\windows\\*", 0)), "findfiles 0 C:\\windows\\*");
}

TEST(RecordedFiles, PathsDrivesAndFolders) {
    Recording rec("files");
    const std::string c = "/tmp/qv-recorded-prefix/dosdevices/c:";
    EXPECT_EQ(qv::parse_unix_path(rec("unixpath C:\\windows")).value, c + "/windows");
    EXPECT_EQ(qv::parse_unix_path(rec("unixpath c:/no such/file.txt")).value, c + "/no such/file.txt");
    auto empty = qv::parse_unix_path(rec("unixpath"));
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.failure->message, "error");
    EXPECT_EQ(qv::parse_windows_path(rec("windowspath /tmp/qv-recorded-drive")).value, "Z:\\tmp\\qv-recorded-drive");
    EXPECT_EQ(qv::parse_windows_path(rec("windowspath")).failure->message, "error cannot convert path");
    // Each command's messages are its own.
    EXPECT_THROW((void)qv::parse_windows_path(rec("unixpath")), qv::ProtocolError);

    auto added = qv::parse_add_drive(rec("adddrive /tmp/qv-recorded-drive"));
    ASSERT_TRUE(added);
    EXPECT_EQ(*added, 'Y');
    // Mapped already: no letter in the answer (add_drive looks it up).
    auto again = qv::parse_add_drive(rec("adddrive /tmp/qv-recorded-drive", 1));
    EXPECT_TRUE(again);
    EXPECT_EQ(*again, '\0');
    EXPECT_EQ(qv::parse_add_drive(rec("adddrive")).failure->code, 87u);
    EXPECT_TRUE(qv::parse_remove_drive(rec("rmdrive y")));
    auto gone = qv::parse_remove_drive(rec("rmdrive y", 1));
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.failure->message, "no such drive letter is defined");
    EXPECT_EQ(gone.failure->code, 433u);
    EXPECT_EQ(qv::parse_remove_drive(rec("rmdrive A")).failure->message, "error invalid drive letter");
    EXPECT_EQ(line_of(qv::remove_drive_request('y')), "rmdrive y");
    EXPECT_EQ(line_of(qv::add_drive_request("/tmp/qv-recorded-drive")), "adddrive /tmp/qv-recorded-drive");

    EXPECT_EQ(qv::parse_text(rec("getsystemdir")).value, "C:\\windows\\system32");
    EXPECT_EQ(qv::parse_text(rec("getwindowsdir")).value, "C:\\windows");
    EXPECT_EQ(qv::parse_text(rec("getexpandedstr windir")).value, "C:\\windows");
    EXPECT_EQ(qv::parse_text(rec("getexpandedstr programs")).value, "Programs");
    EXPECT_EQ(qv::parse_text(rec("getexpandedstr accessories")).value, "Programs\\Accessories");
    EXPECT_EQ(qv::parse_text(rec("getexpandedstr QV_RECORDED_VAR")).value, "a variable, with spaces");
    EXPECT_FALSE(qv::parse_text(rec("getexpandedstr QV_RECORDED_UNSET")));
    std::string appdata = *qv::parse_text(rec("getexpandedstr appdata"));
    EXPECT_EQ(appdata.rfind("C:\\users\\", 0), 0u) << appdata;
    EXPECT_EQ(line_of(qv::expanded_string_request("appdata")), "getexpandedstr appdata");
    EXPECT_EQ(line_of(qv::system_dir_request()), "getsystemdir");
}

}  // namespace
