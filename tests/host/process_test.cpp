// Running programs: every descriptor and scratch folder is released on every
// path, a program past its timeout is reported as such.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "qv/process.h"
#include "qv/server.h"

namespace {

int count_entries(const std::string& dir, const std::string& prefix = "") {
    DIR* d = opendir(dir.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (std::string(e->d_name).rfind(prefix, 0) == 0 && e->d_name[0] != '.')
            n++;
    closedir(d);
    return n;
}

qv::LaunchOptions shell(const std::string& script) {
    qv::LaunchOptions o;
    o.wine = "/bin/sh";
    o.exe = "-c";
    o.args = {script};
    return o;
}

TEST(Processes, ARunThatCannotStartLeavesNoScratchFolder) {
    int before = count_entries("/tmp", "qvrun.");
    qv::LaunchOptions o = shell("exit 0");
    o.wine = "/nonexistent/loader";
    EXPECT_THROW((void)qv::run_program(o, qv::Millis(5000)), std::runtime_error);
    EXPECT_EQ(count_entries("/tmp", "qvrun."), before);
}

TEST(Processes, AFailedForkReleasesEveryDescriptor) {
    // In a child that may start no process at all (an unprivileged user
    // with a process limit of 0), so that fork itself fails.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        rlimit none{0, 0};
        if (setrlimit(RLIMIT_NPROC, &none) != 0)
            _exit(11);
        int before = count_entries("/proc/self/fd");
        bool threw = false;
        try {
            qv::Peer::spawn(shell("exit 0"));
        } catch (const std::runtime_error& e) {
            threw = std::string(e.what()).rfind("fork", 0) == 0;
        }
        _exit(!threw ? 12 : count_entries("/proc/self/fd") == before ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10/11: no unprivileged child; 12: fork did not fail; 13: descriptors leaked";
}

TEST(Processes, ExitCodesOutputAndTimeouts) {
    qv::Result<qv::RunResult> r = qv::run_program(shell("echo out; echo err >&2; exit 3"), qv::Millis(20000));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->exit_code, 3);
    EXPECT_EQ(r->out, "out\n");
    EXPECT_EQ(r->err, "err\n");
    qv::Result<qv::RunResult> slow = qv::run_program(shell("echo begun; exec sleep 30"), qv::Millis(300));
    ASSERT_FALSE(slow);
    EXPECT_EQ(slow.failure->kind, qv::Failure::Kind::incomplete);
    EXPECT_EQ(slow->out, "begun\n");
    EXPECT_EQ(slow->exit_code, -1);
}

// Whatever descriptors the caller lacks and whatever signals its thread
// blocks, the program gets its own pipes and an empty signal mask.
TEST(Processes, TheProgramGetsItsPipesAndNoBlockedSignalsWhateverTheCallerLacks) {
    const std::vector<std::vector<int>> closed_sets = {{}, {0}, {0, 1}, {0, 1, 2}, {1, 2}};
    for (const std::vector<int>& closed : closed_sets) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int fd : closed)
                close(fd);
            sigset_t term;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            sigprocmask(SIG_BLOCK, &term, nullptr);
            // Run directly, not through a shell, which would clear the mask.
            auto output_of = [](const qv::LaunchOptions& o, const std::string& input) {
                qv::Peer child = qv::Peer::spawn(o);
                child.write_all(input);
                child.close_input();
                std::string out;
                char buf[256];
                for (ssize_t n; (n = child.read_some(buf, sizeof buf, qv::Clock::now() + qv::Millis(10000))) > 0;)
                    out.append(buf, static_cast<size_t>(n));
                return out;
            };
            qv::LaunchOptions cat, mask;
            cat.wine = "/bin/cat";
            cat.exe = "-";
            mask.wine = "/bin/grep";
            mask.exe = "SigBlk";
            mask.args = {"/proc/self/status"};
            try {
                bool piped = output_of(cat, "hello\n") == "hello\n";
                bool unmasked = output_of(mask, "") == "SigBlk:\t0000000000000000\n";
                _exit(piped && unmasked ? 0 : piped ? 1 : 2);
            } catch (...) {
                _exit(3);
            }
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "with " << closed.size() << " standard descriptors closed: " << status
            << " (exit 1: a signal stayed blocked; 2: the input did not arrive; 3: no start)";
    }
}

// A server that ends before its handshake says how and why; one that ends
// at once without a word is started once more, nothing else is.
TEST(Processes, AServerThatEndsBeforeItsHandshakeIsReportedOrStartedOnceMore) {
    const std::string starts = "/tmp/qv-starts-" + std::to_string(getpid());
    const std::string count = "echo >>" + starts + "; ";
    struct Case {
        const char* script;  // after the start is counted; $n is the start's number
        int starts;
        const char* said;  // in the error, or nullptr when the start succeeds
    } cases[] = {
        {"[ $n = 1 ] && exit 1; printf 'QVMANIP OK\\n'; read l", 2, nullptr},
        {"exit 1", 2, "status 1; its error output was empty (a second start"},
        {"echo 'wine: no such prefix' >&2; exit 5", 1, "status 5; its error output: wine: no such prefix"},
        {"printf 'QVMANIP NO\\n'", 1, "got: \"QVMANIP NO"},
    };
    for (const Case& c : cases) {
        unlink(starts.c_str());
        std::string script = count + "n=$(wc -l <" + starts + "); " + c.script;
        try {
            qv::Server::start(shell(script), qv::Millis(10000)).finish();
            EXPECT_EQ(c.said, nullptr) << c.script << ": started";
        } catch (const qv::ProtocolError& e) {
            ASSERT_NE(c.said, nullptr) << c.script << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.said), std::string::npos) << e.what();
        }
        FILE* f = std::fopen(starts.c_str(), "r");
        int lines = 0;
        for (int ch; f && (ch = std::fgetc(f)) != EOF;)
            lines += ch == '\n';
        if (f)
            std::fclose(f);
        EXPECT_EQ(lines, c.starts) << c.script;
    }
    unlink(starts.c_str());
    EXPECT_EQ(count_entries("/tmp", "qvstart."), 0) << "a start log was left behind";
}

}  // namespace
