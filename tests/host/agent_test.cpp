// The agent (qvagent) with a scripted stand-in for the server (no Wine): its
// folder and lock, many clients at once, clients and servers dying, racing
// starts, other users, idle exit.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "qv/agent.h"
#include "qv/session.h"

namespace {

const char kScript[] =
    "printf 'QVMANIP OK\\n'\n"
    "echo start >>\"$QV_STARTS\"\n"
    "while IFS= read -r line; do\n"
    "  case \"$line\" in\n"
    "    quit*) exit 0 ;;\n"
    "    die*) exit 3 ;;\n"
    "    slow*) sleep 1; printf 'late\\nend\\n' ;;\n"
    "    *) printf 'echo %s\\nend\\n' \"$line\" ;;\n"
    "  esac\n"
    "done\n";

// Plain read(2): a stream's read of /proc/PID/... of a process that ends
// meanwhile throws ("No such process"); here that file is simply empty.
std::string read_file(const std::string& path) {
    std::string out;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        out.append(chunk, static_cast<size_t>(n));
    close(fd);
    return n < 0 ? std::string() : out;
}

// Waits up to 20 s for a condition; false when it never held.
bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 2000; i++) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int raw_connect(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

class AgentHost : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = "/tmp/qv-agent-" + std::to_string(getpid());
        std::system(("rm -rf '" + dir_ + "'").c_str());
        mkdir(dir_.c_str(), 0755);
        runtime_ = dir_ + "/run";
        mkdir(runtime_.c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        prefix_ = dir_ + "/prefix";
        mkdir(prefix_.c_str(), 0755);
        std::ofstream(dir_ + "/server.sh") << kScript;
        options_.launch.wine = "/bin/sh";
        options_.launch.exe = dir_ + "/server.sh";
        options_.launch.prefix = prefix_;
        options_.launch.env = {{"QV_STARTS", dir_ + "/starts"}};
        options_.start_timeout = options_.answer_timeout = qv::Millis(20000);
        options_.agent.use = true;
        options_.agent.persist_seconds = 60;
        options_.agent.program = QV_AGENT_PROGRAM;
        options_.agent.connect_timeout = qv::Millis(20000);
    }
    void TearDown() override {
        for (pid_t pid : agents())
            kill(pid, SIGKILL);
        eventually([&] { return agents().empty(); });
        std::system(("chmod -R u+rwx '" + dir_ + "' 2>/dev/null; rm -rf '" + dir_ + "'").c_str());
        unsetenv("XDG_RUNTIME_DIR");
    }

    int starts() const {
        std::string s = read_file(dir_ + "/starts");
        return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
    }
    qv::AgentPaths paths() const { return qv::agent_paths(prefix_); }

    // Running qvagent processes serving this test's prefix.
    std::vector<pid_t> agents() const {
        std::vector<pid_t> out;
        DIR* proc = opendir("/proc");
        while (dirent* e = readdir(proc)) {
            pid_t pid = std::atoi(e->d_name);
            if (pid <= 0)
                continue;
            std::string cmd = read_file("/proc/" + std::string(e->d_name) + "/cmdline");
            std::string stat = read_file("/proc/" + std::string(e->d_name) + "/stat");
            bool zombie = stat.find(") Z") != std::string::npos;
            if (!zombie && cmd.find("qvagent") != std::string::npos && cmd.find(prefix_ + '\0') != std::string::npos)
                out.push_back(pid);
        }
        closedir(proc);
        return out;
    }
    std::string status_field(const std::string& name) {
        std::optional<qv::Server> agent = qv::connect_running_agent(prefix_, qv::Millis(5000));
        if (!agent)
            return "";
        std::string status = agent->request(".agent status");
        agent->quit();
        size_t at = status.find(name + " ");
        return at == std::string::npos ? "" : status.substr(at + name.size() + 1, status.find('\n', at) - at - name.size() - 1);
    }

    std::string dir_, runtime_, prefix_;
    qv::SessionOptions options_;
};

