// The agent in a real prefix of its own: many clients writing the registry at
// once (checked with Wine's own reg), qvctl calls sharing one server, the
// wineserver killed under it, the agent killed, and the prefix released
// when it goes idle or is stopped (`wineserver -w` returns).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "qv/agent.h"
#include "qv/files.h"
#include "qv/registry.h"
#include "qv/session.h"
#include "robust_support.h"
#include "scoped_env.h"

namespace {

const char kWineserver[] = "/usr/lib/wine/wineserver";

class AgentPrefix : public ::testing::Test {
protected:
    static void SetUpTestSuite() { prefix_ = new robust::OwnPrefix("agent"); }
    static void TearDownTestSuite() {
        if (prefix_)
            std::system(("rm -rf '" + prefix_->path() + ".run'").c_str());
        delete prefix_;
        prefix_ = nullptr;
    }
    void SetUp() override {
        if (robust::behind_relay())
            GTEST_SKIP() << robust::kRelaySkip;
        ASSERT_TRUE(prefix_->ready());
        runtime_ = prefix_->path() + ".run";
        mkdir(runtime_.c_str(), 0700);
        runtime_env_.emplace("XDG_RUNTIME_DIR", runtime_.c_str());
        persist_env_.emplace("QV_PERSIST", nullptr);
    }
    void TearDown() override {
        qvctl({"agent", "stop"});
        persist_env_.reset();
        runtime_env_.reset();
    }

    qv::SessionOptions session_options() const {
        qv::SessionOptions o;
        o.launch = prefix_->options_for(qvtest::program("qvmanip.exe"));
        o.start_timeout = o.answer_timeout = qvtest::patience(qv::Millis(120000));
        o.agent.use = true;
        o.agent.persist_seconds = 60;
        o.agent.program = QV_AGENT_PROGRAM;
        o.agent.connect_timeout = o.start_timeout;
        return o;
    }
    static qv::RunResult qvctl(std::vector<std::string> args, std::vector<std::string> global = {}) {
        qv::LaunchOptions o;
        o.wine = QV_QVCTL;
        o.exe = "--prefix";
        // The loader the sessions use too (a 32-bit run's is 32-bit Wine):
        // an agent serves only clients of its own configuration.
        qv::LaunchOptions server = prefix_->options_for(qvtest::program("qvmanip.exe"));
        o.args = {prefix_->path(), "--exe", server.exe, "--wine", server.wine};
        o.args.insert(o.args.end(), global.begin(), global.end());
        o.args.insert(o.args.end(), args.begin(), args.end());
        return qv::run_program(o, qvtest::patience(qv::Millis(180000))).value;
    }
    static nlohmann::json status() {
        qv::RunResult r = qvctl({"agent", "status"}, {"--json"});
        return nlohmann::json::parse(r.out.empty() ? "{}" : r.out);
    }
    // Runs `wineserver FLAG` for the prefix; its exit code, -1 when it did
    // not end within the timeout.
    static int wineserver(const std::string& flag, qv::Millis timeout) {
        qv::LaunchOptions o;
        o.wine = kWineserver;
        o.exe = flag;
        o.prefix = prefix_->path();
        return qv::run_program(o, timeout)->exit_code;
    }
    static qv::RunResult wine_reg(const std::vector<std::string>& args) {
        qv::LaunchOptions o = prefix_->options_for("reg");
        o.args = args;
        return qvtest::run_wine_tool(o, qvtest::patience(qv::Millis(120000)));
    }

