// qvbench: what one question to a prefix costs through the controller
// library and its resident server (one at a time and many in flight), beside
// a new Wine process per question (what controllers pay without it) and the
// same platform calls inside one Windows process. All figures of one run on
// one prefix.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qv/escape.h"
#include "qv/host.h"
#include "qv/regfile.h"
#include "qv/registry.h"
#include "qv/regtree.h"
#include "qv/session.h"
#include "qv/winver.h"

extern char** environ;

namespace {

using Seconds = std::chrono::duration<double>;

struct Config {
    std::string prefix;
    std::string win_dir = QV_WIN64_DIR;
    std::string server;    // the server program; default: the build's
    int requests = 1000;   // lock-step samples per operation
    int batch = 100;       // requests in flight per pipelined batch
    int batches = 50;      // pipelined batches per operation
    int processes = 20;    // per-process samples per operation
    int scale_runs = 5;
    int winver_runs = 10;  // Windows-version changes each way
    std::vector<int> line_mib = {1, 4, 16, 64};
    bool scale = true;
    std::string only;      // measure only operations whose name contains this
};

struct Stats {
    double median = 0, p95 = 0;  // seconds; 0: not measured
    bool measured() const { return median > 0; }
};

Stats stats(std::vector<double> s) {
    Stats r;
    if (s.empty())
        return r;
    std::sort(s.begin(), s.end());
    r.median = s[(s.size() - 1) / 2];
    r.p95 = s[static_cast<size_t>(0.95 * double(s.size() - 1) + 0.5)];
    return r;
}

double since(qv::Clock::time_point t0) { return Seconds(qv::Clock::now() - t0).count(); }

void expect(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "qvbench: %s\n", what.c_str());
        std::exit(1);
    }
}

std::string load() {
    std::string l = qv::read_file("/proc/loadavg");
    return l.substr(0, l.find(' ', l.find(' ', l.find(' ') + 1) + 1));
}

// One Wine program run to its end with output in a file; the wait blocks in
// waitpid, so the figure has no polling granularity.
class Spawner {
public:
    explicit Spawner(const Config& c) {
        for (char** e = environ; *e; e++)
            if (std::strncmp(*e, "WINEPREFIX=", 11) && std::strncmp(*e, "WINEDEBUG=", 10) &&
                std::strncmp(*e, "WINEDLLOVERRIDES=", 17))
                env_.push_back(*e);
        env_.push_back("WINEPREFIX=" + c.prefix);
        env_.push_back("WINEDEBUG=-all");
        env_.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
        char dir[] = "/tmp/qvbench.XXXXXX";
        expect(mkdtemp(dir) != nullptr, "mkdtemp failed");
        dir_ = dir;
    }
    ~Spawner() {
        unlink((dir_ + "/out").c_str());
        rmdir(dir_.c_str());
    }

    // Returns the seconds the run took; *out receives its standard output.
    double run(const std::vector<std::string>& argv, std::string* out) {
        std::vector<char*> args, envp;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        for (std::string& e : env_)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string out_path = dir_ + "/out";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        auto t0 = qv::Clock::now();
        pid_t pid;
        int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        expect(rc == 0, "cannot start " + argv[0]);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        double t = since(t0);
        expect(WIFEXITED(status) && WEXITSTATUS(status) == 0, argv[1] + " failed");
        *out = qv::read_file(out_path);
        return t;
    }

private:
    std::vector<std::string> env_;
    std::string dir_;
};

struct Op {
    std::string name;
    std::vector<qv::Request> requests;  // one per pipelined slot, cycled lock-step
    std::function<bool(const std::string&)> check;
    std::function<void(int)> before;    // untimed, before lock-step sample i
    std::function<void(int)> before_batch;
    std::vector<std::string> peer;      // per-process command after the loader
    std::function<bool(const std::string&)> peer_check;
    std::function<void()> before_peer;
    std::string inproc_op, inproc_arg;
};

struct Row {
    std::string name;
    Stats lock, pipe, proc, floor;
};

std::string fmt(double seconds) {
    char b[64];
    if (seconds >= 1)
        std::snprintf(b, sizeof b, "%.2f s", seconds);
    else if (seconds >= 0.01)
        std::snprintf(b, sizeof b, "%.1f ms", seconds * 1e3);
    else
        std::snprintf(b, sizeof b, "%.1f us", seconds * 1e6);
    return b;
}

std::string fmt_stats(const Stats& s) {
    return s.measured() ? fmt(s.median) + " / " + fmt(s.p95) : "-";
}