TEST(AgentFolder, RefusesFoldersOthersCanEnterLinksAndOtherUsersFolders) {
    std::string base = "/tmp/qv-agent-folder-" + std::to_string(getpid());
    mkdir(base.c_str(), 0755);
    std::string good = base + "/good", open = base + "/open", group = base + "/group", link = base + "/link",
                file = base + "/file", theirs = base + "/theirs";
    mkdir(good.c_str(), 0700);
    mkdir(open.c_str(), 0700);
    chmod(open.c_str(), 0755);
    mkdir(group.c_str(), 0700);
    chmod(group.c_str(), 0710);
    symlink(good.c_str(), link.c_str());
    std::ofstream(file) << "x";
    mkdir(theirs.c_str(), 0700);
    bool can_chown = chown(theirs.c_str(), geteuid() + 4242, getegid()) == 0;

    EXPECT_NO_THROW(qv::check_private_folder(good));
    auto refusal = [](const std::string& dir) -> std::string {
        try {
            qv::check_private_folder(dir);
        } catch (const qv::AgentUnavailable& e) {
            EXPECT_EQ(e.why, qv::AgentUnavailable::Why::folder);
            return e.what();
        }
        return "accepted";
    };
    EXPECT_NE(refusal(open).find("mode 0755"), std::string::npos) << refusal(open);
    EXPECT_NE(refusal(group).find("mode 0710"), std::string::npos) << refusal(group);
    EXPECT_NE(refusal(link).find("symbolic link"), std::string::npos) << refusal(link);
    EXPECT_NE(refusal(file).find("not a directory"), std::string::npos) << refusal(file);
    EXPECT_NE(refusal(base + "/missing").find("No such file"), std::string::npos);
    if (can_chown) {
        EXPECT_NE(refusal(theirs).find("belongs to user id " + std::to_string(geteuid() + 4242)), std::string::npos)
            << refusal(theirs);
    }

    // Created private where missing, under XDG_RUNTIME_DIR.
    setenv("XDG_RUNTIME_DIR", good.c_str(), 1);
    EXPECT_EQ(qv::agent_folder(), good + "/qvtools");
    struct stat st;
    ASSERT_EQ(stat((good + "/qvtools").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    setenv("XDG_RUNTIME_DIR", open.c_str(), 1);
    mkdir((open + "/qvtools").c_str(), 0755);
    chmod((open + "/qvtools").c_str(), 0755);
    EXPECT_THROW(qv::agent_folder(), qv::AgentUnavailable);
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(qv::agent_folder(), "/tmp/qvtools-" + std::to_string(geteuid()));
    std::system(("rm -rf '" + base + "'").c_str());
}

TEST(AgentLockTest, IsExclusiveAndFreedWhenItsHolderEndsEvenByKill) {
    std::string path = "/tmp/qv-agent-lock-" + std::to_string(getpid());
    {
        std::optional<qv::AgentLock> first = qv::AgentLock::take(path);
        ASSERT_TRUE(first);
        EXPECT_FALSE(qv::AgentLock::take(path));
    }
    EXPECT_TRUE(qv::AgentLock::take(path));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        std::optional<qv::AgentLock> held = qv::AgentLock::take(path);
        (void)!write(ready[1], held ? "y" : "n", 1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    EXPECT_FALSE(qv::AgentLock::take(path));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(qv::AgentLock::take(path));
    unlink(path.c_str());
}

TEST(AgentSettings, PersistSecondsAndWhatMakesAnotherConfiguration) {
    EXPECT_EQ(qv::parse_persist("0"), 0);
    EXPECT_EQ(qv::parse_persist("30"), 30);
    EXPECT_FALSE(qv::parse_persist(""));
    EXPECT_FALSE(qv::parse_persist("-1"));
    EXPECT_FALSE(qv::parse_persist("1.5"));
    EXPECT_FALSE(qv::parse_persist("9999999"));
    setenv("QV_PERSIST", "abc", 1);
    EXPECT_THROW(qv::persist_from_environment(), std::invalid_argument);
    setenv("QV_PERSIST", "7", 1);
    EXPECT_EQ(qv::persist_from_environment(), 7);
    unsetenv("QV_PERSIST");
    EXPECT_EQ(qv::persist_from_environment(), qv::kDefaultPersistSeconds);

    qv::LaunchOptions a;
    a.wine = "/usr/lib/wine/wine64";
    a.exe = "/x/qvmanip.exe";
    a.prefix = "/p";
    std::string base = qv::launch_fingerprint(a);
    setenv("PATH_FOR_TEST_ONLY", "1", 1);
    setenv("WINEDEBUG", "+all", 1);  // forced to -all for the server anyway
    EXPECT_EQ(qv::launch_fingerprint(a), base);
    setenv("LANG", "fr_FR.UTF-8", 1);
    EXPECT_NE(qv::launch_fingerprint(a), base);
    unsetenv("LANG");
    qv::LaunchOptions b = a;
    b.env = {{"WINEARCH", "win32"}};
    EXPECT_NE(qv::launch_fingerprint(b), base);
    b = a;
    b.exe = "/y/qvmanip.exe";
    EXPECT_NE(qv::launch_fingerprint(b), base);
    unsetenv("WINEDEBUG");
    unsetenv("PATH_FOR_TEST_ONLY");
}

TEST_F(AgentHost, EightClientsAtOnceEachGetTheirOwnAnswersInOrderFromOneServer) {
    constexpr int kClients = 8, kRequests = 1000;
    std::atomic<int> wrong{0}, right{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; c++)
        clients.emplace_back([&, c] {
            qv::Session session(options_);
            for (int r = 0; r < kRequests;) {
                if (r % 100 < 50) {  // lock-step
                    std::string word = "c" + std::to_string(c) + "-r" + std::to_string(r);
                    (session.ask(word, "x") == "echo " + word + " x" ? right : wrong)++;
                    r++;
                } else {  // pipelined, 25 in flight
                    std::vector<qv::Request> batch;
                    for (int k = 0; k < 25; k++, r++)
                        batch.push_back({"c" + std::to_string(c) + "-r" + std::to_string(r), ""});
                    std::vector<std::string> answers = session.ask_all(batch);
                    for (size_t k = 0; k < batch.size(); k++)
                        (k < answers.size() && answers[k] == "echo " + batch[k].command ? right : wrong)++;
                }
            }
            session.quit();
        });
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(right, kClients * kRequests);
    EXPECT_EQ(starts(), 1);
    EXPECT_EQ(agents().size(), 1u);
    EXPECT_EQ(status_field("requests"), std::to_string(kClients * kRequests));
}

TEST_F(AgentHost, AClientKilledMidRequestDisturbsNoOneAndItsAnswerIsDrained) {
    qv::Session other(options_);
    EXPECT_EQ(other.ask("before"), "echo before");
    // A process asks a slow question and is killed before the answer.
    pid_t child = fork();
    if (child == 0) {
        qv::Session session(options_);
        session.ask("slow");
        _exit(0);
    }
    // And a raw client leaves with a request and half a line unsent.
    int raw = raw_connect(paths().socket);
    ASSERT_GE(raw, 0);
    ASSERT_EQ(send(raw, "slow\nhalf a li", 14, MSG_NOSIGNAL), 14);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(raw);
    // The late answers go nowhere; this client gets its own.
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(other.ask("after" + std::to_string(i)), "echo after" + std::to_string(i));
    EXPECT_EQ(starts(), 1);
}

TEST_F(AgentHost, ServerDeathFailsOnlyTheRequestInFlightAndTheNextRequestStartsANewServer) {
    qv::Session idle(options_);
    EXPECT_EQ(idle.ask("one"), "echo one");
    qv::Session dying(options_);
    try {
        dying.ask("die");
        FAIL() << "a dead server gave an answer";
    } catch (const qv::ServerGone& e) {
        EXPECT_NE(std::string(e.what()).find("agent: the server died while answering"), std::string::npos)
            << e.what();
        EXPECT_NE(std::string(e.what()).find("exited with 3"), std::string::npos) << e.what();
    }
    EXPECT_EQ(dying.ask("again"), "echo again");  // a new conversation, a new server
    EXPECT_EQ(idle.ask("still"), "echo still");    // nothing was in flight for it
    EXPECT_EQ(starts(), 2);
    EXPECT_EQ(agents().size(), 1u);
}

TEST_F(AgentHost, QuitFromAClientEndsItsConversationNotTheSharedServer) {
    qv::Session session(options_);
    EXPECT_EQ(session.ask("x"), "echo x");
    for (std::string line : {std::string("quit\n"), std::string("quit now\n"), std::string("quit\0tail\n", 10)}) {
        int fd = raw_connect(paths().socket);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(send(fd, line.data(), line.size(), MSG_NOSIGNAL), static_cast<ssize_t>(line.size()));
        std::string got;
        char buf[256];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<size_t>(n));
        close(fd);
        EXPECT_EQ(got, "QVMANIP OK\n");  // and then the end of the conversation
    }
    EXPECT_EQ(session.ask("y"), "echo y");
    EXPECT_EQ(session.quit(), 0);
    EXPECT_EQ(starts(), 1);
}

TEST_F(AgentHost, AnAgentKilledWithSigkillIsReplacedByTheNextCall) {
    qv::Session first(options_);
    EXPECT_EQ(first.ask("a"), "echo a");
    std::vector<pid_t> before = agents();
    ASSERT_EQ(before.size(), 1u);
    kill(before[0], SIGKILL);
    ASSERT_TRUE(eventually([&] { return agents().empty(); }));
    struct stat st;
    EXPECT_EQ(stat(paths().socket.c_str(), &st), 0) << "the stale socket is left behind";
    qv::Session second(options_);
    EXPECT_EQ(second.ask("b"), "echo b");
    std::vector<pid_t> after = agents();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after[0], before[0]);
    // The old conversation, found over before sending, goes on through the
    // new agent without losing the request.
    EXPECT_EQ(first.ask("c"), "echo c");
    EXPECT_EQ(agents().size(), 1u);
}

TEST_F(AgentHost, TwentyCallersRacingToStartTheAgentLeaveExactlyOne) {
    std::vector<pid_t> callers;
    for (int i = 0; i < 20; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            try {
                qv::Session session(options_);
                std::string word = "caller" + std::to_string(i);
                _exit(session.ask(word) == "echo " + word ? 0 : 1);
            } catch (...) {
                _exit(2);
            }
        }
        callers.push_back(pid);
    }
    for (pid_t pid : callers) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    EXPECT_EQ(agents().size(), 1u);
    EXPECT_EQ(starts(), 1);
}

