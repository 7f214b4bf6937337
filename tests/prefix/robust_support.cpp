#include "robust_support.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include "proc_file.h"

namespace robust {

namespace {

std::string single_quoted(const std::string& s) { return "'" + s + "'"; }

int shell(const std::string& command) { return std::system((command + " </dev/null >/dev/null 2>&1").c_str()); }

std::string wineserver_command(const std::string& prefix, const std::string& flag) {
    return "WINEPREFIX=" + single_quoted(prefix) + " " + single_quoted(qv::default_wineserver()) + " " + flag;
}

// Wine's processes of a wineserver that was killed outlive it, waiting for
// ever; `wineserver -k` reaches only those of the running one. What still
// runs with this prefix in its environment is ended here.
void kill_leftovers(const std::string& prefix) {
    const std::string mark = std::string("WINEPREFIX=") + prefix + '\0';
    DIR* proc = opendir("/proc");
    if (!proc)
        return;
    while (dirent* e = readdir(proc)) {
        int pid = std::atoi(e->d_name);
        if (pid <= 0 || pid == getpid())
            continue;
        std::string env = '\0' + qvtest::read_whole("/proc/" + std::string(e->d_name) + "/environ");
        if (env.find('\0' + mark) != std::string::npos)
            kill(pid, SIGKILL);
    }
    closedir(proc);
}

}  // namespace

uint64_t env_number(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 0) : fallback;
}

OwnPrefix::OwnPrefix(const std::string& name) : path_(qvtest::prefix() + "-" + name) {
    ready_ = shell(single_quoted(std::string(QV_SOURCE_DIR) + "/scripts/wine-prefix.sh") + " clone " + single_quoted(path_)) == 0;
}

OwnPrefix::~OwnPrefix() {
    stop();
    // Kept for a look when the test failed.
    if (!::testing::Test::HasFailure())
        shell("rm -rf " + single_quoted(path_) + " " + single_quoted(path_ + ".start.log"));
}

qv::LaunchOptions OwnPrefix::options_for(const std::string& exe) const {
    qv::LaunchOptions o = qvtest::options_for(exe);
    o.prefix = path_;
    return o;
}

void OwnPrefix::stop() {
    shell(wineserver_command(path_, "-k"));
    shell(wineserver_command(path_, "-w"));
    kill_leftovers(path_);
}

int OwnPrefix::wineserver_pid() const {
    struct stat st;
    if (stat(path_.c_str(), &st) != 0)
        return -1;
    char dir[64];
    std::snprintf(dir, sizeof dir, "/server-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    DIR* proc = opendir("/proc");
    if (!proc)
        return -1;
    int found = -1;
    while (dirent* e = readdir(proc)) {
        int pid = std::atoi(e->d_name);
        if (pid <= 0)
            continue;
        std::string base = "/proc/" + std::string(e->d_name);
        char buf[4096];
        ssize_t n = readlink((base + "/exe").c_str(), buf, sizeof buf - 1);
        if (n <= 0)
            continue;
        std::string exe(buf, static_cast<size_t>(n));
        if (exe.substr(exe.rfind('/') + 1).rfind("wineserver", 0) != 0)
            continue;
        n = readlink((base + "/cwd").c_str(), buf, sizeof buf - 1);
        if (n <= 0)
            continue;
        std::string cwd(buf, static_cast<size_t>(n));
        if (cwd.size() >= std::strlen(dir) && cwd.compare(cwd.size() - std::strlen(dir), std::string::npos, dir) == 0)
            found = pid;
    }
    closedir(proc);
    return found;
}

std::vector<std::string> registry_snapshot(const OwnPrefix& prefix, const std::vector<std::string>& scratch) {
    qvtest::LineProgram checker(prefix.options_for(qvtest::test_program64("regcheck.exe")));
    std::vector<std::string> lines;
    for (const std::string root : {"HKLM\\", "HKCU\\"}) {
        std::string dump = checker.ask_through("dump 64 " + qvtest::hex(root), "done");
        if (dump.size() < 4 || dump.compare(dump.size() - 4, 4, "done") != 0) {
            lines.push_back("no dump of " + root + ": " + dump.substr(0, 200));
            continue;
        }
        std::istringstream in(dump);
        bool skipping = false;
        std::string key;
        for (std::string line; std::getline(in, line);) {
            if (line == "done")
                break;
            std::istringstream words(line);
            std::string kind, name, rest;
            words >> kind >> name;
            std::getline(words, rest);
            name = name == "-" ? "" : qvtest::from_hex(name);
            if (kind == "k") {
                key = root + name;
                skipping = false;
                for (const std::string& s : scratch)
                    if (key == s || key.rfind(s + "\\", 0) == 0)
                        skipping = true;
                if (!skipping)
                    lines.push_back("k " + key + rest);
            } else if (!skipping) {
                lines.push_back("v " + key + " | " + name + rest);
            }
        }
    }
    return lines;
}

std::string snapshot_difference(const std::vector<std::string>& before, const std::vector<std::string>& after) {
    std::multiset<std::string> a(before.begin(), before.end()), b(after.begin(), after.end());
    std::ostringstream out;
    int shown = 0;
    for (const std::string& line : a)
        if (!b.count(line) && shown++ < 20)
            out << "  only before: " << qvtest::shown(line.substr(0, 300)) << "\n";
    for (const std::string& line : b)
        if (!a.count(line) && shown++ < 40)
            out << "  only after:  " << qvtest::shown(line.substr(0, 300)) << "\n";
    return out.str();
}

std::vector<std::string> dosdevices(const OwnPrefix& prefix) {
    std::vector<std::string> entries;
    std::string dir = prefix.path() + "/dosdevices";
    DIR* d = opendir(dir.c_str());
    if (!d)
        return {"no dosdevices folder"};
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        char buf[4096];
        ssize_t n = readlink((dir + "/" + name).c_str(), buf, sizeof buf - 1);
        entries.push_back(name + " -> " + (n > 0 ? std::string(buf, static_cast<size_t>(n)) : "?"));
    }
    closedir(d);
    std::sort(entries.begin(), entries.end());
    return entries;
}

