// The file-system calls' requests and answer parsing, against a scripted
// stand-in for the server (no Wine): it records each request line and
// answers with the next line of a prepared list.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "qv/files.h"

namespace {

const char kScript[] =
    "exec 3<\"$QV_ANSWERS\"\n"
    "printf 'QVMANIP OK\\n'\n"
    "while IFS= read -r line; do\n"
    "  [ \"${line%% *}\" = quit ] && exit 0\n"
    "  printf '%s\\n' \"$line\" >>\"$QV_REQUESTS\"\n"
    "  IFS= read -r answer <&3\n"
    "  printf '%b\\nend\\n' \"$answer\"\n"
    "done\n";

// Answers are given with LF written as backslash-n.
class Scripted {
public:
    explicit Scripted(const std::vector<std::string>& answers) {
        dir_ = "/tmp/qv-files-lib-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++);
        ::mkdir(dir_.c_str(), 0755);
        std::ofstream(dir_ + "/server.sh") << kScript;
        std::ofstream out(dir_ + "/answers");
        for (const std::string& a : answers)
            out << a << "\n";
        out.close();
        qv::LaunchOptions o;
        o.wine = "/bin/sh";
        o.exe = dir_ + "/server.sh";
        o.env = {{"QV_ANSWERS", dir_ + "/answers"}, {"QV_REQUESTS", dir_ + "/requests"}};
        server_ = std::make_unique<qv::Server>(qv::Server::start(o, qv::Millis(10000)));
    }
    ~Scripted() {
        server_->quit();
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    qv::Server& server() { return *server_; }
    std::vector<std::string> requests() const {
        std::ifstream in(dir_ + "/requests");
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }

private:
    static inline int counter_ = 0;
    std::string dir_;
    std::unique_ptr<qv::Server> server_;
};

TEST(FilesLibrary, PathCallsTellPathsFromTheirFailures) {
    Scripted s({"path /a b/c", "error", "path ", "path Z:", "error cannot convert path",
                "error cannot get wine_get_dos_file_name", "error", "bogus"});
    qv::Result<std::string> a = qv::unix_path(s.server(), "C:/a b/c");
    ASSERT_TRUE(a);
    EXPECT_EQ(*a, "/a b/c");
    qv::Result<std::string> e = qv::unix_path(s.server(), "D:");
    ASSERT_FALSE(e);
    EXPECT_EQ(e.failure->kind, qv::Failure::Kind::server);
    EXPECT_EQ(e.failure->message, "error");
    EXPECT_EQ(*qv::unix_path(s.server(), "x"), "");
    EXPECT_EQ(*qv::windows_path(s.server(), "/"), "Z:");
    EXPECT_EQ(qv::windows_path(s.server(), "").failure->message, "error cannot convert path");
    EXPECT_EQ(qv::windows_path(s.server(), "/x").failure->message, "error cannot get wine_get_dos_file_name");
    // Not a windowspath message, and not any answer at all.
    EXPECT_THROW((void)qv::windows_path(s.server(), "/y"), qv::ProtocolError);
    EXPECT_THROW((void)qv::unix_path(s.server(), "y"), qv::ProtocolError);
    // A raw LF cannot be sent at all: refused, and nothing goes out.
    qv::Result<std::string> lf = qv::unix_path(s.server(), "a\nb");
    ASSERT_FALSE(lf);
    EXPECT_EQ(lf.failure->kind, qv::Failure::Kind::refused);
    EXPECT_EQ(s.requests(), (std::vector<std::string>{"unixpath C:/a b/c", "unixpath D:", "unixpath x",
                                                      "windowspath /", "windowspath", "windowspath /x",
                                                      "windowspath /y", "unixpath y"}));
}

TEST(FilesLibrary, DriveCallsReadLettersAndErrorCodes) {
    // A folder mapped already is found in the prefix's dosdevices, which the
    // server names through C:.
    char tmpl[] = "/tmp/qvdrives.XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    std::string dosdevices = std::string(tmpl) + "/dosdevices";
    ASSERT_EQ(mkdir(dosdevices.c_str(), 0755), 0);
    ASSERT_EQ(symlink("/d/", (dosdevices + "/e:").c_str()), 0);
    ASSERT_EQ(symlink("/d", (dosdevices + "/k:").c_str()), 0);
    Scripted s({"drive Y", "", "path " + dosdevices + "/c:/", "errno 87", "error no free drive letters", "drive y",
                "errno 8x", "", "errno 433", "error invalid drive letter", "drive Q"});
    qv::Result<char> y = qv::add_drive(s.server(), "/d");
    ASSERT_TRUE(y);
    EXPECT_EQ(*y, 'Y');
    qv::Result<char> mapped = qv::add_drive(s.server(), "/d");
    ASSERT_TRUE(mapped) << mapped.error();
    EXPECT_EQ(*mapped, 'K');  // "/d/" (E:) is another mount point to the server
    qv::Result<char> bad = qv::add_drive(s.server(), "");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.failure->kind, qv::Failure::Kind::win32);
    EXPECT_EQ(bad.failure->code, 87u);
    EXPECT_EQ(bad.failure->describe(), "an invalid parameter was given (Win32 error 87)");
    qv::Result<char> full = qv::add_drive(s.server(), "/e");
    ASSERT_FALSE(full);
    EXPECT_EQ(full.failure->message, "error no free drive letters");
    EXPECT_EQ(full.failure->code, 0u);
    EXPECT_THROW((void)qv::add_drive(s.server(), "/f"), qv::ProtocolError);
    EXPECT_THROW((void)qv::add_drive(s.server(), "/g"), qv::ProtocolError);

