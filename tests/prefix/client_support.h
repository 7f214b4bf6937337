#pragma once
// Running qvctl as a user does, for the client tests.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace clienttest {

// qvctl ARGS with the given options before them (default: --prefix of the
// test run); its output comes back through files.
inline qv::RunResult qvctl(std::vector<std::string> args, std::vector<std::string> global = {}) {
    qv::LaunchOptions o;
    o.wine = QV_QVCTL;  // a host program: "wine" is only what gets executed
    if (global.empty())
        global = {"--prefix", qvtest::prefix()};
    o.exe = global.front();
    args.insert(args.begin(), global.begin() + 1, global.end());
    o.args = args;
    return qv::run_program(o, qvtest::patience(qv::Millis(180000))).value;
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A scratch file beside the prefix, unique per test.
inline std::string scratch(const std::string& name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return qvtest::prefix() + "/../client-" + info->name() + "-" + name;
}

}  // namespace clienttest
