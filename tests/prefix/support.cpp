#include "support.h"

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

qv::LaunchOptions options_for(const std::string& exe) {
    qv::LaunchOptions o;
    o.prefix = prefix();
    o.exe = exe;
    return o;
}

qv::Server start_server() { return qv::Server::start(options_for(program64("qvmanip.exe"))); }

std::string shown(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

}  // namespace qvtest