    EXPECT_TRUE(qv::remove_drive(s.server(), 'y'));
    EXPECT_TRUE(qv::remove_drive(s.server(), 'Q').failure->is(qv::kNoSuchDevice));
    EXPECT_EQ(qv::remove_drive(s.server(), 'A').failure->message, "error invalid drive letter");
    EXPECT_THROW((void)qv::remove_drive(s.server(), 'B'), qv::ProtocolError);
    std::vector<std::string> r = s.requests();
    ASSERT_EQ(r.size(), 11u);
    EXPECT_EQ(r[0], "adddrive /d");
    EXPECT_EQ(r[2], "unixpath C:\\");
    EXPECT_EQ(r[3], "adddrive");
    EXPECT_EQ(r[7], "rmdrive y");
    EXPECT_EQ(r[9], "rmdrive A");
    std::system(("rm -rf " + std::string(tmpl)).c_str());
}

TEST(FilesLibrary, ListingsParseIntoEntriesAndTrailingFailures) {
    Scripted s({"dir .\\ndir ..\\nfile a b\\nfile \xc3\xa9\\n", "", "errno 2", "file x\\nerrno 8", "error",
                "dir a\\nnonsense\\n", "file y\\nfile", "dir  \\n"});
    auto all = qv::find_files(s.server(), "C:\\*");
    ASSERT_TRUE(all);
    EXPECT_EQ(*all, (std::vector<qv::DirEntry>{{".", true}, {"..", true}, {"a b", false}, {"\xc3\xa9", false}}));
    auto none = qv::find_files(s.server(), "C:\\*", 0);
    EXPECT_TRUE(none);
    EXPECT_TRUE(none->empty());
    EXPECT_TRUE(qv::find_files(s.server(), "C:\\nomatch", 3).failure->is(qv::kFileNotFound));
    // Out of memory midway: the lines so far, and the failure.
    auto partial = qv::find_files(s.server(), "C:\\*");
    ASSERT_FALSE(partial);
    EXPECT_EQ(*partial, (std::vector<qv::DirEntry>{{"x", false}}));
    EXPECT_EQ(partial.failure->kind, qv::Failure::Kind::incomplete);
    EXPECT_EQ(partial.failure->code, 8u);
    EXPECT_EQ(qv::find_files(s.server(), "").failure->message, "error");
    EXPECT_THROW((void)qv::find_files(s.server(), "C:\\*"), qv::ProtocolError);
    EXPECT_THROW((void)qv::find_files(s.server(), "C:\\*"), qv::ProtocolError);
    // A name that is a single space is still a name.
    EXPECT_EQ(qv::find_files(s.server(), "C:\\*").value, (std::vector<qv::DirEntry>{{" ", true}}));
    std::vector<std::string> r = s.requests();
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(r[0], "findfiles -1 C:\\*");
    EXPECT_EQ(r[1], "findfiles 0 C:\\*");
    EXPECT_EQ(r[2], "findfiles 3 C:\\nomatch");
    EXPECT_EQ(r[4], "findfiles -1 ");
}

}  // namespace
