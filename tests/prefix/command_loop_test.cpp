// The server's line protocol, checked as exact bytes on the wire.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "robust_soak.h"
#include "support.h"

namespace {

using qvtest::start_server;


// Everything the process writes until its output ends.
std::string read_to_eof(qv::Peer& child) {
    std::string out;
    char buf[65536];
    auto deadline = qv::Clock::now() + qvtest::patience(qv::Millis(60000));
    for (;;) {
        ssize_t n = child.read_some(buf, sizeof buf, deadline);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string windows_dir() {
    qv::Server server = start_server();
    std::string dir = server.request("getwindowsdir");
    server.quit();
    return dir;
}

TEST(CommandLoop, HandshakeIsTheFirstOutputBeforeAnyInput) {
    qv::Peer child = qvtest::spawn_server_raw(qvtest::options_for(qvtest::program("qvmanip.exe")));
    std::string got;
    char buf[64];
    auto deadline = qv::Clock::now() + qvtest::patience(qv::Millis(60000));
    while (got.size() < 11) {
        ssize_t n = child.read_some(buf, 11 - got.size(), deadline);
        ASSERT_GT(n, 0) << "no handshake; got \"" << qvtest::shown(got) << "\"";
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, "QVMANIP OK\n");
    // Nothing more arrives while no request has been sent.
    EXPECT_EQ(child.read_some(buf, sizeof buf, qv::Clock::now() + qv::Millis(300)), -1);
    child.close_input();
    EXPECT_EQ(child.wait(qv::Clock::now() + qvtest::patience(qv::Millis(30000))), 0);
}

TEST(CommandLoop, QuitAndEndOfInputExitWithZeroAndNoMoreOutput) {
    for (const std::string ending : {"quit\n", "quit now please\n", ""}) {
        qv::Peer child = qvtest::spawn_server_raw(qvtest::options_for(qvtest::program("qvmanip.exe")));
        ASSERT_TRUE(child.write_all("getwindowsdir\n" + ending));
        if (ending.empty())
            child.close_input();
        std::string out = read_to_eof(child);
        EXPECT_EQ(child.wait(qv::Clock::now() + qvtest::patience(qv::Millis(30000))), 0) << "ending " << qvtest::shown(ending);
        EXPECT_EQ(out, "QVMANIP OK\nC:\\windows\nend\n") << "ending " << qvtest::shown(ending);
    }
}

TEST(CommandLoop, UnrecognisedLinesGetTheEndMarkerAlone) {
    qv::Server server = start_server();
    for (const std::string line : {"Quit", "quit\r", "", " quit", " getwindowsdir", "nosuchcommand x",
                                   "getwindowsdir\r", "GETWINDOWSDIR"}) {
        server.send(line + "\n");
        EXPECT_EQ(server.read_answer(), "") << "line \"" << qvtest::shown(line) << "\"";
    }
    // Still in step: a real request after them is answered.
    EXPECT_EQ(server.request("getwindowsdir"), "C:\\windows");
    EXPECT_EQ(server.quit(), 0);
}

TEST(CommandLoop, RequestsSentInOneWriteAreAnsweredInOrder) {
    const std::string dir = windows_dir();
    for (int count : {2, 20}) {
        qv::Server server = start_server();
        std::string batch;
        for (int i = 0; i < count; i++)
            batch += i % 2 ? "unknown\n" : "getwindowsdir\n";
        server.send(batch);
        for (int i = 0; i < count; i++)
            EXPECT_EQ(server.read_answer(), i % 2 ? "" : dir) << "answer " << i << " of " << count;
        EXPECT_EQ(server.quit(), 0);
    }
}

TEST(CommandLoop, LongRequestsDeliveredInSmallWritesAreOneLine) {
    qv::Server server = start_server();
    for (size_t length : {5000u, 4u << 20}) {
        // The argument text is ignored by getwindowsdir, so the answer shows
        // that the whole line was taken as one request.
        std::string line = "getwindowsdir " + std::string(length, 'a') + "\n";
        size_t step = length > 100000 ? 4000 : 100;
        for (size_t i = 0; i < line.size(); i += step)
            server.send(line.substr(i, step));
        EXPECT_EQ(server.read_answer(), "C:\\windows") << "length " << length;
        EXPECT_EQ(server.request("nosuchcommand"), "");
    }
    EXPECT_EQ(server.quit(), 0);
}

// Lines of tens of MiB among short ones, all in one write: each is one
// request, every answer keeps its place, and the memory a huge line took is
// given back once the server waits for input again.
TEST(CommandLoop, HugeLinesAmongShortOnesKeepTheFramingAndGiveTheirMemoryBack) {
    qv::Server server = start_server();
    server.set_timeout(qvtest::patience(qv::Millis(120000)));
    const int pid = server.peer().pid();
    EXPECT_EQ(server.request("getwindowsdir"), "C:\\windows");
    const std::string system_dir = server.request("getsystemdir");
    const long rss_before = robust::rss_kib(pid);
    ASSERT_GT(rss_before, 0);

    const std::string huge(size_t(64) << 20, 'a');
    server.send("getwindowsdir\nnosuchcommand " + huge + "\ngetwindowsdir " + huge.substr(0, size_t(24) << 20) +
                "\n\ngetsystemdir\nnosuchcommand " + huge.substr(0, 5000) + "\ngetwindowsdir\n");
    const std::vector<std::string> expected = {"C:\\windows", "", "C:\\windows", "", system_dir, "", "C:\\windows"};
    for (size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(server.read_answer(), expected[i]) << "answer " << i;

    // Waiting for input with an empty buffer, the server holds no copy of
    // the 64 MiB line (nor the blocks it grew through).
    long rss_after = robust::rss_kib(pid);
    for (int i = 0; i < 50 && rss_after > rss_before + 16 * 1024; i++) {
        ::usleep(100000);
        rss_after = robust::rss_kib(pid);
    }
    EXPECT_LE(rss_after, rss_before + 16 * 1024) << "KiB resident, " << rss_before << " before the huge lines";
    EXPECT_EQ(server.request("getwindowsdir"), "C:\\windows");
    EXPECT_EQ(server.quit(), 0);
}

TEST(CommandLoop, PartialLastLineIsNeverExecuted) {
    qv::Peer child = qvtest::spawn_server_raw(qvtest::options_for(qvtest::program("qvmanip.exe")));
    ASSERT_TRUE(child.write_all("getwindowsdir\ngetwindowsdir"));
    child.close_input();
    std::string out = read_to_eof(child);
    EXPECT_EQ(child.wait(qv::Clock::now() + qvtest::patience(qv::Millis(30000))), 0);
    EXPECT_EQ(out, "QVMANIP OK\nC:\\windows\nend\n");
}

TEST(CommandLoop, ExitCodeTwoWhenTheHandshakeCannotBeWritten) {
    qv::LaunchOptions options = qvtest::options_for(qvtest::program("qvmanip.exe"));
    options.stdout_path = "/dev/full";
    qv::Peer child = qv::Peer::spawn(options);
    // Input stays open: the server must give up without reading it.
    EXPECT_EQ(child.wait(qv::Clock::now() + qvtest::patience(qv::Millis(30000))), 2);
}

}  // namespace
