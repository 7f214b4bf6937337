// A session against a scripted stand-in for the server (no Wine): it echoes
// each request, pads answers on request, and dies on "die".
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "qv/registry.h"
#include "qv/session.h"
#include "scripted_server.h"

namespace {

const char kScript[] =
    "printf 'QVMANIP OK\\n'\n"
    "echo start >>\"$QV_STARTS\"\n"
    "while IFS= read -r line; do\n"
    "  case \"$line\" in\n"
    "    quit*) exit 0 ;;\n"
    "    die*|rmregtree*) exit 3 ;;\n"
    "    setregkey*) printf 'success\\nend\\n' ;;\n"
    "    half*) printf 'half an answer\\n'; exit 4 ;;\n"
    "    pad*) head -c 3000 /dev/zero | tr '\\0' x; printf '\\nend\\n' ;;\n"
    "    slow*) sleep 5; printf 'late\\nend\\n' ;;\n"
    "    *) printf 'echo %s\\nend\\n' \"$line\" ;;\n"
    "  esac\n"
    "done\n";

class ScriptedSession : public ::testing::Test {
protected:
    int recorded_starts() const { return static_cast<int>(server_.lines("starts").size()); }

    hosttest::ScriptedServer server_{"session", kScript};
    const std::string& dir_ = server_.dir;
    qv::SessionOptions& options_ = server_.options;
};

TEST_F(ScriptedSession, StartsOnFirstRequestAndQuitsCleanly) {
    qv::Session session(options_);
    EXPECT_FALSE(session.running());
    EXPECT_EQ(recorded_starts(), 0);
    EXPECT_EQ(session.ask("hello", "a b"), "echo hello a b");
    EXPECT_TRUE(session.running());
    EXPECT_EQ(session.quit(), 0);
    EXPECT_FALSE(session.running());
    EXPECT_EQ(session.quit(), 0);
    EXPECT_EQ(session.ask("again"), "echo again");
    EXPECT_EQ(session.starts(), 2);
    EXPECT_EQ(recorded_starts(), 2);
}

TEST_F(ScriptedSession, ServerDyingMidRequestIsReportedAndReplacedOnTheNextRequest) {
    qv::Session session(options_);
    EXPECT_EQ(session.ask("one"), "echo one");
    try {
        session.ask("die");
        FAIL() << "a dead server must not give an answer";
    } catch (const qv::ServerGone& e) {
        EXPECT_NE(std::string(e.what()).find("exited with 3"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("ended before an answer"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(session.running());
    EXPECT_EQ(session.ask("two"), "echo two");
    EXPECT_EQ(session.starts(), 2);

    try {
        session.ask("half");
        FAIL() << "half an answer must not count as one";
    } catch (const qv::ServerGone& e) {
        EXPECT_NE(std::string(e.what()).find("inside an answer; pending: \"half an answer\n"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(session.ask("three"), "echo three");
    EXPECT_EQ(session.starts(), 3);
}

TEST_F(ScriptedSession, ServerFoundDeadBeforeSendingIsReplacedWithoutLosingTheRequest) {
    qv::Session session(options_);
    EXPECT_EQ(session.ask("one"), "echo one");
    session.server().peer().kill_now();
    // Writing to the dead server's input would raise SIGPIPE; the session
    // notices the death first and the caller gets its answer.
    EXPECT_EQ(session.ask("two"), "echo two");
    EXPECT_EQ(session.starts(), 2);
}

TEST_F(ScriptedSession, WritingToAServerThatDiedFailsWithoutKillingTheCaller) {
    qv::Session session(options_);
    qv::Server& server = session.server();
    server.send("die\n");
    EXPECT_EQ(server.peer().wait(qv::Clock::now() + qv::Millis(10000)), 3);
    // Still ours to write to: the pipe has no reader any more.
    EXPECT_FALSE(server.peer().write_all("x\n"));
    EXPECT_THROW(server.send("y\n"), qv::ProtocolError);
}

TEST_F(ScriptedSession, AFailedWriteLeavesTheCallersSignalMaskAndPendingSignalsAsTheyWere) {
    qv::Session session(options_);
    qv::Server& server = session.server();
    server.send("die\n");
    ASSERT_EQ(server.peer().wait(qv::Clock::now() + qv::Millis(10000)), 3);
    sigset_t pipe_only, old;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe_only, &old);
    auto state = [] {  // {SIGPIPE blocked, SIGPIPE pending}
        sigset_t mask, pending;
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        sigpending(&pending);
        return std::make_pair(sigismember(&mask, SIGPIPE) == 1, sigismember(&pending, SIGPIPE) == 1);
    };

    EXPECT_FALSE(server.peer().write_all("x\n"));
    EXPECT_EQ(state(), std::make_pair(false, false));
    // Blocked by the caller: the write's own signal is taken back...
    pthread_sigmask(SIG_BLOCK, &pipe_only, nullptr);
    EXPECT_FALSE(server.peer().write_all("x\n"));
    EXPECT_EQ(state(), std::make_pair(true, false));
    // ...but one that was pending before stays the caller's.
    raise(SIGPIPE);
    EXPECT_FALSE(server.peer().write_all("x\n"));
    EXPECT_EQ(state(), std::make_pair(true, true));

    timespec none{0, 0};
    sigtimedwait(&pipe_only, nullptr, &none);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

TEST_F(ScriptedSession, BatchesLargerThanBothPipesAreAnsweredInOrder) {
    qv::Session session(options_);
    // 400 answers of 3 KiB each fill the answer pipe many times over while
    // requests are still being written.
    std::vector<qv::Request> requests;
    for (int i = 0; i < 400; i++)
        requests.push_back(i % 2 ? qv::Request{"pad", std::string(200, 'r')}
                                 : qv::Request{"n", std::to_string(i)});
    std::vector<std::string> answers = session.ask_all(requests);
    ASSERT_EQ(answers.size(), requests.size());
    for (int i = 0; i < 400; i++)
        if (i % 2)
            EXPECT_EQ(answers[i], std::string(3000, 'x')) << i;
        else
            EXPECT_EQ(answers[i], "echo n " + std::to_string(i)) << i;
    EXPECT_TRUE(session.ask_all({}).empty());
    EXPECT_THROW(session.ask_all({{"a", "b\nc"}}), std::invalid_argument);
    EXPECT_EQ(session.ask("after"), "echo after");
}

TEST_F(ScriptedSession, ServerDyingInsideABatchIsReported) {
    qv::Session session(options_);
    EXPECT_THROW(session.ask_all({{"a", ""}, {"die", ""}, {"b", ""}}), qv::ServerGone);
    EXPECT_EQ(session.ask_all({{"c", ""}}), std::vector<std::string>{"echo c"});
}

TEST_F(ScriptedSession, AnAnswerTooLateIsNeverTakenForTheNextOne) {
    options_.answer_timeout = qv::Millis(300);
    qv::Session session(options_);
    // Typed calls ask the server directly: the timeout must not leave its
    // late answer to be read as the answer to the next request.
    EXPECT_THROW(session.server().request("slow"), qv::ProtocolError);
    EXPECT_FALSE(session.running());
    EXPECT_EQ(session.ask("after"), "echo after");
    EXPECT_THROW(session.ask("slow"), qv::ServerGone);
    EXPECT_EQ(session.ask_all({{"next", ""}}), std::vector<std::string>{"echo next"});
    EXPECT_EQ(session.starts(), 3);
}

TEST_F(ScriptedSession, TypedCallsOnASessionNeverResendAndStartAgainAfterADeath) {
    qv::Session session(options_);
    EXPECT_TRUE(qv::set_dword(session, "HKCU\\a", "v", 1));
    // The server dies while answering: the call throws, it is not sent again.
    EXPECT_THROW((void)qv::delete_tree(session, "HKCU\\a"), qv::ServerGone);
    EXPECT_EQ(recorded_starts(), 1);
    // The next call starts a new server; refused input starts none.
    EXPECT_FALSE(qv::set_dword(session, "HKCU\\a\nb", "v", 1));
    EXPECT_EQ(recorded_starts(), 1);
    EXPECT_TRUE(qv::set_dword(session, "HKCU\\a", "v", 2));
    EXPECT_EQ(recorded_starts(), 2);
    EXPECT_EQ(session.quit(), 0);
}

TEST(SessionStart, AMissingLoaderIsNamedInTheError) {
    qv::SessionOptions o;
    o.launch.wine = "/nonexistent/wine64";
    o.launch.exe = "qvmanip.exe";
    qv::Session session(o);
    try {
        session.ask("x");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/wine64"), std::string::npos) << e.what();
    }
}

}  // namespace
