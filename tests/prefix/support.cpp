#include "support.h"

#include "qv/files.h"
#include "qv/text.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace qvtest {

std::string prefix() {
    const char* p = std::getenv("QV_TEST_PREFIX");
    if (!p || !*p)
        throw std::runtime_error("QV_TEST_PREFIX is not set; run the tests through ctest");
    return p;
}

std::string program64(const std::string& name) { return std::string(QV_WIN64_DIR) + "/" + name; }
std::string program32(const std::string& name) { return std::string(QV_WIN32_DIR) + "/" + name; }
std::string test_program64(const std::string& name) {
    return std::string(QV_WIN64_DIR) + "/tests-win/" + name;
}

std::string program(const std::string& name) {
    const char* dir = std::getenv("QV_TEST_PROGRAM_DIR");
    return dir && *dir ? std::string(dir) + "/" + name : program64(name);
}

bool testing_32bit_build() {
    // Compared as files, so that any spelling of the build folder counts.
    char* tested = realpath(program("qvmanip.exe").c_str(), nullptr);
    char* built32 = realpath(program32("qvmanip.exe").c_str(), nullptr);
    bool same = tested && built32 && std::string(tested) == built32;
    std::free(tested);
    std::free(built32);
    return same;
}

std::string prefix_arch() { return qv::prefix_arch(prefix()); }

std::string server_system_folder() {
    return testing_32bit_build() && prefix_arch() == "win64" ? "syswow64" : "system32";
}

qv::Millis patience(qv::Millis base) {
    const char* scale = std::getenv("QV_TEST_TIME_SCALE");
    double factor = scale ? std::atof(scale) : 1.0;
    return qv::Millis(static_cast<long long>(base.count() * (factor > 1 ? factor : 1.0)));
}

qv::LaunchOptions options_for(const std::string& exe) {
    qv::LaunchOptions o;
    o.prefix = prefix();
    o.exe = exe;
    if (exe.rfind(std::string(QV_WIN32_DIR) + "/", 0) == 0)
        o.wine = qv::default_wine32_loader();
    // One long-lived server behind the relay stands in for a start per test.
    const char* relay = std::getenv("QV_RELAY_SOCKET");
    if (relay && *relay && exe == program("qvmanip.exe"))
        o.wine = QV_RELAY;
    return o;
}

qv::Server start_server(const qv::LaunchOptions& options) {
    qv::Server server = qv::Server::start(options, patience(qv::Millis(60000)));
    server.set_timeout(patience(qv::Millis(60000)));
    return server;
}

qv::Server start_server() { return start_server(options_for(program("qvmanip.exe"))); }

std::string shown(const std::string& bytes) { return qv::visible(bytes); }

std::string hex(const std::string& bytes) { return qv::to_hex(bytes); }

std::string from_hex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

qv::Peer spawn_server_raw(const qv::LaunchOptions& options) {
    for (int attempt = 1;; attempt++) {
        qv::Peer child = qv::Peer::spawn(options);
        if (child.output_fd() < 0)
            return child;
        pollfd p{child.output_fd(), POLLIN, 0};
        int waiting = 0;
        if (poll(&p, 1, static_cast<int>(patience(qv::Millis(60000)).count())) == 1)
            ioctl(p.fd, FIONREAD, &waiting);
        if (waiting > 0 || attempt == 2 || !(p.revents & POLLHUP))
            return child;
        if (child.wait(qv::Clock::now() + qv::Millis(2000)) != 1)
            return child;
    }
}

LineProgram::LineProgram(const qv::LaunchOptions& options) : options_(options), child_(qv::Peer::spawn(options)) {}

LineProgram::LineProgram(const std::string& test_program)
    : LineProgram(options_for(test_program64(test_program))) {}

LineProgram::~LineProgram() {
    child_.close_input();
    child_.wait(qv::Clock::now() + qv::Millis(30000));
}

std::string LineProgram::ask_through(const std::string& line, const std::string& marker) {
    if (!child_.write_all(line + "\n"))
        return started_again() ? ask_through(line, marker) : "<no input: " + ended_ + ">";
    auto deadline = qv::Clock::now() + qv::Millis(60000);
    for (;;) {
        size_t at = pending_.compare(0, marker.size(), marker) == 0 ? 0 : pending_.find("\n" + marker);
        size_t lf = at == std::string::npos ? at : pending_.find('\n', at == 0 ? 0 : at + 1);
        if (lf != std::string::npos) {
            answered_ = true;
            std::string result = pending_.substr(0, lf);
            pending_.erase(0, lf + 1);
            return result;
        }
        char buf[65536];
        ssize_t n = child_.read_some(buf, sizeof buf, deadline);
        if (n < 0)
            return "<no answer within 60 s>";
        if (n == 0)
            return started_again() ? ask_through(line, marker) : "<no answer: " + ended_ + ">";
        pending_.append(buf, static_cast<size_t>(n));
    }
}

bool LineProgram::started_again() {
    int status = child_.wait(qv::Clock::now() + qv::Millis(2000));
    ended_ = "the program ended" + (status >= 0 ? " with status " + std::to_string(status) : "");
    if (status != 1 || answered_ || !pending_.empty())
        return false;
    // Ended at its start, as Wine now and then ends a program (see
    // wine_tool.h), before it said or read anything: once more, same line.
    answered_ = true;
    child_ = qv::Peer::spawn(options_);
    return true;
}

}  // namespace qvtest
