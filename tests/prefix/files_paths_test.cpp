// "unixpath" and "windowspath" against the prefix's real directories.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "files_support.h"

namespace {

using qvtest::prefix;

std::string c_drive() { return prefix() + "/dosdevices/c:"; }

std::string path_of(qv::Result<std::string> r) { return r ? *r : "<" + r.error() + ">"; }

TEST(UnixPath, ExistingPathsAreThePrefixsOwnDirectories) {
    qv::Server server = qvtest::start_server();
    // Whatever spelling the caller uses, the answer is the directory in drive_c.
    for (const std::string arg : {"C:\\windows", "C:/windows", "c:\\WINDOWS", "C:\\windows\\system32",
                                  "C:/windows\\System32", "C:\\users"}) {
        qv::Result<std::string> r = qv::unix_path(server, arg);
        ASSERT_TRUE(r) << arg << ": " << r.error();
        EXPECT_EQ(r->rfind(c_drive() + "/", 0), 0u) << arg << " -> " << *r;
        EXPECT_TRUE(qvtest::is_dir(*r)) << arg << " -> " << *r;
    }
    EXPECT_EQ(qvtest::real_path(path_of(qv::unix_path(server, "C:\\windows\\system32"))),
              qvtest::real_path(prefix() + "/drive_c/windows/" + qvtest::server_system_folder()));
    // The drive designator alone is asked as the drive's root, in either case.
    EXPECT_EQ(path_of(qv::unix_path(server, "C:")), c_drive() + "/");
    EXPECT_EQ(path_of(qv::unix_path(server, "c:")), c_drive() + "/");
    EXPECT_EQ(qvtest::real_path(c_drive() + "/"), qvtest::real_path(prefix() + "/drive_c"));
    // Asked a second time, through the function found the first time.
    EXPECT_EQ(path_of(qv::unix_path(server, "C:")), c_drive() + "/");
    EXPECT_EQ(server.quit(), 0);
}

TEST(UnixPath, MissingTailIsAppendedAsWrittenWithSlashes) {
    qv::Server server = qvtest::start_server();
    const std::string windows = c_drive() + "/windows";
    struct Case {
        std::string arg, unix_path;
    } cases[] = {
        {"C:\\windows\\New Dir\\sub dir\\File.TXT", windows + "/New Dir/sub dir/File.TXT"},
        {"C:\\windows\\N\xc3\xabw D\xc3\xaer/\xc3\x9cml\xc3\xa4ut\\x", windows + "/N\xc3\xabw D\xc3\xaer/\xc3\x9cml\xc3\xa4ut/x"},
        {"C:\\windows\\a\\b\\c\\", windows + "/a/b/c/"},
        {"C:/windows/MiXeD/Case", windows + "/MiXeD/Case"},
        // Nothing below the drive root exists.
        {"C:\\no such\\thing at all\\x", c_drive() + "/no such/thing at all/x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(path_of(qv::unix_path(server, c.arg)), c.unix_path) << c.arg;
        // The tail really does not exist: nothing was created either.
        EXPECT_FALSE(qvtest::is_dir(c.unix_path)) << c.unix_path;
    }
    // The existing part is the real directory.
    std::string got = path_of(qv::unix_path(server, "C:\\windows\\system32\\no\\such"));
    EXPECT_EQ(got, windows + "/" + qvtest::server_system_folder() + "/no/such");
    EXPECT_EQ(server.quit(), 0);
}

TEST(UnixPath, UnmappedDrivesAndEmptyPathsGiveError) {
    qvtest::DriveRestorer drives;
    ASSERT_FALSE(drives.before().count('D')) << "the test prefix has a D: drive";
    qv::Server server = qvtest::start_server();
    for (const std::string arg : {"D:", "d:", "D:\\", "d:/", ""}) {
        qv::Result<std::string> r = qv::unix_path(server, arg);
        EXPECT_FALSE(r) << "\"" << arg << "\" -> " << path_of(r);
        EXPECT_EQ(r.error(), "error") << arg;
    }
    // The raw request shows the bare word too.
    EXPECT_EQ(server.request("unixpath"), "error");
    EXPECT_EQ(server.quit(), 0);
}

// A Windows path is at most 32,767 characters: one that long is still
// translated, a longer one names no file and is refused at once (Wine would
// answer 40,000 slashes with a path of them, after many seconds).
TEST(UnixPath, PathsBeyondTheLongestWindowsPathGiveError) {
    qv::Server server = qvtest::start_server();
    server.set_timeout(qvtest::patience(qv::Millis(120000)));
    std::string longest = "C:\\";
    while (longest.size() < 32767)
        longest += "abcdefg\\";
    longest.resize(32767);
    EXPECT_EQ(server.request("unixpath", longest).substr(0, 5), "path ");
    EXPECT_EQ(server.request("unixpath", longest + "x"), "error");
    EXPECT_EQ(server.request("unixpath", std::string(40000, '/')), "error");
    EXPECT_EQ(server.request("getwindowsdir"), "C:\\windows");
    EXPECT_EQ(server.quit(), 0);
}

TEST(WindowsPath, HostPathsAsWineMapsThem) {
    qv::Server server = qvtest::start_server();
    const std::string dir = "/tmp/qv-winpath-" + std::to_string(::getpid()) + "-\xc3\x9cn\xc3\xaf dir";
    ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
    struct Case {
        std::string arg, windows_path;
    } cases[] = {
        {prefix() + "/drive_c/windows", "C:\\windows"},
        {prefix() + "/drive_c/windows/system32", "C:\\windows\\system32"},
        {prefix() + "/dosdevices/c:/users", "C:\\users"},
        {prefix() + "/drive_c/Not There/yet", "C:\\Not There\\yet"},
        {"/", "Z:\\"},
        {"/tmp", "Z:\\tmp"},
        {dir, "Z:" + [&] {
             std::string w = dir;
             for (char& ch : w)
                 if (ch == '/')
                     ch = '\\';
             return w;
         }()},
    };
    for (const Case& c : cases)
        EXPECT_EQ(path_of(qv::windows_path(server, c.arg)), c.windows_path) << c.arg;
    // Round trip through both commands lands on the same directory.
    std::string back = path_of(qv::unix_path(server, path_of(qv::windows_path(server, dir))));
    EXPECT_EQ(qvtest::real_path(back), qvtest::real_path(dir));

    qv::Result<std::string> empty = qv::windows_path(server, "");
    EXPECT_FALSE(empty);
    EXPECT_EQ(empty.error(), "error cannot convert path");
    EXPECT_EQ(server.quit(), 0);
    std::remove(dir.c_str());
}

// A prefix reached through a path holding LF: every Unix path the platform
// gives holds LF, which no answer may carry raw.
TEST(UnixPath, PathsHoldingLineFeedsAreRefused) {
    const std::string link = "/tmp/qv-lf-" + std::to_string(::getpid()) + "\nprefix";
    ASSERT_EQ(::symlink(prefix().c_str(), link.c_str()), 0);
    qv::LaunchOptions probe_options = qvtest::options_for(qvtest::test_program64("fs_probe.exe"));
    probe_options.prefix = link;
    qv::LaunchOptions server_options = qvtest::options_for(qvtest::program("qvmanip.exe"));
    server_options.prefix = link;
    {
        qvtest::Probe probe(probe_options);
        std::optional<std::string> platform = probe.unix_name("C:\\windows");
        ASSERT_TRUE(platform);
        EXPECT_EQ(*platform, link + "/dosdevices/c:/windows");

        qv::Server server = qvtest::start_server(server_options);
        EXPECT_EQ(server.request("unixpath", "C:\\windows"), "error");
        EXPECT_EQ(server.request("unixpath", "C:\\windows\\not\\there"), "error");
        // Still in step.
        EXPECT_EQ(server.request("windowspath", "/tmp"), "path Z:\\tmp");
        EXPECT_EQ(server.quit(), 0);
    }
    ::unlink(link.c_str());
}

}  // namespace