std::string ratio(double a, double b) {
    if (a <= 0 || b <= 0)
        return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*fx", a / b >= 100 ? 0 : a / b >= 10 ? 1 : 2, a / b);
    return buf;
}

class Bench {
public:
    explicit Bench(const Config& c) : c_(c), spawner_(c), session_(session_options(c)) {
        session_.server();
    }

    static qv::SessionOptions session_options(const Config& c) {
        qv::SessionOptions o;
        o.launch.prefix = c.prefix;
        o.launch.exe = c.server.empty() ? c.win_dir + "/qvmanip.exe" : c.server;
        o.answer_timeout = qv::Millis(3600 * 1000);
        return o;
    }

    std::string ask(const std::string& command, const std::string& args) { return session_.ask(command, args); }

    Stats lock_step(const Op& op, int n) {
        std::vector<double> s;
        for (int i = 0; i < n; i++) {
            if (op.before)
                op.before(i);
            const qv::Request& r = op.requests[size_t(i) % op.requests.size()];
            auto t0 = qv::Clock::now();
            std::string answer = session_.ask(r.command, r.args);
            s.push_back(since(t0));
            expect(op.check(answer), op.name + " answer: " + answer.substr(0, 300));
        }
        return stats(s);
    }

    // Per request, over batches of c_.batch requests in flight.
    Stats pipelined(const Op& op) {
        std::vector<qv::Request> batch;
        for (int i = 0; i < c_.batch; i++)
            batch.push_back(op.requests[size_t(i) % op.requests.size()]);
        std::vector<double> s;
        for (int b = 0; b < c_.batches; b++) {
            if (op.before_batch)
                op.before_batch(b);
            auto t0 = qv::Clock::now();
            std::vector<std::string> answers = session_.ask_all(batch);
            s.push_back(since(t0) / c_.batch);
            for (const std::string& a : answers)
                expect(op.check(a), op.name + " pipelined answer: " + a.substr(0, 300));
        }
        return stats(s);
    }

    Stats per_process(const Op& op) {
        if (op.peer.empty())
            return {};
        std::vector<std::string> argv = {qv::default_wine_loader()};
        argv.insert(argv.end(), op.peer.begin(), op.peer.end());
        std::vector<double> s;
        std::string out;
        for (int i = 0; i < c_.processes; i++) {
            if (op.before_peer)
                op.before_peer();
            s.push_back(spawner_.run(argv, &out));
            expect(op.peer_check(out), op.peer[0] + " output: " + out.substr(0, 300));
        }
        return stats(s);
    }

    Stats in_process(const std::string& op, const std::string& arg, int n) {
        std::vector<std::string> argv = {qv::default_wine_loader(), c_.win_dir + "/bench-win/inproc_bench.exe", op,
                                         arg, std::to_string(n)};
        std::string out;
        spawner_.run(argv, &out);
        Stats r;
        expect(std::sscanf(out.c_str(), "%lf %lf", &r.median, &r.p95) == 2, "inproc_bench " + op + ": " + out);
        r.median /= 1e6;
        r.p95 /= 1e6;
        return r;
    }

