// qvbench: what one question to a prefix costs through the resident server,
// beside a new process per question (what controllers pay without it) and the
// same platform calls inside one Windows process. All figures of one run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "qv/escape.h"
#include "qv/server.h"

namespace {

using Seconds = std::chrono::duration<double>;

struct Config {
    std::string prefix;
    std::string win_dir = QV_WIN64_DIR;
    int requests = 1000;
    int processes = 10;
    std::vector<int> line_mib = {1, 4, 16};
};

double time_per(int n, const std::function<void()>& f) {
    auto t0 = qv::Clock::now();
    for (int i = 0; i < n; i++)
        f();
    return Seconds(qv::Clock::now() - t0).count() / n;
}

void expect(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "qvbench: %s\n", what.c_str());
        std::exit(1);
    }
}

qv::LaunchOptions options(const Config& c, const std::string& exe) {
    qv::LaunchOptions o;
    o.prefix = c.prefix;
    o.exe = exe;
    return o;
}

// One Wine program run to its end, e.g. {"reg", "query", ...}.
double per_process(const Config& c, const std::vector<std::string>& command) {
    qv::LaunchOptions o = options(c, command[0]);
    o.args.assign(command.begin() + 1, command.end());
    return time_per(c.processes, [&] {
        qv::RunResult r = qv::run_program(o, qv::Millis(60000));
        expect(r.exit_code == 0, command[0] + " failed: " + r.err);
    });
}

double in_process(const Config& c, const std::string& op, const std::string& arg, int n) {
    qv::LaunchOptions o = options(c, c.win_dir + "/bench-win/inproc_bench.exe");
    o.args = {op, arg, std::to_string(n)};
    qv::RunResult r = qv::run_program(o, qv::Millis(120000));
    expect(r.exit_code == 0, "inproc_bench " + op + " failed: " + r.err);
    return std::atof(r.out.c_str()) / 1e6;
}

void row(const char* what, double server, double process, double inproc) {
    std::printf("%-34s %10.1f us", what, server * 1e6);
    if (process > 0)
        std::printf(" %12.1f us %8.1fx", process * 1e6, process / server);
    else
        std::printf(" %12s %9s", "-", "-");
    if (inproc > 0)
        std::printf(" %10.1f us %7.1fx", inproc * 1e6, server / inproc);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    Config c;
    if (const char* p = std::getenv("WINEPREFIX"))
        c.prefix = p;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--prefix" && i + 1 < argc)
            c.prefix = argv[++i];
        else if (a == "--requests" && i + 1 < argc)
            c.requests = std::atoi(argv[++i]);
        else if (a == "--line-mib" && i + 1 < argc) {
            c.line_mib.clear();
            for (std::string list = argv[++i]; !list.empty();) {
                size_t comma = list.find(',');
                c.line_mib.push_back(std::atoi(list.substr(0, comma).c_str()));
                list = comma == std::string::npos ? "" : list.substr(comma + 1);
            }
        } else {
            std::fprintf(stderr,
                         "usage: qvbench [--prefix DIR] [--requests N] [--line-mib 1,16,64]\n");
            return 2;
        }
    }
    expect(!c.prefix.empty(), "no prefix: give --prefix or set WINEPREFIX");

    qv::Server server = qv::Server::start(options(c, c.win_dir + "/qvmanip.exe"));
    server.set_timeout(qv::Millis(3600 * 1000));

    // Fixtures: a key with two values, a directory of 100 files.
    const std::string key = "HKCU\\Software\\QvBench";
    const std::string key_path = "Software\\QvBench";
    for (const char* v : {"a\\ndword:1", "b\\nstr:two"}) {
        std::string answer = server.request("setregkey", qv::escape(key) + "\\n" + v);
        expect(answer == "success", "setregkey fixture: " + answer);
    }
    std::string dir = c.prefix + "/drive_c/qvbench";
    mkdir(dir.c_str(), 0755);
    for (int i = 0; i < 100; i++)
        std::ofstream(dir + "/file" + std::to_string(i) + ".txt") << i;
    const std::string pattern = "C:\\qvbench\\*";
    const std::string win_path = "C:\\windows\\system32";

    std::printf("%d requests per server figure, %d runs per process figure\n\n", c.requests, c.processes);
    std::printf("%-34s %13s %15s %9s %13s %8s\n", "question", "server", "new process", "ratio",
                "in-process", "ratio");

    double empty = time_per(c.requests, [&] { server.request("nosuchcommand"); });
    row("empty request (lock-step)", empty, 0, 0);

    {
        std::string batch;
        for (int i = 0; i < c.requests; i++)
            batch += "nosuchcommand\n";
        auto t0 = qv::Clock::now();
        server.send(batch);
        for (int i = 0; i < c.requests; i++)
            server.read_answer();
        row("empty request (pipelined)", Seconds(qv::Clock::now() - t0).count() / c.requests, 0, 0);
    }

    std::string answer;
    double get = time_per(c.requests, [&] { answer = server.request("getregkey", key); });
    expect(answer.find("value a\\0 4 01000000\n") != std::string::npos, "getregkey answer: " + answer);
    row("getregkey, key with two values", get, per_process(c, {"reg", "query", key}),
        in_process(c, "getregkey", key_path, c.requests));

    double set = time_per(c.requests, [&] { answer = server.request("setregkey", qv::escape(key) + "\\nc\\ndword:2a"); });
    expect(answer == "success", "setregkey answer: " + answer);
    row("setregkey dword", set,
        per_process(c, {"reg", "add", key, "/v", "c", "/t", "REG_DWORD", "/d", "42", "/f"}),
        in_process(c, "setregkey", key_path, c.requests));

    double unixpath = time_per(c.requests, [&] { answer = server.request("unixpath", win_path); });
    expect(answer.rfind("path /", 0) == 0, "unixpath answer: " + answer);
    row("unixpath", unixpath, per_process(c, {"winepath", "-u", win_path}),
        in_process(c, "unixpath", win_path, c.requests));

    double find = time_per(c.requests, [&] { answer = server.request("findfiles", "-1 " + pattern); });
    expect(answer.find("file file99.txt\n") != std::string::npos, "findfiles answer: " + answer);
    row("findfiles, 100 entries", find, per_process(c, {"cmd", "/c", "dir", "/b", pattern}),
        in_process(c, "findfiles", pattern, c.requests));

    std::printf("\nassembling one request line (exact-size buffer growth)\n");
    for (int mib : c.line_mib) {
        std::string line = "nosuchcommand " + std::string(size_t(mib) << 20, 'a') + "\n";
        auto t0 = qv::Clock::now();
        server.send(line);
        server.read_answer();
        std::printf("%5d MiB %10.3f s\n", mib, Seconds(qv::Clock::now() - t0).count());
    }

    server.request("rmregtree", qv::escape(key));
    return server.quit() == 0 ? 0 : 1;
}
