// The file-system calls' requests and answer parsing, against a scripted
// stand-in for the server (no Wine): it records each request line and
// answers with the next line of a prepared list.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
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
    qv::PathResult a = qv::unix_path(s.server(), "C:/a b/c");
    ASSERT_TRUE(a);
    EXPECT_EQ(*a.path, "/a b/c");
    qv::PathResult e = qv::unix_path(s.server(), "D:");
    EXPECT_FALSE(e);
    EXPECT_EQ(e.failure.message, "error");
    EXPECT_EQ(*qv::unix_path(s.server(), "x").path, "");
    EXPECT_EQ(*qv::windows_path(s.server(), "/").path, "Z:");
    EXPECT_EQ(qv::windows_path(s.server(), "").failure.message, "error cannot convert path");
    EXPECT_EQ(qv::windows_path(s.server(), "/x").failure.message, "error cannot get wine_get_dos_file_name");
    // Not a windowspath message, and not any answer at all.
    EXPECT_THROW(qv::windows_path(s.server(), "/y"), qv::ProtocolError);
    EXPECT_THROW(qv::unix_path(s.server(), "y"), qv::ProtocolError);
    EXPECT_EQ(s.requests(), (std::vector<std::string>{"unixpath C:/a b/c", "unixpath D:", "unixpath x",
                                                      "windowspath /", "windowspath", "windowspath /x",
                                                      "windowspath /y", "unixpath y"}));
    // A raw LF cannot be sent at all.
    EXPECT_THROW(qv::unix_path(s.server(), "a\nb"), std::invalid_argument);
}

TEST(FilesLibrary, DriveCallsReadLettersAndErrorCodes) {
    Scripted s({"drive Y", "", "errno 87", "error no free drive letters", "drive y", "errno 8x", "", "errno 433",
                "error invalid drive letter", "drive Q"});
    qv::DriveResult y = qv::add_drive(s.server(), "/d");
    ASSERT_TRUE(y && y.letter);
    EXPECT_EQ(*y.letter, 'Y');
    qv::DriveResult mapped = qv::add_drive(s.server(), "/d");
    EXPECT_TRUE(mapped);
    EXPECT_FALSE(mapped.letter);
    qv::DriveResult bad = qv::add_drive(s.server(), "");
    EXPECT_FALSE(bad);
    EXPECT_EQ(bad.failure.win32_error, 87u);
    qv::DriveResult full = qv::add_drive(s.server(), "/e");
    EXPECT_FALSE(full);
    EXPECT_EQ(full.failure.message, "error no free drive letters");
    EXPECT_EQ(full.failure.win32_error, 0u);
    EXPECT_THROW(qv::add_drive(s.server(), "/f"), qv::ProtocolError);
    EXPECT_THROW(qv::add_drive(s.server(), "/g"), qv::ProtocolError);

    EXPECT_TRUE(qv::remove_drive(s.server(), 'y'));
    EXPECT_EQ(qv::remove_drive(s.server(), 'Q').failure.win32_error, 433u);
    EXPECT_EQ(qv::remove_drive(s.server(), 'A').failure.message, "error invalid drive letter");
    EXPECT_THROW(qv::remove_drive(s.server(), 'B'), qv::ProtocolError);
    std::vector<std::string> r = s.requests();
    ASSERT_EQ(r.size(), 10u);
    EXPECT_EQ(r[0], "adddrive /d");
    EXPECT_EQ(r[2], "adddrive");
    EXPECT_EQ(r[6], "rmdrive y");
    EXPECT_EQ(r[8], "rmdrive A");
}

TEST(FilesLibrary, ListingsParseIntoEntriesAndTrailingFailures) {
    Scripted s({"dir .\\ndir ..\\nfile a b\\nfile \xc3\xa9\\n", "", "errno 2", "file x\\nerrno 8", "error",
                "dir a\\nnonsense\\n", "file y\\nfile", "dir  \\n"});
    qv::FindResult all = qv::find_files(s.server(), "C:\\*");
    ASSERT_TRUE(all);
    EXPECT_EQ(all.entries, (std::vector<qv::DirEntry>{{".", true}, {"..", true}, {"a b", false}, {"\xc3\xa9", false}}));
    qv::FindResult none = qv::find_files(s.server(), "C:\\*", 0);
    EXPECT_TRUE(none);
    EXPECT_TRUE(none.entries.empty());
    EXPECT_EQ(qv::find_files(s.server(), "C:\\nomatch", 3).failure.win32_error, 2u);
    // Out of memory midway: the lines so far, and the failure.
    qv::FindResult partial = qv::find_files(s.server(), "C:\\*");
    EXPECT_FALSE(partial);
    EXPECT_EQ(partial.entries, (std::vector<qv::DirEntry>{{"x", false}}));
    EXPECT_EQ(partial.failure.win32_error, 8u);
    EXPECT_EQ(qv::find_files(s.server(), "").failure.message, "error");
    EXPECT_THROW(qv::find_files(s.server(), "C:\\*"), qv::ProtocolError);
    EXPECT_THROW(qv::find_files(s.server(), "C:\\*"), qv::ProtocolError);
    // A name that is a single space is still a name.
    EXPECT_EQ(qv::find_files(s.server(), "C:\\*").entries, (std::vector<qv::DirEntry>{{" ", true}}));
    std::vector<std::string> r = s.requests();
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(r[0], "findfiles -1 C:\\*");
    EXPECT_EQ(r[1], "findfiles 0 C:\\*");
    EXPECT_EQ(r[2], "findfiles 3 C:\\nomatch");
    EXPECT_EQ(r[4], "findfiles -1 ");
}

}  // namespace