    qv::Session& session() { return session_; }
    double spawn(const std::vector<std::string>& argv) {
        std::string out;
        return spawner_.run(argv, &out);
    }
    // The seconds the run took.
    double run_quietly(const std::vector<std::string>& argv, std::string* out) { return spawner_.run(argv, out); }

private:
    const Config& c_;
    Spawner spawner_;
    qv::Session session_;
};

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// A real tree (the prefix's own Windows NT\CurrentVersion, moved below the
// benchmark's key) written as a .reg file, imported by the library (a new
// server each run, from reading the file to the server's exit) and by the
// platform's editor ("regedit /S", a new process each run), the target tree
// removed before every run.
void tree_import(Bench& bench, const Config& c, const std::string& key) {
    const std::string source = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    const std::string target = key + "\\Import";
    // Perflib\\009 is a warning (the platform cannot list it), not a failure.
    qv::Result<qv::TreeExport> exported = qv::export_tree(bench.session(), source);
    expect(exported.ok() && !exported->file.keys.empty(), "export of " + source + ": " + exported.error());
    qv::TreeExport& ex = *exported;
    qv::rebase_regfile(ex.file, source, target);
    size_t values = 0;
    for (const qv::RegFileKey& k : ex.file.keys)
        values += k.values.size();
    std::string unix_file = c.prefix + "/drive_c/qvbench/import.reg";
    {
        std::ofstream out(unix_file, std::ios::binary);
        out << qv::write_regfile(ex.file, qv::RegFileFormat::v5_utf16);
        expect(bool(out), "cannot write " + unix_file);
    }
    // Both start a Wine process each run, whose cost varies with the load: more runs than elsewhere.
    const int runs = std::max(11, c.scale_runs);
    std::vector<double> ours, theirs;
    for (int i = 0; i < runs; i++) {
        expect(bench.ask("rmregtree", qv::escape(target)) == "success", "removing the imported tree");
        auto t0 = qv::Clock::now();
        {
            // As qvctl does it: the file is read and planned while the server starts.
            std::future<qv::Result<qv::ImportPlan>> plan = std::async(std::launch::async, [&] {
                return qv::plan_import(qv::parse_regfile(qv::read_file(unix_file)), qv::RegView::native, "bench");
            });
            qv::Session session(Bench::session_options(c));
            session.server();
            qv::Result<qv::ImportPlan> planned = plan.get();
            expect(planned.ok(), "the plan failed: " + planned.error());
            qv::Result<qv::TreeImport> r = qv::run_import(session, *planned, qv::RegView::native);
            expect(r.ok() && r->values_set == values, "the import failed: " + r.error());
            expect(session.quit() == 0, "the server did not quit cleanly");
        }
        ours.push_back(since(t0));
        expect(bench.ask("rmregtree", qv::escape(target)) == "success", "removing the imported tree");
        theirs.push_back(bench.spawn({qv::default_wine_loader(), "regedit", "/S", "C:\\qvbench\\import.reg"}));
    }
    Stats a = stats(ours), b = stats(theirs);
    std::printf("\nimporting a .reg file of %zu keys, %zu values (median / p95 of %d runs each, alternating)\n\n",
                ex.file.keys.size(), values, runs);
    // Other processes on the machine lengthen single runs: the best run of each is shown too.
    double best_a = *std::min_element(ours.begin(), ours.end()), best_b = *std::min_element(theirs.begin(), theirs.end());
    std::printf("  %-40s %-21s best %s\n", "library (new server, file read to exit)", fmt_stats(a).c_str(),
                fmt(best_a).c_str());
    std::printf("  %-40s %-21s best %s\n", "regedit /S (new process)", fmt_stats(b).c_str(), fmt(best_b).c_str());
    std::printf("  %-40s %s (best runs %s)  %s\n", "regedit / library, medians", ratio(b.median, a.median).c_str(),
                ratio(best_b, best_a).c_str(),
                a.median < b.median ? "faster than the editor" : "NOT faster than the editor");
    expect(bench.ask("rmregtree", qv::escape(target)) == "success", "removing the imported tree");
    unlink(unix_file.c_str());
}

void usage() {
    std::fprintf(stderr,
                 "usage: qvbench [--prefix DIR] [--requests N] [--batch N] [--batches N] [--processes N]\n"
                 "               [--line-mib 1,4,16,64] [--no-scale] [--only NAME] [--winver-runs N]\n"
                 "               [--server QVMANIP.EXE]\n");
    std::exit(2);
}

// The benchmark's own key (two values) and a folder of 100 files.
const std::string kKey = "HKCU\\Software\\QvBench";
const std::string kKeyPath = "Software\\QvBench";

bool ok(const std::string& answer) { return answer == "success"; }

void make_fixtures(Bench& bench, const Config& c) {
    for (const char* v : {"a\\ndword:1", "b\\nstr:two"})
        expect(ok(bench.ask("setregkey", qv::escape(kKey) + "\\n" + v)), "setregkey fixture");
    std::string dir = c.prefix + "/drive_c/qvbench";
    mkdir(dir.c_str(), 0755);
    for (int i = 0; i < 100; i++)
        std::ofstream(dir + "/file" + std::to_string(i) + ".txt") << i;
}

// The run's configuration, from the command line and WINEPREFIX.
Config configure(int argc, char** argv) {
    Config c;
    if (const char* p = std::getenv("WINEPREFIX"))
        c.prefix = p;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto number = [&]() {
            if (i + 1 >= argc)
                usage();
            int n = std::atoi(argv[++i]);
            if (n <= 0)
                usage();
            return n;
        };
        if (a == "--prefix" && i + 1 < argc)
            c.prefix = argv[++i];
        else if (a == "--requests")
            c.requests = number();
        else if (a == "--batch")
            c.batch = number();
        else if (a == "--batches")
            c.batches = number();
        else if (a == "--processes")
            c.processes = number();
        else if (a == "--winver-runs")
            c.winver_runs = number();
        else if (a == "--no-scale")
            c.scale = false;
        else if (a == "--server" && i + 1 < argc)
            c.server = argv[++i];
        else if (a == "--only" && i + 1 < argc)
            c.only = argv[++i];
        else if (a == "--line-mib" && i + 1 < argc) {
            c.line_mib.clear();
            std::string list = argv[++i];
            for (size_t at = 0; at <= list.size();) {
                size_t comma = std::min(list.find(',', at), list.size());
                if (comma > at)
                    c.line_mib.push_back(std::atoi(list.substr(at, comma - at).c_str()));
                at = comma + 1;
            }
        } else
            usage();
    }
    expect(!c.prefix.empty(), "no prefix: give --prefix or set WINEPREFIX");
    return c;
}

