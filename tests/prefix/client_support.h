#pragma once
// Running qvctl as a user does, for the client tests.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "qv/host.h"
#include "support.h"

namespace clienttest {

// Every line of JSON output checked against the schema in the repository.
inline void expect_schema_valid(const std::string& out) {
    if (out.empty())
        return;
    std::string file = qvtest::prefix() + "/../client-json-" + std::to_string(getpid());
    {
        std::ofstream(file, std::ios::binary) << out;
    }
    qv::LaunchOptions o;
    o.wine = "/usr/bin/python3";
    o.exe = QV_SOURCE_DIR "/tests/support/check_json.py";
    o.args = {QV_SOURCE_DIR "/schema/qvctl-result.schema.json", file};
    qv::RunResult r = qv::run_program(o, qv::Millis(60000)).value;
    EXPECT_EQ(r.exit_code, 0) << "JSON output does not follow the schema:\n" << r.out << r.err;
    unlink(file.c_str());
}

// qvctl ARGS with the given options before them (default: --prefix of the
// test run); its output comes back through files. Output of --json runs is
// checked against the schema.
inline qv::RunResult qvctl(std::vector<std::string> args, std::vector<std::string> global = {},
                           const std::vector<std::pair<std::string, std::string>>& env = {}) {
    qv::LaunchOptions o;
    o.wine = QV_QVCTL;  // a host program: "wine" is only what gets executed
    if (global.empty())
        global = {"--prefix", qvtest::prefix()};
    args.insert(args.begin(), global.begin(), global.end());
    o.exe = args.front();
    o.args.assign(args.begin() + 1, args.end());
    o.env = env;
    qv::RunResult r = qv::run_program(o, qvtest::patience(qv::Millis(180000))).value;
    bool json = false;
    for (const std::string& a : args)
        json = json || a == "--json";
    if (json)
        expect_schema_valid(r.out);
    return r;
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

using qv::read_file;

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A scratch file beside the prefix, unique per test.
inline std::string scratch(const std::string& name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return qvtest::prefix() + "/../client-" + info->name() + "-" + name;
}

}  // namespace clienttest