TEST_F(AgentHost, AnotherUserCannotConnectEvenWhereTheFolderLetsThemIn) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create a user";
    std::string user = "qvagt" + std::to_string(getpid() % 100000);
    ASSERT_EQ(std::system(("useradd -M -s /usr/sbin/nologin " + user + " 2>/dev/null").c_str()), 0);
    passwd* pw = getpwnam(user.c_str());
    ASSERT_NE(pw, nullptr);
    uid_t uid = pw->pw_uid;
    gid_t gid = pw->pw_gid;
    qv::Session session(options_);
    EXPECT_EQ(session.ask("mine"), "echo mine");
    std::string socket = paths().socket;

    // What the other user gets: "denied" (no entry), "closed" (the agent
    // hung up without a word), or the bytes it was sent.
    auto as_other_user = [&]() -> std::string {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        pid_t child = fork();
        if (child == 0) {
            close(out[0]);
            if (setgid(gid) != 0 || setuid(uid) != 0)
                _exit(9);
            int fd = raw_connect(socket);
            std::string said = fd < 0 ? "denied" : "";
            if (fd >= 0) {
                char buf[64];
                ssize_t n = read(fd, buf, sizeof buf);
                said = n <= 0 ? "closed" : std::string(buf, static_cast<size_t>(n));
            }
            (void)!write(out[1], said.data(), said.size());
            _exit(0);
        }
        close(out[1]);
        std::string said;
        char buf[64];
        for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
            said.append(buf, static_cast<size_t>(n));
        close(out[0]);
        waitpid(child, nullptr, 0);
        return said;
    };
    EXPECT_EQ(as_other_user(), "denied");
    // Opened up by mistake: the agent still refuses the other user's id.
    chmod(runtime_.c_str(), 0711);
    chmod((runtime_ + "/qvtools").c_str(), 0711);
    chmod(socket.c_str(), 0777);
    EXPECT_EQ(as_other_user(), "closed");
    chmod((runtime_ + "/qvtools").c_str(), 0700);
    EXPECT_EQ(session.ask("still mine"), "echo still mine");
    std::system(("userdel " + user + " 2>/dev/null").c_str());
    EXPECT_NE(read_file(paths().log).find("refused a connection from user id " + std::to_string(uid)),
              std::string::npos);
}

