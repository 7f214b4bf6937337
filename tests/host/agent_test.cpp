// The agent (qvagent) with a scripted stand-in for the server (no Wine): its
// folder and lock, many clients at once, clients and servers dying, racing
// starts, other users, idle exit.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qv/agent.h"
#include "qv/session.h"
#include "proc_file.h"

namespace {

const char kScript[] =
    "printf 'QVMANIP OK\\n'\n"
    "echo start >>\"$QV_STARTS\"\n"
    "while IFS= read -r line; do\n"
    "  case \"$line\" in\n"
    "    quit*) [ -z \"$QV_SLOW_QUIT\" ] || sleep 2; exit 0 ;;\n"
    "    die*) exit 3 ;;\n"
    "    endwine*) if [ ! -e \"$QV_STARTS.ended\" ]; then touch \"$QV_STARTS.ended\"; exit 4; fi\n"
    "      printf 'echo %s\\nend\\n' \"$line\" ;;\n"
    "    slow*) sleep 1; printf 'late\\nend\\n' ;;\n"
    "    hang*) set -- $line; sleep \"${2:-2}\"; echo \"$line\" >>\"$QV_STARTS.carried\"; printf 'late\\nend\\n' ;;\n"
    "    big*) cat \"$QV_BIG\"; printf '\\nend\\n' ;;\n"
    "    mark*) echo \"$line\" >>\"$QV_STARTS.marks\"; printf 'ok\\nend\\n' ;;\n"
    "    'unixpath Z:'*) printf 'path %s/dosdevices/z:\\nend\\n' \"$WINEPREFIX\" ;;\n"
    "    unixpath*|windowspath*|findfiles*|getexpandedstr*|expandstr*)\n"
    "      printf '%s pwd=%s foo=%s\\nend\\n' \"$line\" \"$(pwd)\" \"$QVT_FOO\" ;;\n"
    "    *) printf 'echo %s\\nend\\n' \"$line\" ;;\n"
    "  esac\n"
    "done\n";

using qvtest::read_whole;

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

// CPU seconds a process has used, and its resident memory in KiB.
double cpu_seconds(pid_t pid) {
    std::string stat = read_whole("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; i++)
        if (i >= 14)
            ticks += std::stoull(field);
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long rss_kib(pid_t pid) {
    std::string status = read_whole("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// All a raw connection receives until the agent closes it.
std::string read_all(int fd) {
    std::string got;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<size_t>(n));
    return got;
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
        std::string s = read_whole(dir_ + "/starts");
        return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
    }
    qv::AgentPaths paths() const { return qv::agent_paths(prefix_); }
    // The agent's socket and log as people know them (paths() reaches them
    // through a descriptor that lives only as long as its result).
    std::string socket_path() const {
        qv::AgentPaths p = paths();
        return p.shown(p.socket);
    }
    std::string log_path() const {
        qv::AgentPaths p = paths();
        return p.shown(p.log);
    }

    // Running qvagent processes serving this test's prefix.
    std::vector<pid_t> agents() const {
        std::vector<pid_t> out;
        DIR* proc = opendir("/proc");
        while (dirent* e = readdir(proc)) {
            pid_t pid = std::atoi(e->d_name);
            if (pid <= 0)
                continue;
            std::string cmd = read_whole("/proc/" + std::string(e->d_name) + "/cmdline");
            std::string stat = read_whole("/proc/" + std::string(e->d_name) + "/stat");
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
    mkdir((good + "/unsafe").c_str(), 0700);
    mkdir((good + "/unsafe/qvtools").c_str(), 0700);
    chmod((good + "/unsafe/qvtools").c_str(), 0755);
    setenv("XDG_RUNTIME_DIR", (good + "/unsafe").c_str(), 1);
    EXPECT_THROW(qv::agent_folder(), qv::AgentUnavailable);  // this user's own doing
    // A runtime folder others may enter, or another user's, is not one.
    std::string tmp = base + "/tmp";
    mkdir(tmp.c_str(), 0700);
    chmod(tmp.c_str(), 01777);
    setenv("TMPDIR", tmp.c_str(), 1);
    std::string fallback = tmp + "/qvtools-" + std::to_string(geteuid());
    setenv("XDG_RUNTIME_DIR", open.c_str(), 1);
    EXPECT_EQ(qv::agent_folder(), fallback);
    if (can_chown) {
        setenv("XDG_RUNTIME_DIR", theirs.c_str(), 1);
        EXPECT_EQ(qv::agent_folder(), fallback);
    }
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(qv::agent_folder(), fallback);
    // That name taken by another user first: a folder under HOME instead.
    if (can_chown) {
        ASSERT_EQ(chown(fallback.c_str(), geteuid() + 4242, getegid()), 0);
        std::string home = base + "/home";
        mkdir(home.c_str(), 0755);
        const char* was_home = std::getenv("HOME");
        std::string saved = was_home ? was_home : "";
        setenv("HOME", home.c_str(), 1);
        EXPECT_EQ(qv::agent_folder(), home + "/.cache/qvtools/agents");
        setenv("HOME", saved.c_str(), 1);
    }
    unsetenv("TMPDIR");
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

TEST_F(AgentHost, AnswersDoNotDependOnTheClientThatStartedTheAgent) {
    std::string first = dir_ + "/first", second = dir_ + "/second";
    mkdir(first.c_str(), 0755);
    mkdir(second.c_str(), 0755);
    char was[4096];
    ASSERT_TRUE(getcwd(was, sizeof was));
    ASSERT_EQ(chdir(first.c_str()), 0);
    setenv("QVT_FOO", "first", 1);
    qv::Session starter(options_);
    EXPECT_EQ(starter.ask("x"), "echo x");
    ASSERT_EQ(chdir(second.c_str()), 0);
    setenv("QVT_FOO", "second", 1);
    qv::SessionOptions alone = options_;
    alone.agent.use = false;
    qv::Session own(alone);
    qv::Session shared(options_);
    // What the agent's server answers: it runs in / and without the
    // variables of whoever started it.
    auto agents_server = [](const std::string& line) { return line + " pwd=/ foo="; };
    struct {
        std::string command, args;
        bool depends;  // answered as without the agent
    } cases[] = {
        {"unixpath", "x.txt", true},
        {"unixpath", "\\x.txt", true},
        {"unixpath", "C:x.txt", true},
        {"unixpath", "C:\\x.txt", false},
        {"unixpath", "D:", false},
        {"unixpath", "\\\\server\\share", false},
        {"findfiles", "5 *.txt", true},
        {"findfiles", "5 C:\\*.txt", false},
        {"windowspath", "x.txt", true},
        {"windowspath", "/tmp/x.txt", false},
        {"getexpandedstr", "QVT_FOO", true},
        {"getexpandedstr", "qvt_foo", true},
        {"getexpandedstr", "PATH", true},
        {"getexpandedstr", "QVT_UNSET_HERE", false},
        {"getexpandedstr", "appdata", false},
        {"expandstr", "a %QVT_FOO% b", true},
        {"expandstr", "%QVT_UNSET_HERE% %windir% 100%", false},
    };
    for (auto& c : cases) {
        std::string line = c.command + " " + c.args;
        EXPECT_EQ(qv::depends_on_caller(c.command, c.args), c.depends) << line;
        std::string expected = c.depends ? own.ask(c.command, c.args) : agents_server(line);
        EXPECT_EQ(shared.ask(c.command, c.args), expected) << line;
    }
    EXPECT_EQ(own.ask("unixpath", "x.txt"), "unixpath x.txt pwd=" + second + " foo=second");
    // Pipelined, one dependent request takes the whole window to the
    // session's own server.
    std::vector<std::string> answers = shared.ask_all({{"getexpandedstr", "appdata"}, {"unixpath", "x.txt"}});
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[1], "unixpath x.txt pwd=" + second + " foo=second");
    ASSERT_EQ(chdir(was), 0);
    unsetenv("QVT_FOO");
    std::vector<pid_t> running = agents();
    ASSERT_EQ(running.size(), 1u);
    char cwd[4096] = {};
    ASSERT_GT(readlink(("/proc/" + std::to_string(running[0]) + "/cwd").c_str(), cwd, sizeof cwd - 1), 0);
    EXPECT_STREQ(cwd, "/") << "the agent keeps its starter's folder busy";
    // Nor does its server get the agent's own state: an ignored SIGHUP.
    std::string server = status_field("server_pid");
    std::string sigign = read_whole("/proc/" + server + "/status");
    sigign = sigign.substr(sigign.find("SigIgn:") + 7);
    EXPECT_EQ(std::stoull(sigign, nullptr, 16) & (1ull << (SIGHUP - 1)), 0u) << server;
    // A prefix named through a link: Unix paths in answers name it so, as
    // a server of the session's own would.
    std::string link = dir_ + "/link";
    ASSERT_EQ(symlink(prefix_.c_str(), link.c_str()), 0);
    qv::SessionOptions linked = options_;
    linked.launch.prefix = link;
    qv::Session through_link(linked);
    EXPECT_EQ(through_link.ask("unixpath", "Z:\\"), "path " + link + "/dosdevices/z:");
    EXPECT_EQ(through_link.ask_all({{"unixpath", "Z:\\"}}).at(0), "path " + link + "/dosdevices/z:");
    EXPECT_EQ(starts(), 3) << "the agent's server, the one without agent and the shared session's own";
}

TEST_F(AgentHost, AnAnswerPastItsTimeoutEndsTheServerAndTheAgentKeepsServing) {
    options_.answer_timeout = qv::Millis(500);
    qv::Session session(options_);
    EXPECT_EQ(session.ask("before"), "echo before");
    std::string pid;
    std::thread asker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pid = status_field("pid");  // while the request hangs
    });
    try {
        session.ask("hang");
        FAIL() << "a request past its timeout was answered";
    } catch (const qv::ServerGone& e) {
        EXPECT_NE(std::string(e.what()).find("did not answer within 500 ms, so it was ended"), std::string::npos)
            << e.what();
        EXPECT_NE(std::string(e.what()).find("may or may not have been carried out"), std::string::npos) << e.what();
    }
    asker.join();
    EXPECT_FALSE(pid.empty()) << "status did not answer while a request hung";
    EXPECT_EQ(session.ask("after"), "echo after");
    EXPECT_EQ(starts(), 2);
    // Ended, as a server of the client's own would be: not carried out later.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(read_whole(dir_ + "/starts.carried"), "");

    // A stop does not wait for a hanging request beyond a short grace.
    options_.answer_timeout = qv::Millis(20000);
    qv::Session patient(options_);
    std::thread hanging([&] { EXPECT_THROW(patient.ask("hang", "10"), qv::ServerGone); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::optional<qv::Server> agent = qv::connect_running_agent(prefix_, qv::Millis(5000));
    ASSERT_TRUE(agent);
    EXPECT_EQ(agent->request(".agent stop"), "stopped");
    hanging.join();
    EXPECT_TRUE(eventually([&] { return agents().empty(); }));
}

TEST_F(AgentHost, EveryCompleteLineOfAClientThatClosesAtOnceIsCarriedOut) {
    qv::Session session(options_);
    EXPECT_EQ(session.ask("x"), "echo x");
    constexpr int kLines = 1000;
    for (int run = 0; run < 3; run++) {
        std::remove((dir_ + "/starts.marks").c_str());
        std::string text;
        for (int i = 0; i < kLines; i++)
            text += "mark " + std::to_string(i) + "\n";
        text += "mark cut";  // no LF: never run, as by the server itself
        int fd = raw_connect(paths().socket);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
        close(fd);
        ASSERT_TRUE(eventually([&] {
            std::string marks = read_whole(dir_ + "/starts.marks");
            return std::count(marks.begin(), marks.end(), '\n') >= kLines;
        })) << "run " << run;
        EXPECT_EQ(session.ask("y"), "echo y");  // after all of them
        std::string marks = read_whole(dir_ + "/starts.marks");
        EXPECT_EQ(std::count(marks.begin(), marks.end(), '\n'), kLines) << "run " << run;
        EXPECT_EQ(marks.find("cut"), std::string::npos);
    }
}

TEST_F(AgentHost, AClientThatReadsNoAnswersCannotMakeTheAgentHoldThemAll) {
    std::string big = dir_ + "/big";
    std::ofstream(big) << std::string(64 * 1024, 'b');
    options_.launch.env.push_back({"QV_BIG", big});
    qv::Session session(options_);
    EXPECT_EQ(session.ask("x"), "echo x");
    pid_t agent = agents().at(0);
    // 2000 requests of 64 KiB answers each, none read.
    int fd = raw_connect(paths().socket);
    ASSERT_GE(fd, 0);
    std::string lines;
    for (int i = 0; i < 2000; i++)
        lines += "big\n";
    ASSERT_EQ(send(fd, lines.data(), lines.size(), MSG_NOSIGNAL), static_cast<ssize_t>(lines.size()));
    std::string served, now = status_field("requests");
    while (now != served) {  // until the agent sends it no more
        served = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        now = status_field("requests");
    }
    EXPECT_LT(std::stoi(now), 1000) << "every request was sent for a client that reads nothing";
    EXPECT_LT(rss_kib(agent), 48 * 1024) << "KiB held by the agent";
    EXPECT_EQ(session.ask("others"), "echo others");
    close(fd);
    // Gone, its lines are still carried out, their answers dropped.
    EXPECT_TRUE(eventually([&] { return status_field("requests") == std::to_string(2000 + 2); }))
        << status_field("requests");
}

TEST_F(AgentHost, ALineLongerThanAnyRequestClosesTheConnectionWithWords) {
    qv::Session session(options_);
    EXPECT_EQ(session.ask("x"), "echo x");
    EXPECT_THROW(session.ask("x", std::string(qv::kMaxRequestBytes, 'a')), qv::Refused);
    int fd = raw_connect(paths().socket);
    ASSERT_GE(fd, 0);
    std::thread writer([&] {
        std::string chunk(1 << 20, 'a');
        for (size_t sent = 0; sent <= qv::kMaxRequestBytes + chunk.size();) {
            ssize_t n = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
        shutdown(fd, SHUT_WR);
    });
    std::string got = read_all(fd);
    writer.join();
    close(fd);
    EXPECT_NE(got.find("a request line longer than 16 MiB"), std::string::npos) << got.substr(0, 200);
    EXPECT_EQ(session.ask("y"), "echo y");
}

TEST_F(AgentHost, OutOfDescriptorsTheAgentWaitsInsteadOfSpinningAndServesAgain) {
    // An agent started by a client whose limit is low inherits it.
    pid_t child = fork();
    if (child == 0) {
        rlimit low{40, 40};
        setrlimit(RLIMIT_NOFILE, &low);
        qv::Session session(options_);
        _exit(session.ask("x") == "echo x" ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    pid_t agent = agents().at(0);
    std::vector<int> held;
    for (int i = 0; i < 60; i++) {
        int fd = raw_connect(paths().socket);
        if (fd >= 0)
            held.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    double before = cpu_seconds(agent);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_LT(cpu_seconds(agent) - before, 0.5) << "CPU seconds in 1.5 s out of descriptors";
    for (int fd : held)
        close(fd);
    qv::Session session(options_);
    EXPECT_EQ(session.ask("again"), "echo again");
}

TEST_F(AgentHost, ACallWhileTheAgentEndsStartsAFewAgentsAtMost) {
    std::string wrapper = dir_ + "/agent.sh";
    std::ofstream(wrapper) << "#!/bin/sh\necho x >>'" << dir_ << "/spawns'\nexec '" << QV_AGENT_PROGRAM << "' \"$@\"\n";
    chmod(wrapper.c_str(), 0755);
    options_.agent.program = wrapper;
    options_.launch.env.push_back({"QV_SLOW_QUIT", "1"});  // the ending agent's server takes 2 s to quit
    qv::Session first(options_);
    EXPECT_EQ(first.ask("x"), "echo x");
    std::optional<qv::Server> agent = qv::connect_running_agent(prefix_, qv::Millis(5000));
    ASSERT_TRUE(agent);
    agent->send(".agent stop\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    qv::Session second(options_);
    EXPECT_EQ(second.ask("y"), "echo y");
    std::string spawns = read_whole(dir_ + "/spawns");
    EXPECT_LE(std::count(spawns.begin(), spawns.end(), '\n'), 1 + qv::kAgentStartsPerCall);
    EXPECT_EQ(agents().size(), 1u);
}

TEST_F(AgentHost, StartedWithStandardInputClosedTheAgentKeepsItsLock) {
    pid_t child = fork();
    if (child == 0) {
        close(0);
        qv::Session session(options_);
        _exit(session.ask("x") == "echo x" ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(agents().size(), 1u);
    EXPECT_FALSE(qv::AgentLock::take(paths().lock)) << "the running agent's lock is free";
    EXPECT_EQ(read_whole(paths().lock), "");
}

TEST_F(AgentHost, EachLeavingClientKeepsTheAgentForItsOwnPersistTime) {
    {
        qv::Session patient(options_);  // 60 s
        EXPECT_EQ(patient.ask("x"), "echo x");
    }
    qv::SessionOptions brief = options_;
    brief.agent.persist_seconds = 1;
    {
        qv::Session session(brief);
        EXPECT_EQ(session.ask("y"), "echo y");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    EXPECT_EQ(agents().size(), 1u) << "the last client's persist time was taken for everyone's";
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

TEST_F(AgentHost, WhatAServerEndedWithWinesSessionLeftUnansweredGoesToTheNext) {
    qv::Session session(options_);
    // It ends on reading the second (exit code 4): neither it nor the third
    // was carried out, and both are answered by the next server.
    std::vector<std::string> answers = session.ask_all({{"a", ""}, {"endwine", ""}, {"b", ""}});
    EXPECT_EQ(answers, (std::vector<std::string>{"echo a", "echo endwine", "echo b"}));
    EXPECT_EQ(starts(), 2);
    EXPECT_EQ(status_field("requests"), "3");
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
    std::string socket = socket_path();

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
    chmod(runtime_.c_str(), 0700);
    EXPECT_EQ(session.ask("still mine"), "echo still mine");
    std::system(("userdel " + user + " 2>/dev/null").c_str());
    EXPECT_NE(read_whole(log_path()).find("refused a connection from user id " + std::to_string(uid)),
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

TEST_F(AgentHost, TheAgentFolderIsUsedAsOpenedWhateverBecomesOfItsPath) {
    qv::AgentPaths p = paths();
    std::string folder = runtime_ + "/qvtools", elsewhere = dir_ + "/elsewhere";
    mkdir(elsewhere.c_str(), 0700);
    ASSERT_EQ(rename(folder.c_str(), (folder + ".old").c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), folder.c_str()), 0);
    EXPECT_TRUE(qv::AgentLock::take(p.lock));
    auto entries = [](const std::string& dir) {
        int n = 0;
        DIR* d = opendir(dir.c_str());
        while (dirent* e = d ? readdir(d) : nullptr)
            n += e->d_name[0] != '.';
        if (d)
            closedir(d);
        return n;
    };
    EXPECT_EQ(entries(elsewhere), 0);
    EXPECT_EQ(entries(folder + ".old"), 1);
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
    EXPECT_NE(read_whole(paths().log).find("ended: idle for 1 s"), std::string::npos) << read_whole(paths().log);
    EXPECT_NE(read_whole(paths().log).find("server quit with 0"), std::string::npos);

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
    std::string log = log_path();
    std::system(("rm -rf '" + prefix_ + "'").c_str());
    EXPECT_TRUE(eventually([&] { return agents().empty(); }));
    EXPECT_NE(read_whole(log).find("ended: the prefix folder " + prefix_ + " is gone"), std::string::npos)
        << read_whole(log);
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
