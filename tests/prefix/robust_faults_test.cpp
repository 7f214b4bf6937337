// Faults around the server: its controller killed, its input cut inside a
// line, the prefix's wineserver killed under it, and a second server on the
// same prefix at the same time.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "qv/escape.h"
#include "qv/registry.h"
#include "qv/session.h"
#include "registry_support.h"
#include "robust_support.h"

namespace {

using namespace std::string_literals;
using regtest::Checker;
using regtest::ScopedKey;

std::string setreg_line(const std::string& key, const std::string& name, const std::string& literal) {
    return "setregkey " + qv::escape(key + "\n" + name + "\n" + literal);
}

// Exit code of a process this one reaps, or -1 when it did not end in time.
int reap(pid_t pid, qv::Millis timeout) {
    auto deadline = qv::Clock::now() + timeout;
    for (;;) {
        int status;
        pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (got < 0 || qv::Clock::now() > deadline)
            return -1;
        usleep(20000);
    }
}

// A controller in a child process: it starts the server, has `complete`
// carried out, then writes `partial` and reports the server's pid. It is
// then killed. This process adopts the orphaned server to learn how it ended.
struct KilledController {
    int server_exit = -1;
    std::string report;
};

KilledController run_killed_controller(const std::string& complete, const std::string& partial) {
    KilledController result;
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    int report[2];
    if (pipe(report) != 0)
        return result;
    pid_t controller = fork();
    if (controller == 0) {
        close(report[0]);
        std::string line;
        qv::Server server;  // kept until this process is killed
        try {
            server = qvtest::start_server();
            std::string answer;
            if (!complete.empty()) {
                server.send(complete);
                answer = server.read_answer();
            }
            server.send(partial);
            line = std::to_string(server.peer().pid()) + " " + answer + "\n";
        } catch (const std::exception& e) {
            line = "0 " + std::string(e.what()) + "\n";
        }
        (void)!write(report[1], line.data(), line.size());
        for (;;)
            pause();
    }
    close(report[1]);
    char buf[4096];
    ssize_t n = read(report[0], buf, sizeof buf);
    close(report[0]);
    result.report = n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    kill(controller, SIGKILL);
    waitpid(controller, nullptr, 0);
    pid_t server = static_cast<pid_t>(std::atol(result.report.c_str()));
    if (server > 0)
        result.server_exit = reap(server, qvtest::patience(qv::Millis(30000)));
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    return result;
}

TEST(Faults, ControllerKilledMidRequestEndsTheServerWithoutRunningTheHalfRequest) {
    if (robust::behind_relay())
        GTEST_SKIP() << robust::kRelaySkip;
    Checker c;
    ScopedKey key(c, regtest::test_key());
    // Killed waiting for the answer to a complete request, with half of the
    // next one sent; and killed with a large answer still unread, so that the
    // server's output breaks while it writes.
    KilledController idle = run_killed_controller(setreg_line(key.path(), "first", "dword:1") + "\n",
                                                  setreg_line(key.path(), "second", "dword:2"));
    EXPECT_EQ(idle.report, std::to_string(std::atol(idle.report.c_str())) + " success\n");
    EXPECT_EQ(idle.server_exit, 0) << "the server must see the end of its input and exit";
    EXPECT_EQ(c.query(key.path(), "first"), "4 01000000");
    EXPECT_EQ(c.query(key.path(), "second"), "value 2");

    std::string flood;
    for (int i = 0; i < 200; i++)
        flood += "getregkey HKLM\\Software\\Classes\n";
    KilledController busy = run_killed_controller("", flood + setreg_line(key.path(), "third", "dword:3") + "\n" +
                                                          setreg_line(key.path(), "fourth", "dword:4"));
    EXPECT_GT(std::atol(busy.report.c_str()), 0) << busy.report;
    EXPECT_GE(busy.server_exit, 0) << "the server must end when its controller is gone";
    EXPECT_EQ(c.query(key.path(), "fourth"), "value 2");
    // The listing requests and the one complete write before the cut may or
    // may not have run by then; the registry still answers as before.
    EXPECT_EQ(c.query(key.path(), "first"), "4 01000000");
}

TEST(Faults, InputClosedInsideALineEndsCleanlyAndRunsNothingOfThatLine) {
    if (robust::behind_relay())
        GTEST_SKIP() << robust::kRelaySkip;
    Checker c;
    ScopedKey key(c, regtest::test_key());
    const std::vector<std::string> partials = {
        setreg_line(key.path(), "short", "dword:1"),
        // long enough to span many reads of the line assembler
        setreg_line(key.path(), "long", "str:" + std::string(1 << 20, 'x')),
        "rmregtree " + key.path(),
    };
    ASSERT_EQ(c.set(key.path(), "kept", qv::reg_dword, "\x05\0\0\0"s), "ok");
    for (const std::string& partial : partials) {
        robust::RawConversation conv(qvtest::options_for(qvtest::program("qvmanip.exe")));
        std::string why, answer;
        ASSERT_TRUE(conv.started(&why)) << why;
        ASSERT_TRUE(conv.send(setreg_line(key.path(), "before", "dword:7") + "\n" + partial));
        ASSERT_TRUE(conv.next(&answer, qvtest::patience(qv::Millis(30000)), &why)) << why;
        EXPECT_EQ(answer, "success");
        EXPECT_EQ(conv.finish(qvtest::patience(qv::Millis(30000))), 0);
        EXPECT_EQ(conv.trailing(), "") << "nothing may follow the last answer";
        EXPECT_EQ(conv.markers_in_stream(), 1u);
    }
    EXPECT_EQ(c.query(key.path(), "short"), "value 2");
    EXPECT_EQ(c.query(key.path(), "long"), "value 2");
    EXPECT_EQ(c.query(key.path(), "kept"), "4 05000000");
    EXPECT_EQ(c.query(key.path(), "before"), "4 07000000");
}

TEST(Faults, WineserverKilledUnderTheServerIsReportedAndASessionStartsAgain) {
    if (robust::behind_relay())
        GTEST_SKIP() << robust::kRelaySkip;
    robust::OwnPrefix prefix("faults");
    ASSERT_TRUE(prefix.ready()) << "could not clone a prefix into " << prefix.path();
    qv::SessionOptions options;
    options.launch = prefix.options_for(qvtest::program("qvmanip.exe"));
    options.start_timeout = options.answer_timeout = qvtest::patience(qv::Millis(60000));
    qv::Session session(options);
    const std::string key = "HKCU\\Software\\QvFaults";
    ASSERT_EQ(session.ask("setregkey", qv::escape(key + "\nv\ndword:1")), "success");

    auto kill_wineserver = [&] {
        int pid = prefix.wineserver_pid();
        if (pid > 0)
            kill(pid, SIGKILL);
        auto deadline = qv::Clock::now() + qv::Millis(30000);
        while (prefix.wineserver_pid() > 0 && qv::Clock::now() < deadline)
            usleep(20000);
        return pid;
    };

    // Killed while a request is on its way: the server is held still until
    // the request is written, so that it can only die with it in flight.
    pid_t server = session.server().peer().pid();
    ASSERT_EQ(kill(server, SIGSTOP), 0);
    ASSERT_GT(kill_wineserver(), 0) << "no wineserver found for " << prefix.path();
    std::thread resume([server] {
        usleep(300000);
        kill(server, SIGCONT);
    });
    try {
        std::string answer = session.ask("getregkey", key);
        ADD_FAILURE() << "a server without its wineserver answered \"" << qvtest::shown(answer) << "\"";
    } catch (const qv::ServerGone& e) {
        std::string what = e.what();
        EXPECT_NE(what.find("server"), std::string::npos) << what;
        EXPECT_NE(what.find("exited"), std::string::npos) << "the message should say how it ended: " << what;
    }
    resume.join();
    EXPECT_FALSE(session.running());

    // The next request starts a server, and with it a wineserver.
    EXPECT_EQ(session.ask("getwindowsdir"), "C:\\windows");
    EXPECT_EQ(session.starts(), 2);
    EXPECT_EQ(session.ask("setregkey", qv::escape(key + "\nw\ndword:2")), "success");
    EXPECT_EQ(session.ask("getregkey", key).find("value w\\0 4 02000000\n"), 0u) << session.ask("getregkey", key);

    // Killed between requests. Wine ends a client whose wineserver is gone
    // when it next needs it, or at once: the next registry request is then
    // answered by a new server, or reported with the one that died under it.
    // Either way no answer is wrong, and the request after it is answered.
    ASSERT_GT(kill_wineserver(), 0);
    try {
        std::string listing = session.ask("getregkey", key);
        EXPECT_EQ(session.starts(), 3) << "answered by a server without a wineserver: " << qvtest::shown(listing);
        // A killed wineserver keeps only what it saved before (it saves now
        // and then), so the earlier writes may be there or not.
        qv::Result<qv::RegKey> l = qv::parse_listing(listing);
        for (const qv::RegValue& v : l->values)
            EXPECT_TRUE((v.name == "v" && v.dword() == 1) || (v.name == "w" && v.dword() == 2)) << listing;
    } catch (const qv::ServerGone& e) {
        EXPECT_NE(std::string(e.what()).find("exited"), std::string::npos) << e.what();
    }
    EXPECT_EQ(session.ask("setregkey", qv::escape(key + "\nx\ndword:3")), "success");
    EXPECT_NE(session.ask("getregkey", key).find("value x\\0 4 03000000\n"), std::string::npos);
    EXPECT_EQ(session.starts(), 3);
    EXPECT_EQ(session.quit(), 0);
}

TEST(Faults, TwoServersOnOnePrefixSeeEachOthersWritesAtOnce) {
    if (robust::behind_relay())
        GTEST_SKIP() << robust::kRelaySkip;
    Checker c;
    ScopedKey key(c, regtest::test_key());
    const std::string k = key.path();
    qv::Server a = qvtest::start_server();
    qv::Server b = qvtest::start_server();

    // Lock-step: each write by one is read back by the other at once.
    for (uint32_t i = 0; i < 100; i++) {
        qv::Server& writer = i % 2 ? a : b;
        qv::Server& reader = i % 2 ? b : a;
        ASSERT_TRUE(qv::set_dword(writer, k, "shared", i)) << i;
        qv::Result<qv::RegKey> l = qv::list_key(reader, k);
        ASSERT_TRUE(l->find("shared")) << i;
        EXPECT_EQ(l->find("shared")->dword(), i);
        if (i % 10 == 9) {
            ASSERT_TRUE(qv::delete_value(reader, k, "shared")) << i;
            EXPECT_FALSE(qv::list_key(writer, k)->find("shared")) << i;
            EXPECT_FALSE(qv::delete_value(writer, k, "shared")) << "deleted twice at " << i;
        }
    }
    a.quit();
    b.quit();

    // Pipelined: two sessions write the same keys at the same time, each
    // listing them between its writes; nothing is lost and no answer belongs
    // to the other.
    qv::SessionOptions options;
    options.launch = qvtest::options_for(qvtest::program("qvmanip.exe"));
    options.start_timeout = options.answer_timeout = qvtest::patience(qv::Millis(60000));
    const int n = 300;
    std::vector<std::string> answers[2];
    auto run = [&](int side) {
        qv::Session s(options);
        std::vector<qv::Request> batch;
        for (int i = 0; i < n; i++) {
            std::string name = std::string(side ? "b" : "a") + std::to_string(i);
            batch.push_back({"setregkey", qv::escape(k + "\\sub" + std::to_string(i % 3) + "\n" + name + "\n" +
                                                     qv::dword_literal(static_cast<uint32_t>(i)))});
            batch.push_back({"getregkey", k + "\\sub" + std::to_string(i % 3)});
        }
        try {
            answers[side] = s.ask_all(batch);
        } catch (const std::exception& e) {
            answers[side] = {e.what()};
        }
        s.quit();
    };
    std::thread other(run, 1);
    run(0);
    other.join();
    for (int side = 0; side < 2; side++) {
        ASSERT_EQ(answers[side].size(), 2u * n) << answers[side].front();
        for (int i = 0; i < n; i++) {
            std::string name = std::string(side ? "b" : "a") + std::to_string(i);
            EXPECT_EQ(answers[side][2 * i], "success") << name;
            // Its own write is always in the listing that follows it.
            qv::Result<qv::RegKey> l = qv::parse_listing(answers[side][2 * i + 1]);
            ASSERT_TRUE(l->find(name)) << name << " in " << qvtest::shown(answers[side][2 * i + 1].substr(0, 300));
            EXPECT_EQ(l->find(name)->dword(), static_cast<uint32_t>(i));
        }
    }
    for (int sub = 0; sub < 3; sub++)
        EXPECT_EQ(c.ask("values " + regtest::server_view() + " " + qvtest::hex(k + "\\sub" + std::to_string(sub))), std::to_string(2 * n / 3))
            << "sub" << sub;
}

}  // namespace