TEST_F(AgentHost, AnUnsafeFolderIsRefusedAndNothingIsCreatedInIt) {
    std::string folder = runtime_ + "/qvtools";
    mkdir(folder.c_str(), 0700);
    chmod(folder.c_str(), 0777);
    qv::Session session(options_);
    try {
        session.ask("x");
        FAIL() << "an agent was used in a folder anyone can enter";
    } catch (const qv::AgentUnavailable& e) {
        EXPECT_EQ(e.why, qv::AgentUnavailable::Why::folder);
        EXPECT_NE(std::string(e.what()).find("mode 0777"), std::string::npos) << e.what();
    }
    chmod(folder.c_str(), 0700);
    if (chown(folder.c_str(), geteuid() + 4242, getegid()) == 0) {
        EXPECT_THROW(session.ask("x"), qv::AgentUnavailable);
        chown(folder.c_str(), geteuid(), getegid());
    }
    DIR* d = opendir(folder.c_str());
    int entries = 0;
    while (dirent* e = readdir(d))
        entries += e->d_name[0] != '.';
    closedir(d);
    EXPECT_EQ(entries, 0);
    EXPECT_TRUE(agents().empty());
}

TEST_F(AgentHost, IdleAgentEndsWithItsServerAndStopEndsItAtOnce) {
    options_.agent.persist_seconds = 1;
    {
        qv::Session session(options_);
        EXPECT_EQ(session.ask("x"), "echo x");
        EXPECT_EQ(status_field("persist_seconds"), "1");
    }
    ASSERT_TRUE(eventually([&] { return agents().empty(); }));
    struct stat st;
    EXPECT_NE(stat(paths().socket.c_str(), &st), 0) << "socket left behind";
    EXPECT_TRUE(qv::AgentLock::take(paths().lock));
    EXPECT_NE(read_file(paths().log).find("ended: idle for 1 s"), std::string::npos) << read_file(paths().log);
    EXPECT_NE(read_file(paths().log).find("server quit with 0"), std::string::npos);

    options_.agent.persist_seconds = 600;
    qv::Session session(options_);  // connected while the agent is stopped
    EXPECT_EQ(session.ask("y"), "echo y");
    std::optional<qv::Server> agent = qv::connect_running_agent(prefix_, qv::Millis(5000));
    ASSERT_TRUE(agent);
    EXPECT_EQ(agent->request(".agent stop"), "stopped");
    ASSERT_TRUE(eventually([&] { return qv::AgentLock::take(paths().lock).has_value(); }));
    EXPECT_TRUE(agents().empty());
    EXPECT_FALSE(qv::connect_running_agent(prefix_, qv::Millis(5000)));
    // Nothing was in flight for the session: its next request starts a new
    // agent instead of failing on the conversation the stop ended.
    EXPECT_EQ(session.ask("z"), "echo z");
    EXPECT_EQ(agents().size(), 1u);
}

TEST_F(AgentHost, RemovingThePrefixFolderEndsTheAgent) {
    qv::Session session(options_);
    EXPECT_EQ(session.ask("x"), "echo x");
    ASSERT_EQ(agents().size(), 1u);
    std::string log = paths().log;
    std::system(("rm -rf '" + prefix_ + "'").c_str());
    EXPECT_TRUE(eventually([&] { return agents().empty(); }));
    EXPECT_NE(read_file(log).find("ended: the prefix folder " + prefix_ + " is gone"), std::string::npos)
        << read_file(log);
}

TEST_F(AgentHost, AClientWithAnotherConfigurationIsNotGivenThisServer) {
    qv::Session session(options_);
    EXPECT_EQ(session.ask("x"), "echo x");
    qv::SessionOptions other = options_;
    other.launch.env.push_back({"LANG", "fr_FR.UTF-8"});
    qv::Session french(other);
    try {
        french.ask("x");
        FAIL() << "shared a server started for another environment";
    } catch (const qv::AgentUnavailable& e) {
        EXPECT_EQ(e.why, qv::AgentUnavailable::Why::mismatch);
    }
    EXPECT_EQ(agents().size(), 1u);
}

}  // namespace