RawConversation::RawConversation(const qv::LaunchOptions& options) : child_(qvtest::spawn_server_raw(options)) {}

bool RawConversation::fill(qv::Clock::time_point deadline, std::string* why) {
    char buf[65536];
    ssize_t n = child_.read_some(buf, sizeof buf, deadline);
    if (n > 0) {
        raw_.append(buf, static_cast<size_t>(n));
        if (counting_)
            count_markers(std::string(buf, static_cast<size_t>(n)));
        framer_.feed(std::string_view(buf, static_cast<size_t>(n)));
        return true;
    }
    *why = n < 0 ? "no answer before the deadline" : "the server's output ended";
    return false;
}

bool RawConversation::started(std::string* why) {
    auto deadline = qv::Clock::now() + qvtest::patience(qv::Millis(60000));
    while (raw_.size() < qv::kHandshake.size())
        if (!fill(deadline, why))
            return false;
    if (raw_.compare(0, qv::kHandshake.size(), qv::kHandshake) != 0) {
        *why = "no handshake: " + qvtest::shown(raw_.substr(0, 100));
        return false;
    }
    std::string unused;
    if (framer_.next(&unused) != qv::FrameReader::Status::handshake) {
        *why = "the framer did not see the handshake";
        return false;
    }
    raw_.erase(0, qv::kHandshake.size());
    counting_ = true;
    count_markers(raw_);
    return true;
}

bool RawConversation::next(std::string* answer, qv::Millis timeout, std::string* why) {
    auto deadline = qv::Clock::now() + timeout;
    size_t marker;
    while ((marker = raw_.find(qv::kEndMarker, cursor_)) == std::string::npos)
        if (!fill(deadline, why))
            return false;
    *answer = raw_.substr(cursor_, marker - cursor_);
    cursor_ = marker + qv::kEndMarker.size();
    if (cursor_ > (1u << 20) && cursor_ >= raw_.size() / 2) {
        raw_.erase(0, cursor_);
        cursor_ = 0;
    }
    std::string framed;
    if (framer_.next(&framed) != qv::FrameReader::Status::answer || framed != *answer) {
        *why = "the library's framer disagrees: " + qvtest::shown(framed.substr(0, 200));
        return false;
    }
    return true;
}

int RawConversation::finish(qv::Millis timeout) {
    child_.close_input();
    auto deadline = qv::Clock::now() + timeout;
    std::string why;
    while (fill(deadline, &why)) {
    }
    return child_.wait(deadline);
}

void RawConversation::count_markers(const std::string& bytes) {
    // Overlapping ones count too: "x\nend" before a marker would read as two.
    // The handshake's LF starts the carry, as a marker could begin with it.
    // A marker found here ends in the new bytes, so none is counted twice.
    std::string text = carry_ + bytes;
    for (size_t at = text.find(qv::kEndMarker); at != std::string::npos; at = text.find(qv::kEndMarker, at + 1))
        markers_++;
    size_t keep = std::min(text.size(), qv::kEndMarker.size() - 1);
    carry_ = text.substr(text.size() - keep);
}

size_t RawConversation::markers_in_stream() const { return markers_; }

}  // namespace robust
