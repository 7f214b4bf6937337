// "findfiles" on a directory tree the test makes inside drive_c.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "files_support.h"

namespace {

// drive_c/qv-find-PID with files, directories and non-ASCII names; removed
// at the end.
class Tree {
public:
    explicit Tree(const std::string& tag) : name_("qv-find-" + std::to_string(::getpid()) + "-" + tag) {
        unix_ = qvtest::prefix() + "/drive_c/" + name_;
        ::mkdir(unix_.c_str(), 0755);
    }
    ~Tree() { std::system(("rm -rf '" + unix_ + "'").c_str()); }
    void file(const std::string& n) { std::ofstream(unix_ + "/" + n) << "x"; }
    void dir(const std::string& n) { ::mkdir((unix_ + "/" + n).c_str(), 0755); }
    std::string windows(const std::string& tail = "") const { return "C:\\" + name_ + (tail.empty() ? "" : "\\" + tail); }

private:
    std::string name_, unix_;
};

std::vector<std::string> lines_of(const std::string& answer) {
    std::vector<std::string> out;
    size_t pos = 0;
    for (size_t lf; (lf = answer.find('\n', pos)) != std::string::npos; pos = lf + 1)
        out.push_back(answer.substr(pos, lf - pos));
    return out;
}

struct PlatformEntry {
    std::string line;        // as a findfiles line with the long name
    std::string short_name;  // empty when the platform has none
};

// The platform's own listing (fs_probe).
std::vector<PlatformEntry> platform_entries(qvtest::Probe& probe, const std::string& pattern) {
    std::string r = probe.ask("find " + pattern);
    std::vector<PlatformEntry> out;
    size_t pos = 0;
    for (size_t sp; (sp = r.find(' ', pos)) != std::string::npos; pos = sp + 1) {
        std::string item = r.substr(pos, sp - pos);
        size_t colon = item.find(':', 2);
        out.push_back({(item[0] == 'd' ? "dir " : "file ") + qvtest::from_hex(item.substr(2, colon - 2)),
                       qvtest::from_hex(item.substr(colon + 1))});
    }
    return out;
}

std::vector<std::string> platform_lines(qvtest::Probe& probe, const std::string& pattern) {
    std::vector<std::string> out;
    for (const PlatformEntry& e : platform_entries(probe, pattern))
        out.push_back(e.line);
    return out;
}

TEST(FindFiles, CountsLimitTheListingInThePlatformsOrder) {
    Tree t("counts");
    t.file("plain.txt");
    t.file("with space.doc");
    t.file("\xc3\xa9t\xc3\xa9 \xe2\x82\xac.txt");
    t.dir("Sub Dir");
    t.dir("\xc3\x9c\xc3\xb1\xc3\xaf");
    qvtest::Probe probe;
    const std::vector<std::string> all = platform_lines(probe, t.windows("*"));
    ASSERT_EQ(all.size(), 7u);  // with "." and ".."
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()),
              (std::set<std::string>{"dir .", "dir ..", "file plain.txt", "file with space.doc",
                                     "file \xc3\xa9t\xc3\xa9 \xe2\x82\xac.txt", "dir Sub Dir", "dir \xc3\x9c\xc3\xb1\xc3\xaf"}));

    qv::Server server = qvtest::start_server();
    const std::string pattern = t.windows("*");
    std::string every = server.request("findfiles", "-1 " + pattern);
    EXPECT_EQ(lines_of(every), all);
    EXPECT_EQ(every.back(), '\n');
    for (int n : {1, 3, 7, 100}) {
        std::string answer = server.request("findfiles", std::to_string(n) + " " + pattern);
        std::vector<std::string> expected(all.begin(), all.begin() + std::min<size_t>(n, all.size()));
        EXPECT_EQ(lines_of(answer), expected) << "count " << n;
        EXPECT_EQ(answer.back(), '\n') << "count " << n;
        EXPECT_EQ(std::count(answer.begin(), answer.end(), '\n'), static_cast<long>(expected.size()));
    }
    // Count 0 (also when no digits lead) lists nothing for a pattern that matches.
    EXPECT_EQ(server.request("findfiles", "0 " + pattern), "");
    EXPECT_EQ(server.request("findfiles", "abc " + pattern), "");
    EXPECT_EQ(server.request("findfiles", "2x " + pattern), "dir .\ndir ..\n");
    // A narrower pattern, through the typed call.
    qv::Result<std::vector<qv::DirEntry>> txt = qv::find_files(server, t.windows("*.txt"));
    ASSERT_TRUE(txt) << txt.error();
    EXPECT_EQ(txt.value.size(), 2u);
    for (const qv::DirEntry& e : txt.value)
        EXPECT_FALSE(e.directory) << e.name;
    EXPECT_EQ(server.quit(), 0);
}