// What the figures were measured on.
void print_machine(Bench& bench, const Config& c) {
    std::string cpu = qv::read_file("/proc/cpuinfo"), wine;
    size_t at = cpu.find("model name");
    cpu = at == std::string::npos ? "?" : cpu.substr(cpu.find(':', at) + 2, cpu.find('\n', at) - cpu.find(':', at) - 2);
    bench.run_quietly({qv::default_wine_loader(), "--version"}, &wine);
    char date[64];
    std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    utsname u;
    uname(&u);
    std::printf("qvbench %s: %ld cores (%s), Linux %s, %s", date, sysconf(_SC_NPROCESSORS_ONLN), cpu.c_str(),
                u.release, wine.c_str());
    std::printf("prefix %s, load %s at start\n", c.prefix.c_str(), load().c_str());
    std::printf("lock-step: %d requests; pipelined: %d batches of %d in flight; per-process: %d runs\n\n",
                c.requests, c.batches, c.batch, c.processes);
}

// The operations of the table, each with its request, the per-process
// command that does the same, and the in-process floor's operation.
std::vector<Op> operations(Bench& bench, const Config& c) {
    const std::string& key = kKey;
    const std::string& key_path = kKeyPath;
    const std::string pattern = "C:\\qvbench\\*";
    const std::string win_path = "C:\\windows\\system32";
    const std::string rm_key = key + "\\Remove";
    std::vector<Op> ops;
    {
        Op op;
        op.name = "empty request";
        op.requests = {{"nosuchcommand", ""}};
        op.check = [](const std::string& a) { return a.empty(); };
        ops.push_back(op);
    }
    {
        Op op;
        op.name = "getregkey small key";
        op.requests = {{"getregkey", key}};
        op.check = [](const std::string& a) { return contains(a, "value a\\0 4 01000000\n"); };
        op.peer = {"reg", "query", key};
        op.peer_check = [](const std::string& o) { return contains(o, "REG_SZ") && contains(o, "two"); };
        op.inproc_op = "getregkey";
        op.inproc_arg = key_path;
        ops.push_back(op);
    }
    {
        Op op;
        op.name = "getregvalue";
        op.requests = {{"getregvalue", qv::escape(key + "\na")}};
        op.check = [](const std::string& a) { return a == "value a\\0 4 01000000\n"; };
        op.peer = {"reg", "query", key, "/v", "a"};
        op.peer_check = [](const std::string& o) { return contains(o, "REG_DWORD") && contains(o, "0x1"); };
        op.inproc_op = "getregvalue";
        op.inproc_arg = key_path;
        ops.push_back(op);
    }
    {
        Op op;
        op.name = "setregkey dword";
        op.requests = {{"setregkey", qv::escape(key) + "\\nc\\ndword:2a"}};
        op.check = ok;
        op.peer = {"reg", "add", key, "/v", "c", "/t", "REG_DWORD", "/d", "42", "/f"};
        op.peer_check = [](const std::string&) { return true; };  // the exit code tells
        op.inproc_op = "setregkey";
        op.inproc_arg = key_path;
        ops.push_back(op);
    }
    {
        Op op;
        op.name = "setregkey qword";
        op.requests = {{"setregkey", qv::escape(key) + "\\nq\\nhex(b):2a,00,00,00,00,00,00,80"}};
        op.check = ok;
        op.peer = {"reg", "add", key, "/v", "q", "/t", "REG_QWORD", "/d", "42", "/f"};
        op.peer_check = [](const std::string&) { return true; };  // the exit code tells
        op.inproc_op = "setqword";
        op.inproc_arg = key_path;
        ops.push_back(op);
    }
    {
        Op op;
        op.name = "rmregvalue";
        std::string k = qv::escape(rm_key);
        for (int i = 0; i < c.batch; i++)
            op.requests.push_back({"rmregvalue", k + "\\nv" + std::to_string(i)});
        op.check = ok;
        op.before = [&bench, k, n = c.batch](int i) {
            expect(bench.ask("setregkey", k + "\\nv" + std::to_string(i % n) + "\\ndword:1") == "success",
                   "rmregvalue fixture");
        };
        op.before_batch = [&bench, k, n = c.batch](int) {
            std::vector<qv::Request> set;
            for (int i = 0; i < n; i++)
                set.push_back({"setregkey", k + "\\nv" + std::to_string(i) + "\\ndword:1"});
            for (const std::string& a : bench.session().ask_all(set))
                expect(a == "success", "rmregvalue fixture");
        };
        op.peer = {"reg", "delete", rm_key, "/v", "v0", "/f"};
        op.before_peer = [&bench, k] {
            expect(bench.ask("setregkey", k + "\\nv0\\ndword:1") == "success", "rmregvalue fixture");
        };
        op.peer_check = [](const std::string&) { return true; };
        op.inproc_op = "rmregvalue";
        op.inproc_arg = key_path + "\\Remove";
        ops.push_back(op);
    }
    {
        Op op;
        op.name = "unixpath";
        op.requests = {{"unixpath", win_path}};
        op.check = [](const std::string& a) { return a.rfind("path /", 0) == 0; };
        op.peer = {"winepath", "-u", win_path};
        op.peer_check = [](const std::string& o) { return o.rfind("/", 0) == 0; };
        op.inproc_op = "unixpath";
        op.inproc_arg = win_path;
        ops.push_back(op);
    }
    {
        Op op;
        op.name = "findfiles 100 entries";
        op.requests = {{"findfiles", "-1 " + pattern}};
        op.check = [](const std::string& a) { return contains(a, "file file99.txt\n"); };
        op.peer = {"cmd", "/c", "dir", "/b", pattern};
        op.peer_check = [](const std::string& o) { return contains(o, "file99.txt"); };
        op.inproc_op = "findfiles";
        op.inproc_arg = pattern;
        ops.push_back(op);
    }
    auto appdata = std::make_shared<std::string>();  // the first answer, which the others must match
    {
        Op op;
        op.name = "getexpandedstr appdata";
        op.requests = {{"getexpandedstr", "appdata"}};
        op.check = [appdata](const std::string& a) {
            if (appdata->empty())
                *appdata = a;
            return !a.empty() && a == *appdata;
        };
        op.peer = {"cmd", "/c", "echo", "%APPDATA%"};
        op.peer_check = [appdata](const std::string& o) { return !appdata->empty() && contains(o, *appdata); };
        op.inproc_op = "getexpandedstr";
        op.inproc_arg = "appdata";
        ops.push_back(op);
    }
    const std::string expand_text = "%ProgramFiles%\\Foo;%windir%";
    auto expanded = std::make_shared<std::string>();  // the first answer, which the others must match
    {
        Op op;
        op.name = "expandstr";
        op.requests = {{"expandstr", qv::escape(expand_text)}};
        op.check = [expanded](const std::string& a) {
            if (expanded->empty())
                *expanded = a;
            return a.rfind("text ", 0) == 0 && a == *expanded && !contains(a, "%");
        };
        op.peer = {"cmd", "/c", "echo", expand_text};
        op.peer_check = [expanded](const std::string& o) {
            return !expanded->empty() && o.rfind(qv::unescape(expanded->substr(5)) + "\r\n", 0) == 0;
        };
        op.inproc_op = "expandstr";
        op.inproc_arg = expand_text;
        ops.push_back(op);
    }
    return ops;
}

