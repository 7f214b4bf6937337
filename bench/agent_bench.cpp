// qvagent_bench: what the per-prefix agent gives a program that runs qvctl
// once per question, measured once (not a test):
//   - one `qvctl reg get` per process through the agent, beside one
//     `wine64 reg query` per process (and qvctl --persist 0, a server per call);
//   - 100 `qvctl reg set` in a shell loop beside 100 `wine64 reg add`;
//   - lock-step requests through the agent from 1 and from 8 clients at once
//     (total throughput), and from one client with a server of its own;
//   - `qvctl serve` pipelined beside the library's pipelined and one-at-a-time
//     calls (the JSON layer's cost per request), and 8 serve clients at once
//     beside one.
//
//   qvagent_bench --prefix DIR [--runs N] [--requests N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qv/host.h"
#include "qv/registry.h"
#include "qv/session.h"

extern char** environ;

namespace {

using Seconds = std::chrono::duration<double>;

struct Config {
    std::string prefix;
    int runs = 30;         // processes per per-process figure
    int requests = 4000;   // lock-step requests per throughput figure
};

// Runs argv with output to /dev/null; seconds from spawn to its end.
double timed_run(const std::vector<std::string>& args, int* exit_code = nullptr) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/tmp/qvagent_bench.err", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    auto start = qv::Clock::now();
    pid_t pid;
    int status = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0)
        waitpid(pid, &status, 0);
    double took = Seconds(qv::Clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    if (exit_code)
        *exit_code = code;
    if (code != 0) {
        std::fprintf(stderr, "agent_bench: %s exited with %d: %s\n", args[0].c_str(), code,
                     qv::read_file("/tmp/qvagent_bench.err").c_str());
        std::exit(1);
    }
    return took;
}

struct Figure {
    double median, p95;
};

Figure figure(std::vector<double> t) {
    std::sort(t.begin(), t.end());
    return {t[t.size() / 2], t[std::min(t.size() - 1, t.size() * 95 / 100)]};
}

std::string ms(double seconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, seconds < 0.01 ? "%.2f ms" : "%.1f ms", seconds * 1000);
    return buf;
}

Figure per_process(int runs, const std::vector<std::string>& args) {
    std::vector<double> t;
    for (int i = 0; i < runs; i++)
        t.push_back(timed_run(args));
    return figure(t);
}

// Requests per second of `clients` sessions asking lock-step at once.
double throughput(const qv::SessionOptions& options, int clients, int total) {
    const qv::Request r = qv::list_key_request("HKCU\\Software\\QvAgentBench");
    std::vector<qv::Session> sessions;
    for (int c = 0; c < clients; c++) {
        sessions.emplace_back(options);
        sessions.back().ask(r.command, r.args);  // connected, server warm
    }
    auto start = qv::Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; c++)
        threads.emplace_back([&, c] {
            for (int i = 0; i < total / clients; i++)
                sessions[c].ask(r.command, r.args);
        });
    for (auto& t : threads)
        t.join();
    return (total / clients) * clients / Seconds(qv::Clock::now() - start).count();
}

// A `qvctl serve` process, started and its hello read.
class ServeClient {
public:
    // without_server: `reg get` alone, a usage error answered without the
    // server, so only the JSON layer and the pipes are measured.
    ServeClient(const std::string& qvctl, const std::string& key, bool without_server = false)
        : without_server_(without_server) {
        qv::LaunchOptions o;
        o.wine = qvctl;  // a host program: "wine" is only what gets executed
        o.exe = "serve";
        serve_ = qv::Peer::spawn(o);
        read_lines(1);
        std::string json_key;
        for (char ch : key)
            json_key += ch == '\\' ? std::string("\\\\") : std::string(1, ch);
        request_ = without_server ? "{\"id\":0,\"argv\":[\"reg\",\"get\"]}\n"
                                  : "{\"id\":0,\"argv\":[\"reg\",\"get\",\"" + json_key + "\",\"Value\"]}\n";
    }
    // `reg get KEY Value` count times, written by one thread while this one
    // reads the answers; then the end of input. Seconds to the last answer.
    double run(int count) {
        auto start = qv::Clock::now();
        std::thread writer([&] {
            std::string all;
            for (int i = 0; i < count; i++)
                all += request_;
            serve_.write_all(all);
            serve_.close_input();
        });
        read_lines(lines_ + static_cast<size_t>(count));
        double took = Seconds(qv::Clock::now() - start).count();
        writer.join();
        size_t usage = 0;
        for (size_t at = 0; (at = out_.find("\"exit\":2", at)) != std::string::npos; at++)
            usage++;
        if (without_server_ ? usage != lines_ - 1 : out_.find("\"ok\":false") != std::string::npos) {
            std::fprintf(stderr, "agent_bench: a serve request failed: %s\n", out_.substr(0, 400).c_str());
            std::exit(1);
        }
        serve_.wait(qv::Clock::now() + qv::Millis(10000));
        return took;
    }

private:
    void read_lines(size_t want) {
        char buf[65536];
        while (lines_ < want) {
            ssize_t n = serve_.read_some(buf, sizeof buf, qv::Clock::now() + qv::Millis(120000));
            if (n <= 0) {
                std::fprintf(stderr, "agent_bench: qvctl serve ended after %zu lines\n", lines_);
                std::exit(1);
            }
            for (ssize_t i = 0; i < n; i++)
                lines_ += buf[i] == '\n';
            out_.append(buf, static_cast<size_t>(n));
        }
    }
    bool without_server_;
    qv::Peer serve_;
    std::string request_, out_;
    size_t lines_ = 0;
};