TEST(FindFiles, NoMatchNoSpaceAndMissingFoldersAreReported) {
    Tree t("errors");
    t.file("only");
    qv::Server server = qvtest::start_server();
    EXPECT_EQ(server.request("findfiles", "-1 " + t.windows("nomatch*")), "errno 2");
    EXPECT_EQ(server.request("findfiles", "0 " + t.windows("nomatch*")), "errno 2");
    EXPECT_EQ(server.request("findfiles", "abc " + t.windows("missing\\*")), "errno 3");
    EXPECT_EQ(server.request("findfiles", t.windows("*")), "error");
    EXPECT_EQ(server.request("findfiles"), "error");
    EXPECT_EQ(server.request("findfiles", "5"), "error");
    qv::Result<std::vector<qv::DirEntry>> none = qv::find_files(server, t.windows("nomatch*"));
    EXPECT_FALSE(none);
    EXPECT_EQ(none.failure->code, 2u);
    // Two spaces: the pattern starts with a space, the match is exact.
    EXPECT_EQ(server.request("findfiles", "1 " + t.windows("only")), "file only\n");
    EXPECT_NE(server.request("findfiles", "1  " + t.windows("only")), "file only\n");
    EXPECT_EQ(server.quit(), 0);
}

// Unix names may hold LF; such entries cannot be written as a line. One
// with a short name is listed by it; short LF names have none here and are
// left out. The rest of the listing and the framing stay intact.
TEST(FindFiles, NamesHoldingLineFeedsAreLeftOut) {
    Tree t("lf");
    t.file("a\nb");
    t.file("x\nend\ny");
    t.dir("d\nd");
    t.file("z");
    qvtest::Probe probe;
    std::vector<std::string> platform = platform_lines(probe, t.windows("*"));
    ASSERT_EQ(platform.size(), 6u);
    std::vector<std::string> framable;
    for (const std::string& l : platform)
        if (l.find('\n') == std::string::npos)
            framable.push_back(l);
    ASSERT_EQ(framable.size(), 3u);  // ".", "..", "z"

    qv::Server server = qvtest::start_server();
    EXPECT_EQ(lines_of(server.request("findfiles", "-1 " + t.windows("*"))), framable);
    // The count is of the lines written.
    EXPECT_EQ(lines_of(server.request("findfiles", "3 " + t.windows("*"))), framable);
    EXPECT_EQ(server.request("findfiles", "-1 " + t.windows("a*")), "");  // only "a\nb" matches
    EXPECT_EQ(server.request("getwindowsdir"), "C:\\windows");
    EXPECT_EQ(server.quit(), 0);
}

}  // namespace

namespace {

TEST(FindFiles, LongNamesHoldingLineFeedsAreListedByTheirShortNames) {
    Tree t("lfshort");
    t.file("a long name\nwith LF.txt");
    t.dir("another\nlong directory");
    qvtest::Probe probe;
    std::vector<PlatformEntry> platform = platform_entries(probe, t.windows("*"));
    ASSERT_EQ(platform.size(), 4u);
    std::vector<std::string> expected;
    for (const PlatformEntry& e : platform) {
        if (e.line.find('\n') == std::string::npos) {
            expected.push_back(e.line);
            continue;
        }
        ASSERT_FALSE(e.short_name.empty()) << qvtest::shown(e.line);
        expected.push_back(e.line.substr(0, e.line.find(' ') + 1) + e.short_name);
        // The short name addresses the entry with the long name.
        EXPECT_EQ(platform_lines(probe, t.windows(e.short_name)), std::vector<std::string>{e.line});
    }
    qv::Server server = qvtest::start_server();
    EXPECT_EQ(lines_of(server.request("findfiles", "-1 " + t.windows("*"))), expected);
    EXPECT_EQ(server.quit(), 0);
}

}  // namespace