// Every operation measured lock-step, pipelined, per process and in process.
std::vector<Row> run(Bench& bench, const Config& c, const std::vector<Op>& ops) {
    std::vector<Row> rows;
    for (const Op& op : ops) {
        if (!c.only.empty() && op.name.find(c.only) == std::string::npos)
            continue;
        Row r;
        r.name = op.name;
        r.lock = bench.lock_step(op, c.requests);
        r.pipe = bench.pipelined(op);
        r.proc = bench.per_process(op);
        if (!op.inproc_op.empty())
            r.floor = bench.in_process(op.inproc_op, op.inproc_arg, c.requests);
        rows.push_back(r);
        std::fflush(stdout);
        std::fprintf(stderr, "  measured %s\n", op.name.c_str());
    }
    return rows;
}

// The table and the goals, from the rows.
void report(const std::vector<Row>& rows) {
    // What lock-step costs beyond the platform's own work (the floor) and the
    // bare exchange (an empty request), as a share of the floor.
    const Row* empty_row = !rows.empty() && rows[0].name == "empty request" ? &rows[0] : nullptr;
    auto overhead = [&](const Row& r) {
        return empty_row && r.floor.measured() ? (r.lock.median - r.floor.median - empty_row->lock.median) /
                                                     r.floor.median
                                               : std::nan("");
    };
    auto percent = [](double x) {
        char text[32];
        if (std::isnan(x))
            return std::string("-");
        std::snprintf(text, sizeof text, "%+.0f%%", x * 100);
        return std::string(text);
    };

    if (!rows.empty())
        std::printf("median / p95 per request\n\n");
    const char* form = "| %-22s | %-21s | %-21s | %-21s | %-21s | %-10s | %-10s | %-10s |\n";
    if (!rows.empty()) {
        std::printf(form, "operation", "library, lock-step", "library, pipelined", "new process", "in-process floor",
                    "process /", "lock-step /", "overhead /");
        std::printf(form, "", "", "", "", "", "lock-step", "floor", "floor");
        std::printf("|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(24, '-').c_str(), std::string(23, '-').c_str(),
                    std::string(23, '-').c_str(), std::string(23, '-').c_str(), std::string(23, '-').c_str(),
                    std::string(12, '-').c_str(), std::string(12, '-').c_str(), std::string(12, '-').c_str());
        for (const Row& r : rows)
            std::printf(form, r.name.c_str(),
                        fmt_stats(r.lock).c_str(), fmt_stats(r.pipe).c_str(), fmt_stats(r.proc).c_str(),
                        fmt_stats(r.floor).c_str(), ratio(r.proc.median, r.lock.median).c_str(),
                        ratio(r.lock.median, r.floor.median).c_str(), percent(overhead(r)).c_str());
    }
    if (empty_row)
        std::printf("\noverhead: lock-step minus (in-process floor + empty request lock-step, %s), as a share "
                    "of the floor\n",
                    fmt(empty_row->lock.median).c_str());

    if (!rows.empty())
        std::printf("\ngoals (medians)\n");
    for (const Row& r : rows) {
        if (r.proc.measured()) {
            double x = r.proc.median / r.lock.median;
            std::printf("  %-24s >= 500x faster than a new process: %7.0fx  %s\n", r.name.c_str(), x,
                        x >= 500 ? "met" : "MISSED");
        }
    }
    for (const Row& r : rows) {
        if (r.floor.measured()) {
            double x = r.lock.median / r.floor.median;
            std::printf("  %-24s lock-step <= 1.3x in-process:      %7.2fx  %s\n", r.name.c_str(), x,
                        x <= 1.3 ? "met" : "MISSED");
        }
    }
    for (const Row& r : rows) {
        double x = overhead(r);
        if (!std::isnan(x))
            std::printf("  %-24s overhead <= 15%% of the floor:      %6s  %s\n", r.name.c_str(), percent(x).c_str(),
                        x <= 0.15 ? "met" : "MISSED");
    }
    {
        const Row *dword = nullptr, *qword = nullptr;
        for (const Row& r : rows) {
            dword = r.name == "setregkey dword" ? &r : dword;
            qword = r.name == "setregkey qword" ? &r : qword;
        }
        if (dword && qword) {
            double x = qword->lock.median / dword->lock.median;
            std::printf("  %-24s lock-step <= 1.5x a DWORD write:   %7.2fx  %s\n", "setregkey qword", x,
                        x <= 1.5 ? "met" : "MISSED");
        }
    }
    if (!rows.empty() && rows[0].name == "empty request") {
        double empty = rows[0].pipe.median;
        std::printf("  %-24s pipelined <= 5 us per request:     %7.2f us %s\n", "empty request", empty * 1e6,
                    empty <= 5e-6 ? "met" : "MISSED");
    }
    std::printf("load %s after the table\n", load().c_str());
}