// `clients` serve processes asking at once, `total` requests among them:
// requests per second from the common start to the last answer.
double serve_throughput(const std::string& qvctl, const std::string& key, int clients, int total) {
    std::vector<std::unique_ptr<ServeClient>> serves;
    for (int c = 0; c < clients; c++)
        serves.push_back(std::make_unique<ServeClient>(qvctl, key));
    auto start = qv::Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; c++)
        threads.emplace_back([&, c] { serves[c]->run(total / clients); });
    for (auto& t : threads)
        t.join();
    return (total / clients) * clients / Seconds(qv::Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    Config c;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--prefix" && i + 1 < argc)
            c.prefix = argv[++i];
        else if (a == "--runs" && i + 1 < argc)
            c.runs = std::max(3, std::atoi(argv[++i]));
        else if (a == "--requests" && i + 1 < argc)
            c.requests = std::max(80, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: qvagent_bench --prefix DIR [--runs N] [--requests N]\n");
            return 2;
        }
    }
    if (c.prefix.empty()) {
        std::fprintf(stderr, "qvagent_bench: give --prefix (a scratch prefix)\n");
        return 2;
    }
    // An agent folder of the benchmark's own, and agents that outlast it.
    std::string runtime = "/tmp/qvagent_bench." + std::to_string(getpid());
    mkdir(runtime.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("QV_PERSIST", "120", 1);
    const std::string qvctl = QV_QVCTL, wine = qv::default_wine_loader();
    const std::string key = "HKCU\\Software\\QvAgentBench";
    setenv("WINEPREFIX", c.prefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);

    {
        utsname u;
        uname(&u);
        std::string cpu = qv::read_file("/proc/cpuinfo");
        size_t at = cpu.find("model name");
        cpu = at == std::string::npos ? "?" : cpu.substr(cpu.find(':', at) + 2, cpu.find('\n', at) - cpu.find(':', at) - 2);
        char date[64];
        std::time_t now = std::time(nullptr);
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
        std::string loadavg = qv::read_file("/proc/loadavg");
        std::printf("qvagent_bench %s: %ld cores (%s), Linux %s\nprefix %s, load %s", date, sysconf(_SC_NPROCESSORS_ONLN),
                    cpu.c_str(), u.release, c.prefix.c_str(), loadavg.substr(0, loadavg.find(' ', 15)).c_str());
        std::printf("\n");
    }

    // The agent starts with the first call; its start is not measured.
    timed_run({qvctl, "reg", "set", key, "Value", "dword", "1"});

    std::printf("\none question per process (median / p95 of %d runs)\n", c.runs);
    Figure agent_get = per_process(c.runs, {qvctl, "reg", "get", key, "Value"});
    Figure own_get = per_process(std::min(c.runs, 20), {qvctl, "--persist", "0", "reg", "get", key, "Value"});
    Figure wine_get = per_process(std::min(c.runs, 20), {wine, "reg", "query", key, "/v", "Value"});
    std::printf("  qvctl reg get, through the agent   %10s / %s\n", ms(agent_get.median).c_str(), ms(agent_get.p95).c_str());
    std::printf("  qvctl --persist 0 reg get          %10s / %s\n", ms(own_get.median).c_str(), ms(own_get.p95).c_str());
    std::printf("  wine64 reg query                   %10s / %s\n", ms(wine_get.median).c_str(), ms(wine_get.p95).c_str());
    std::printf("  wine64 reg query / agent           %9.0fx   (goal >= 50x: %s)\n", wine_get.median / agent_get.median,
                wine_get.median / agent_get.median >= 50 ? "met" : "MISSED");
    std::printf("  --persist 0 / agent                %9.0fx\n", own_get.median / agent_get.median);

    std::printf("\n100 writes in a shell loop (total / per call)\n");
    std::string sh = "/bin/sh";
    double loop_agent = timed_run({sh, "-c",
                                   "i=0; while [ $i -lt 100 ]; do \"$0\" reg set '" + key +
                                       "' v$i dword $i || { echo \"$0 failed at call $i\" >&2; exit 1; }; i=$((i+1)); done",
                                   qvctl});
    double loop_wine = timed_run({sh, "-c",
                                  "i=0; while [ $i -lt 100 ]; do \"$0\" reg add '" + key +
                                      "' /v w$i /t REG_DWORD /d $i /f || { echo \"$0 failed at call $i\" >&2; exit 1; }; i=$((i+1)); done",
                                  wine});
    std::printf("  100 x qvctl reg set (agent)        %10s   %s per call\n", ms(loop_agent).c_str(), ms(loop_agent / 100).c_str());
    std::printf("  100 x wine64 reg add               %10s   %s per call\n", ms(loop_wine).c_str(), ms(loop_wine / 100).c_str());
    std::printf("  wine64 reg add / qvctl reg set     %9.0fx   (goal >= 50x: %s)\n", loop_wine / loop_agent,
                loop_wine / loop_agent >= 50 ? "met" : "MISSED");

    std::printf("\nlock-step getregkey of a small key, %d requests in all\n", c.requests);
    qv::SessionOptions o;
    o.launch.wine = wine;
    o.launch.prefix = c.prefix;
    o.launch.exe = std::string(QV_WIN64_DIR) + "/qvmanip.exe";
    o.agent.program = QV_AGENT_PROGRAM;
    o.agent.persist_seconds = 120;
    double own = throughput(o, 1, c.requests);
    o.agent.use = true;
    double one = throughput(o, 1, c.requests);
    double eight = throughput(o, 8, c.requests);
    std::printf("  1 client, a server of its own      %8.0f requests/s   %s per request\n", own, ms(1 / own).c_str());
    std::printf("  1 client through the agent         %8.0f requests/s   %s per request\n", one, ms(1 / one).c_str());
    std::printf("  8 clients through the agent        %8.0f requests/s   %s per request\n", eight, ms(1 / eight).c_str());
    std::printf("  8 clients / 1 client               %8.2fx\n", eight / one);
    std::printf("  agent / own server, 1 client       %8.2fx the time per request\n", own / one);

    // The JSON layer: the same question as qvctl serve requests and as the
    // library's calls through the agent, the server warm. Three rounds, the
    // kinds alternating so that a burst of load on this shared machine falls
    // on all of them; the best round of each.
    const int n = c.requests;
    std::printf("\nreg get KEY Value, %d requests a round, through the agent (best of 3 rounds)\n", n);
    qv::Session lib(o);
    const qv::Request get = qv::list_key_request(key);
    (void)qv::list_key(lib, key);
    ServeClient(qvctl, key).run(50);  // warm
    double lib_pipelined = 1e9, lib_lockstep = 1e9, serve_one = 1e9, serve_json = 1e9, serve1 = 0, serve8 = 0;
    for (int round = 0; round < 3; round++) {
        auto t0 = qv::Clock::now();
        std::vector<std::string> answers = lib.ask_all(std::vector<qv::Request>(n, get));
        for (const std::string& a : answers)
            if (!qv::parse_listing(a)->find("Value")) {
                std::fprintf(stderr, "agent_bench: a pipelined answer lacks the value: %s\n", a.substr(0, 200).c_str());
                return 1;
            }
        lib_pipelined = std::min(lib_pipelined, Seconds(qv::Clock::now() - t0).count() / n);
        t0 = qv::Clock::now();
        for (int i = 0; i < n; i++)
            if (!qv::list_key(lib, key)->find("Value")) {
                std::fprintf(stderr, "agent_bench: a call lacks the value\n");
                return 1;
            }
        lib_lockstep = std::min(lib_lockstep, Seconds(qv::Clock::now() - t0).count() / n);
        serve_one = std::min(serve_one, ServeClient(qvctl, key).run(n) / n);
        serve_json = std::min(serve_json, ServeClient(qvctl, key, true).run(n) / n);
        serve1 = std::max(serve1, serve_throughput(qvctl, key, 1, n));
        serve8 = std::max(serve8, serve_throughput(qvctl, key, 8, n));
    }
    lib.quit();
    std::printf("  library, pipelined (ask_all)       %10s per request\n", ms(lib_pipelined).c_str());
    std::printf("  library, one call at a time        %10s per request\n", ms(lib_lockstep).c_str());
    std::printf("  qvctl serve, pipelined             %10s per request\n", ms(serve_one).c_str());
    std::printf("  serve / library pipelined          %9.2fx   (%+.3f ms per request)\n", serve_one / lib_pipelined,
                (serve_one - lib_pipelined) * 1000);
    std::printf("  serve / library one at a time      %9.2fx   (%+.3f ms per request)\n", serve_one / lib_lockstep,
                (serve_one - lib_lockstep) * 1000);
    std::printf("  serve, a usage error (no server)   %10s per request: parsing, dispatch, JSON out\n",
                ms(serve_json).c_str());
    std::printf("  1 serve client                     %8.0f requests/s\n", serve1);
    std::printf("  8 serve clients at once            %8.0f requests/s\n", serve8);
    std::printf("  8 clients / 1 client               %8.2fx\n", serve8 / serve1);

    std::string loadavg = qv::read_file("/proc/loadavg");
    std::printf("load %s at the end\n", loadavg.substr(0, loadavg.find(' ', 15)).c_str());

    timed_run({qvctl, "agent", "stop"});
    std::system(("rm -rf '" + runtime + "'").c_str());
    return 0;
}
