// "adddrive" and "rmdrive" against the prefix's real mount manager: the
// dosdevices links must really appear and disappear. Every test leaves the
// prefix's drives as it found them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "files_support.h"

namespace {

using qvtest::dosdevice_drives;

// The highest letter without a dosdevices link, or 0.
char highest_free(const std::map<char, std::string>& drives) {
    for (char c = 'Z'; c >= 'A'; c--)
        if (!drives.count(c))
            return c;
    return 0;
}

std::string scratch_dir(const std::string& name) {
    std::string dir = "/tmp/qv-drive-" + std::to_string(::getpid()) + "-" + name;
    ::mkdir(dir.c_str(), 0755);
    return dir;
}

TEST(Drives, AddTakesTheHighestFreeLetterAndLinksIt) {
    qvtest::DriveRestorer restore;
    const std::string dir = scratch_dir("a");
    qv::Server server = qvtest::start_server();

    char expected = highest_free(dosdevice_drives());
    ASSERT_NE(expected, 0);
    qv::Result<char> first = qv::add_drive(server, dir);
    ASSERT_TRUE(first) << first.error();
        EXPECT_EQ(*first, expected);
    std::map<char, std::string> now = dosdevice_drives();
    EXPECT_EQ(now[expected], dir);
    // The new drive is usable at once: its root is the directory.
    EXPECT_EQ(qvtest::real_path(*qv::unix_path(server, std::string(1, expected) + ":")), qvtest::real_path(dir));

    // Already mapped: the empty answer, and nothing new.
    EXPECT_EQ(server.request("adddrive", dir), "");
    EXPECT_EQ(dosdevice_drives(), now);

    // "/x/" is not "/x": it gets the next free letter below.
    char next = highest_free(now);
    EXPECT_EQ(server.request("adddrive", dir + "/"), std::string("drive ") + next);
    EXPECT_EQ(dosdevice_drives()[next], dir + "/");
    EXPECT_EQ(server.quit(), 0);
}

TEST(Drives, RemoveTakesTheLetterInEitherFormAndTheLinkDisappears) {
    qvtest::DriveRestorer restore;
    const std::string dir = scratch_dir("b");
    qv::Server server = qvtest::start_server();
    for (const std::string form : {"%c:", "%c", "lower:", "lower"}) {
        qv::Result<char> added = qv::add_drive(server, dir);
        ASSERT_TRUE(added) << added.error();
        char letter = *added;
        ASSERT_TRUE(qvtest::read_link(qvtest::prefix() + "/dosdevices/" + char(letter + 32) + ":"));
        std::string arg = form.rfind("lower", 0) == 0 ? std::string(1, char(letter + 32)) : std::string(1, letter);
        if (form.back() == ':')
            arg += ':';
        EXPECT_EQ(server.request("rmdrive", arg), "") << arg;
        EXPECT_FALSE(qvtest::read_link(qvtest::prefix() + "/dosdevices/" + char(letter + 32) + ":")) << arg;
        EXPECT_EQ(dosdevice_drives(), restore.before()) << arg;
    }
    // Removing a letter that is not defined: the mount manager's error.
    char free_letter = highest_free(dosdevice_drives());
    EXPECT_EQ(server.request("rmdrive", std::string(1, free_letter)), "errno 433");
    EXPECT_EQ(server.quit(), 0);
}

TEST(Drives, RefusedArgumentsLeaveTheDrivesAlone) {
    qvtest::DriveRestorer restore;
    qv::Server server = qvtest::start_server();
    // C: exists, so refusing "C" would show; A, Z and non-letters are refused.
    for (const std::string arg : {"A", "a:", "Z", "z", "", "1", "[", "@x"}) {
        EXPECT_EQ(server.request("rmdrive", arg), "error invalid drive letter") << "\"" << arg << "\"";
    }
    // The mount manager would take an empty path and map nothing.
    EXPECT_EQ(server.request("adddrive"), "errno 87");
    server.send("adddrive \n");
    EXPECT_EQ(server.read_answer(), "errno 87");
    EXPECT_EQ(dosdevice_drives(), restore.before());
    EXPECT_TRUE(dosdevice_drives().count('Z'));
    EXPECT_EQ(server.quit(), 0);
}

// A mount point too long for the 1024-byte reply: the scan grows its buffer
// and still finds the mapping; up to the longest a link holds.
TEST(Drives, LongMountPointsAreDefinedAndFoundAgain) {
    qvtest::DriveRestorer restore;
    const std::string dir = "/tmp/qv-drive-" + std::to_string(::getpid()) + "-" + std::string(1400, 'L');
    qv::Server server = qvtest::start_server();
    qv::Result<char> added = qv::add_drive(server, dir);
    ASSERT_TRUE(added) << added.error();
    EXPECT_EQ(dosdevice_drives()[*added], dir);
    EXPECT_EQ(server.request("adddrive", dir), "");
    EXPECT_EQ(qv::remove_drive(server, *added).ok(), true);

    // A link holds at most 4095 bytes; for a longer mount point the mount
    // manager reported success and mapped nothing.
    std::string longest = "/tmp/qv-drive-" + std::to_string(::getpid()) + "-";
    longest += std::string(4095 - longest.size(), 'M');
    added = qv::add_drive(server, longest);
    ASSERT_TRUE(added) << added.error();
    EXPECT_EQ(dosdevice_drives()[*added], longest);
    EXPECT_EQ(qv::remove_drive(server, *added).ok(), true);
    EXPECT_EQ(server.request("adddrive", longest + "N"), "errno 206");
    EXPECT_EQ(dosdevice_drives(), restore.before());
    EXPECT_EQ(server.quit(), 0);
}

}  // namespace