// A Windows-version change by the library and by winecfg -v.
void winver_change(Bench& bench, const Config& c) {
    // The same versions in turn both ways, each change read back by the
    // other side, so that neither only confirms what is already there.
    const char* versions[] = {"win10", "win7"};
    std::vector<double> lib, tool, read;
    std::string out;
    for (int i = 0; i < c.winver_runs; i++) {
        const char* v = versions[i % 2];
        auto t0 = qv::Clock::now();
        qv::Result<void> set = qv::set_windows_version(bench.session(), v);
        lib.push_back(since(t0));
        expect(set.ok(), "set_windows_version: " + set.error());
        bench.run_quietly({qv::default_wine_loader(), "winecfg", "-v"}, &out);
        expect(out.substr(0, out.find_first_of("\r\n")) == v, std::string("winecfg -v after the library: ") + out);
        const char* w = versions[(i + 1) % 2];
        tool.push_back(bench.run_quietly({qv::default_wine_loader(), "winecfg", "-v", w}, &out));
        t0 = qv::Clock::now();
        qv::Result<qv::WindowsVersionReading> r = qv::windows_version(bench.session());
        read.push_back(since(t0));
        expect(r.ok() && r->name == w, std::string("windows_version after winecfg -v ") + w);
    }
    Stats l = stats(lib), t = stats(tool), rd = stats(read);
    std::printf("\nWindows-version change (median / p95 of %d, alternating win10 and win7)\n", c.winver_runs);
    std::printf("  %-44s %s\n", "library set_windows_version (one batch)", fmt_stats(l).c_str());
    std::printf("  %-44s %s\n", "wine64 winecfg -v VERSION", fmt_stats(t).c_str());
    std::printf("  %-44s %s\n", "library windows_version (read)", fmt_stats(rd).c_str());
    std::printf("  library change %s faster than winecfg -v\n", ratio(t.median, l.median).c_str());
}

