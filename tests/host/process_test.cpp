// Running programs: every descriptor and scratch folder is released on every
// path, a program past its timeout is reported as such.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "qv/process.h"

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

}  // namespace