    static robust::OwnPrefix* prefix_;
    std::string runtime_;
    std::optional<qvtest::ScopedEnv> runtime_env_, persist_env_;
};

robust::OwnPrefix* AgentPrefix::prefix_ = nullptr;

// A process that has ended may wait as a zombie for whoever adopted it.
// Read with read(2): a stream throws when the process ends while it reads.
bool alive(int pid) {
    char text[512];
    int fd = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return false;
    text[n] = '\0';
    return std::strstr(text, ") Z") == nullptr;
}

TEST_F(AgentPrefix, EightClientsOfMixedRequestsAtOnceAndTheRegistryHoldsEveryWrite) {
    constexpr int kClients = 8, kRequests = 1000;
    const std::string base = "HKCU\\Software\\QvAgentTest";
    wine_reg({"delete", base, "/f"});
    const std::string windows_unix = prefix_->path() + "/dosdevices/c:/windows";
    std::atomic<int> right{0};
    std::vector<std::string> failures(kClients);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; c++)
        clients.emplace_back([&, c] {
            std::string key = base + "\\c" + std::to_string(c);
            qv::Session session(session_options());
            // Each request with what its answer must be.
            std::vector<std::pair<qv::Request, std::string>> batch;
            auto check = [&](const std::string& answer, const std::string& expected, const qv::Request& r) {
                if (expected.rfind("listing:", 0) == 0) {
                    // The listing holds the value written just before.
                    qv::RegKey l = qv::parse_listing(answer).value;
                    std::string name = expected.substr(8, expected.find('=') - 8);
                    uint32_t value = static_cast<uint32_t>(std::stoul(expected.substr(expected.find('=') + 1)));
                    const qv::RegValue* v = l.find(name);
                    if (v && v->type == qv::reg_dword && v->dword() == value)
                        return right++, void();
                } else if (answer == expected) {
                    return right++, void();
                }
                if (failures[c].empty())
                    failures[c] = r.command + " " + r.args + " -> " + answer.substr(0, 200) + " (wanted " + expected + ")";
            };
            for (int r = 0; r < kRequests; r++) {
                std::string name = "v" + std::to_string(r - r % 4);
                uint32_t value = static_cast<uint32_t>((r - r % 4) * 7 + c);
                switch (r % 4) {
                case 0:
                    batch.push_back({qv::set_value_request(key, name, qv::dword_literal(value)), "success"});
                    break;
                case 1:
                    batch.push_back({qv::list_key_request(key), "listing:" + name + "=" + std::to_string(value)});
                    break;
                case 2:
                    batch.push_back({qv::unix_path_request("C:\\windows"), "path " + windows_unix});
                    break;
                default:
                    batch.push_back({{"getwindowsdir", ""}, "C:\\windows"});
                }
                // Half of the time one at a time, else 20 in flight.
                if ((r / 100) % 2 == 0) {
                    check(session.ask(batch[0].first.command, batch[0].first.args), batch[0].second, batch[0].first);
                    batch.clear();
                } else if (batch.size() == 20 || r + 1 == kRequests) {
                    std::vector<qv::Request> requests;
                    for (auto& b : batch)
                        requests.push_back(b.first);
                    std::vector<std::string> answers = session.ask_all(requests);
                    for (size_t k = 0; k < batch.size(); k++)
                        check(answers[k], batch[k].second, batch[k].first);
                    batch.clear();
                }
            }
            session.quit();
        });
    for (auto& t : clients)
        t.join();
    for (int c = 0; c < kClients; c++)
        EXPECT_EQ(failures[c], "") << "client " << c;
    EXPECT_EQ(right, kClients * kRequests);
    nlohmann::json s = status();
    EXPECT_EQ(s["server_starts"], 1) << s.dump();
    EXPECT_GE(s["requests"].get<int>(), kClients * kRequests) << s.dump();

    // Every write, read back by Wine's own reg in new processes.
    for (int c = 0; c < kClients; c++) {
        qv::RunResult q = wine_reg({"query", base + "\\c" + std::to_string(c)});
        ASSERT_EQ(q.exit_code, 0) << q.err;
        int found = 0;
        std::istringstream in(q.out);
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            std::string name, type, data;
            if (!(words >> name >> type >> data) || type != "REG_DWORD")
                continue;
            int r = std::stoi(name.substr(1));
            EXPECT_EQ(std::stoul(data, nullptr, 16), static_cast<unsigned long>(r * 7 + c)) << line;
            found++;
        }
        EXPECT_EQ(found, kRequests / 4) << q.out.substr(0, 500);
    }
    wine_reg({"delete", base, "/f"});
}