// Large keys, large values and long request lines.
void scale(Bench& bench, const Config& c) {
    const std::string& key = kKey;
    const std::string& key_path = kKeyPath;
    std::printf("\nscale (median / p95 of %d runs, and the first run)\n\n",
                c.scale_runs);
    qv::Session& s = bench.session();
    const std::string values_key = key + "\\Values", subkeys_key = key + "\\Subkeys";
    std::vector<qv::Request> fill;
    for (int i = 0; i < 10000; i++)
        fill.push_back({"setregkey", qv::escape(values_key) + "\\nvalue" + std::to_string(i) + "\\ndword:" +
                                         std::to_string(i)});
    auto t0 = qv::Clock::now();
    for (const std::string& a : s.ask_all(fill))
        expect(ok(a), "filling 10,000 values");
    std::printf("  %-40s %s\n", "setregkey 10,000 values, pipelined", fmt(since(t0)).c_str());
    fill.clear();
    for (int i = 0; i < 10000; i++)
        fill.push_back({"setregkey", qv::escape(subkeys_key + "\\sub" + std::to_string(i)) + "\\nv\\ndword:1"});
    t0 = qv::Clock::now();
    for (const std::string& a : s.ask_all(fill))
        expect(ok(a), "filling 10,000 subkeys");
    std::printf("  %-40s %s\n", "setregkey 10,000 new subkeys, pipelined", fmt(since(t0)).c_str());

    auto timed = [&](const std::string& what, const std::string& command, const std::string& args,
                     const std::function<bool(const std::string&)>& check, const Stats& floor) {
        std::vector<double> v;
        for (int i = 0; i < c.scale_runs; i++) {
            auto t = qv::Clock::now();
            std::string a = s.ask(command, args);
            v.push_back(since(t));
            expect(check(a), what + ": " + a.substr(0, 200));
        }
        Stats st = stats(v);
        std::printf("  %-40s %-21s first %-9s", what.c_str(), fmt_stats(st).c_str(), fmt(v[0]).c_str());
        if (floor.measured())
            std::printf(" in-process %s (%s)", fmt_stats(floor).c_str(), ratio(st.median, floor.median).c_str());
        std::printf("\n");
    };
    auto lines = [](size_t n) {
        return [n](const std::string& a) { return size_t(std::count(a.begin(), a.end(), '\n')) == n; };
    };
    timed("getregkey, 10,000 values", "getregkey", values_key, lines(10000),
          bench.in_process("getregkey", key_path + "\\Values", c.scale_runs));
    timed("getregkey, 10,000 subkeys", "getregkey", subkeys_key, lines(10000),
          bench.in_process("getregkey", key_path + "\\Subkeys", c.scale_runs));

    // One value read from keys of 10, 1,000 and 10,000 values, against a
    // listing of the same key and against the same read in-process.
    std::printf("\n  one value (\"a\") against a listing of its key, lock-step\n");
    double first_read = 0;
    for (int size : {10, 1000, 10000}) {
        const std::string sized = key + "\\Sized" + std::to_string(size);
        std::vector<qv::Request> sized_fill = {{"setregkey", qv::escape(sized) + "\\na\\ndword:1"}};
        for (int i = 1; i < size; i++)
            sized_fill.push_back({"setregkey", qv::escape(sized) + "\\nvalue" + std::to_string(i) + "\\ndword:" +
                                                   std::to_string(i)});
        for (const std::string& a : s.ask_all(sized_fill))
            expect(ok(a), "filling a key of " + std::to_string(size) + " values");
        const qv::Request one = {"getregvalue", qv::escape(sized + "\na")};
        std::vector<double> reads, lists;
        for (int i = 0; i < c.scale_runs * 10; i++) {
            auto t = qv::Clock::now();
            std::string a = s.ask(one.command, one.args);
            reads.push_back(since(t));
            expect(a == "value a\\0 4 01000000\n", "getregvalue in a key of " + std::to_string(size));
        }
        for (int i = 0; i < c.scale_runs; i++) {
            auto t = qv::Clock::now();
            std::string a = s.ask("getregkey", sized);
            lists.push_back(since(t));
            expect(size_t(std::count(a.begin(), a.end(), '\n')) == size_t(size), "listing " + sized);
        }
        Stats read = stats(reads), list = stats(lists);
        Stats floor = bench.in_process("getregvalue", key_path + "\\Sized" + std::to_string(size), c.requests);
        if (!first_read)
            first_read = read.median;
        std::printf("  %6d values: getregvalue %-21s getregkey %-21s (%s)  in-process %s (%s)\n", size,
                    fmt_stats(read).c_str(), fmt_stats(list).c_str(), ratio(list.median, read.median).c_str(),
                    fmt_stats(floor).c_str(), ratio(read.median, floor.median).c_str());
        if (size == 10000) {
            double x = read.median / first_read;
            std::printf("  %-40s 10,000 values within 1.3x of 10:   %5.2fx  %s\n", "getregvalue", x,
                        x <= 1.3 ? "met" : "MISSED");
        }
    }


    std::string hex = "hex:";
    std::string expect_hex;
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < (1 << 20); i++) {
        hex += digits[(i >> 4) & 15];
        hex += digits[i & 15];
        if (i + 1 < (1 << 20))
            hex += ',';
        expect_hex += digits[(i >> 4) & 15];
        expect_hex += digits[i & 15];
    }
    const std::string blob_key = key + "\\Blob";
    // A new server, so that the first write grows the line buffer from nothing.
    s.restart();
    timed("setregkey 1 MiB binary (3 MiB line)", "setregkey", qv::escape(blob_key) + "\\nblob\\n" + hex, ok,
          bench.in_process("setbinary", key_path + "\\Blob", c.scale_runs));
    timed("getregkey, one 1 MiB binary value", "getregkey", blob_key,
          [&](const std::string& a) { return a == "value blob\\0 3 " + expect_hex + "\n"; }, Stats{});

    std::printf("\n  request line assembly, median of 3 runs, each in a new server (4 KiB reads)\n");
    double first = 0;
    int first_mib = 0;
    for (int mib : c.line_mib) {
        std::string line = "nosuchcommand " + std::string(size_t(mib) << 20, 'a') + "\n";
        std::vector<double> runs;
        for (int run = 0; run < 3; run++) {
            s.restart();
            auto t = qv::Clock::now();
            s.server().send(line);
            std::string a = s.server().read_answer();
            runs.push_back(since(t));
            expect(a.empty(), "long line answer");
        }
        double secs = stats(runs).median;
        if (!first) {
            first = secs;
            first_mib = mib;
        }
        std::printf("  %5d MiB line  %10s  %8.1f MiB/s", mib, fmt(secs).c_str(), mib / secs);
        if (mib != first_mib)
            std::printf("   %.0fx the %d MiB time for %dx the size", secs / first, first_mib, mib / first_mib);
        std::printf("\n");
        if (mib != first_mib && mib == 64 && first_mib == 1) {
            double x = secs / (64 * first);
            std::printf("  %-40s 64 MiB within 1.5x of 64x 1 MiB: %5.2fx  %s\n", "line assembly", x,
                        x <= 1.5 ? "met" : "MISSED");
        }
    }
    std::printf("load %s at the end\n", load().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    Config c = configure(argc, argv);
    Bench bench(c);
    make_fixtures(bench, c);
    print_machine(bench, c);
    std::vector<Row> rows = run(bench, c, operations(bench, c));
    report(rows);
    if (c.only.empty() || contains("import", c.only))
        tree_import(bench, c, kKey);
    if (c.only.empty() || std::string("winver").find(c.only) != std::string::npos)
        winver_change(bench, c);
    if (c.scale)
        scale(bench, c);
    bench.ask("rmregtree", qv::escape(kKey));
    return bench.session().quit() == 0 ? 0 : 1;
}
