#include "robust_soak.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace robust {

Outcome classify_failure(const std::string& why) {
    if (why.rfind("no answer before the deadline", 0) == 0)
        return Outcome::hang;
    if (why.rfind("the library's framer disagrees", 0) == 0)
        return Outcome::framing_break;
    return Outcome::crash;
}

void SoakTally::count(Outcome o) {
    switch (o) {
    case Outcome::answered: break;
    case Outcome::crash: crashes++; break;
    case Outcome::hang: hangs++; break;
    case Outcome::framing_break: framing_breaks++; break;
    }
}

std::string SoakTally::line(uint64_t seed, double seconds) const {
    char text[256];
    std::snprintf(text, sizeof text,
                  "requests %llu crashes %llu hangs %llu framing-breaks %llu unexpected-answers %llu seed %llu "
                  "seconds %.0f",
                  static_cast<unsigned long long>(requests), static_cast<unsigned long long>(crashes),
                  static_cast<unsigned long long>(hangs), static_cast<unsigned long long>(framing_breaks),
                  static_cast<unsigned long long>(unexpected), static_cast<unsigned long long>(seed), seconds);
    return text;
}

namespace {

std::string status_field(const std::string& status, const std::string& name) {
    std::istringstream in(status);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0) {
            size_t at = line.find_first_not_of(" \t", name.size() + 1);
            return at == std::string::npos ? "" : line.substr(at);
        }
    return "?";
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::string wine_fault(const std::string& log_path) {
    std::istringstream in(read_file(log_path));
    for (std::string line; std::getline(in, line);)
        if (line.find("Unhandled") != std::string::npos)
            return line;
    return "";
}

std::string process_state(int pid) {
    if (pid <= 0)
        return "gone";
    std::string base = "/proc/" + std::to_string(pid);
    std::string status = read_file(base + "/status");
    if (status.empty())
        return "gone";
    std::string wchan = read_file(base + "/wchan");
    return "state " + status_field(status, "State") + ", rss " + status_field(status, "VmRSS") + ", wchan " +
           (wchan.empty() ? "?" : wchan);
}

long rss_kib(int pid) {
    std::string status = read_file(pid ? "/proc/" + std::to_string(pid) + "/status" : "/proc/self/status");
    if (status.empty())
        return -1;
    return std::atol(status_field(status, "VmRSS").c_str());
}

}  // namespace robust