TEST_F(AgentPrefix, QvctlCallsShareOneServerAndAClientLeavingUnreadAnswersDisturbsNoOne) {
    for (int i = 0; i < 3; i++) {
        qv::RunResult r = qvctl({"dir", "windows"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, "C:\\windows\n");
    }
    nlohmann::json s = status();
    EXPECT_EQ(s["server_starts"], 1) << s.dump();
    int agent = s["pid"];

    // A client sends a burst of requests with large answers and leaves
    // without reading them; another client's answers stay its own.
    qv::SessionOptions o = session_options();
    qv::Session other(o);
    EXPECT_EQ(other.ask("getwindowsdir"), "C:\\windows");
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    qv::AgentPaths paths = qv::agent_paths(prefix_->path());  // its socket is reached through paths
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", paths.socket.c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    std::string burst;
    for (int i = 0; i < 200; i++)
        burst += qv::list_key_request("HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion").command + " " +
                 qv::list_key_request("HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion").args + "\n";
    ASSERT_EQ(send(fd, burst.data(), burst.size(), MSG_NOSIGNAL), static_cast<ssize_t>(burst.size()));
    close(fd);
    for (int i = 0; i < 50; i++) {
        std::string dir = "C:\\agent test\\" + std::to_string(i);
        qv::Request r = qv::unix_path_request(dir);
        ASSERT_EQ(other.ask(r.command, r.args), "path " + prefix_->path() + "/dosdevices/c:/agent test/" + std::to_string(i));
    }
    EXPECT_EQ(status()["pid"], agent);
    EXPECT_EQ(status()["server_starts"], 1);
}

TEST_F(AgentPrefix, WineserverKilledUnderTheAgentFailsWhatWasInFlightAndTheNextRequestWorks) {
    qv::Session session(session_options());
    EXPECT_EQ(session.ask("getwindowsdir"), "C:\\windows");
    std::atomic<bool> killed{false};
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        wineserver("-k", qv::Millis(30000));
        killed = true;
    });
    std::string error;
    int after_kill = 0;
    // Requests keep going until one fails or well after the kill.
    while (after_kill < 200) {
        try {
            std::string answer = session.ask("getwindowsdir");
            ASSERT_EQ(answer, "C:\\windows");
        } catch (const qv::ServerGone& e) {
            error = e.what();
            break;
        }
        after_kill += killed;
    }
    killer.join();
    if (!error.empty()) {
        EXPECT_NE(error.find("agent: the server died while answering"), std::string::npos) << error;
    }
    // The next request starts a new server (and with it a wineserver).
    EXPECT_EQ(session.ask("getwindowsdir"), "C:\\windows");
    EXPECT_EQ(status()["server_starts"], 2);
    qv::RunResult r = qvctl({"dir", "system"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST_F(AgentPrefix, AnAgentKilledWithSigkillIsReplacedByTheNextQvctlCall) {
    ASSERT_EQ(qvctl({"dir", "windows"}).exit_code, 0);
    int pid = status()["pid"];
    ASSERT_GT(pid, 0);
    kill(pid, SIGKILL);
    for (int i = 0; i < 500 && alive(pid); i++)
        usleep(10000);
    qv::RunResult r = qvctl({"dir", "windows"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "C:\\windows\n");
    EXPECT_EQ(r.err, "");
    nlohmann::json s = status();
    EXPECT_NE(s["pid"], pid);
    EXPECT_EQ(s["server_starts"], 1);
}

TEST_F(AgentPrefix, PersistZeroRunsWithoutAnAgent) {
    qv::RunResult r = qvctl({"dir", "windows"}, {"--persist", "0"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    qv::RunResult s = qvctl({"agent", "status"});
    EXPECT_EQ(s.exit_code, 1);
    EXPECT_NE(s.err.find("no agent runs for"), std::string::npos) << s.err;
    EXPECT_EQ(qvctl({"dir", "windows"}, {"--persist", "soon"}).exit_code, 2);
}

TEST_F(AgentPrefix, WineserverWaitReturnsUnderARunningAgentWithTheWriteOnDisk) {
    // The clone's wineserver persists by itself; one started by the agent's
    // server does not.
    prefix_->stop();
    const std::string key = "HKCU\\Software\\QvAgentWait";
    qv::RunResult r = qvctl({"reg", "set", key, "V", "sz", "on disk"}, {"--persist", "3600"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    int agent = status()["pid"];
    // The agent's server does not hold the prefix, as Wine's own services
    // do not: no `agent stop` needed.
    EXPECT_EQ(wineserver("-w", qv::Millis(60000)), 0) << "wineserver -w did not return under a running agent";
    EXPECT_TRUE(alive(agent));
    std::ifstream user(prefix_->path() + "/user.reg");
    std::string saved((std::istreambuf_iterator<char>(user)), {});
    EXPECT_NE(saved.find("QvAgentWait"), std::string::npos) << "not on disk when wineserver -w returned";
    // The next call starts what it needs again, through the same agent.
    r = qvctl({"reg", "get", key, "V"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("on disk"), std::string::npos) << r.out;
    EXPECT_EQ(status()["pid"], agent);
    // wineserver -k ends the server under the agent; the next call works.
    wineserver("-k", qv::Millis(60000));
    r = qvctl({"reg", "rm", key});
    EXPECT_EQ(r.exit_code, 0) << r.err;

    // Stop releases the prefix at once.
    r = qvctl({"agent", "stop"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("stopped the agent of " + prefix_->path()), std::string::npos) << r.out;
    EXPECT_EQ(wineserver("-w", qv::Millis(60000)), 0) << "wineserver -w did not return after agent stop";
    EXPECT_EQ(qvctl({"agent", "status"}).exit_code, 1);
}

}  // namespace
