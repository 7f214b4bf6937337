#pragma once
// Shared by the registry tests: a checker process that reads and prepares
// registry state without the server, per-test key names, and the fixture
// that holds both with the server under test.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "qv/registry.h"
#include "qv/text.h"
#include "support.h"

namespace regtest {

using qvtest::hex;
using qvtest::LineProgram;

// An argument for the checker: hex, "-" when empty.
inline std::string arg(const std::string& bytes) { return bytes.empty() ? "-" : hex(bytes); }

// "HKCU\Software\QvTest\<test name>" (or under HKLM), unique per test.
inline std::string test_key(const std::string& root = "HKCU") {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return root + "\\Software\\QvTest\\" + info->test_suite_name() + "." + info->name();
}

// Views: "64" is the default view of the 64-bit checker, "32" adds KEY_WOW64_32KEY.
// Unless told otherwise the checker looks where the server under test looks
// by default: a 32-bit server's default view is the 32-bit one.
inline std::string server_view() { return qvtest::testing_32bit_build() ? "32" : "64"; }

class Checker : public LineProgram {
public:
    Checker() : LineProgram("regcheck.exe") {}
    // "TYPE HEXDATA", or "open CODE" / "value CODE"
    std::string query(const std::string& key, const std::string& name, const std::string& view = server_view()) {
        return ask("query " + view + " " + arg(key) + " " + arg(name));
    }
    std::string set(const std::string& key, const std::string& name, unsigned type, const std::string& data,
                    const std::string& view = server_view()) {
        return ask("set " + view + " " + arg(key) + " " + arg(name) + " " + std::to_string(type) + " " + arg(data));
    }
    std::string mkkey(const std::string& key, const std::string& view = server_view()) {
        return ask("mkkey " + view + " " + arg(key));
    }
    bool exists(const std::string& key, const std::string& view = server_view()) {
        return ask("exists " + view + " " + arg(key)) == "yes";
    }
    std::string subkeys(const std::string& key, const std::string& view = server_view()) {
        return ask("subkeys " + view + " " + arg(key));
    }
    std::string rmtree(const std::string& key, const std::string& view = server_view()) {
        return ask("rmtree " + view + " " + arg(key));
    }
};

// Removes a test key in both views before and after a test.
class ScopedKey {
public:
    ScopedKey(Checker& checker, std::string key) : checker_(checker), key_(std::move(key)) { clear(); }
    ~ScopedKey() { clear(); }
    const std::string& path() const { return key_; }

private:
    void clear() {
        checker_.rmtree(key_, "64");
        checker_.rmtree(key_, "32");
    }
    Checker& checker_;
    std::string key_;
};

// What a registry test starts with: the checker; the test's own key, made on
// first use under the root asked for then and cleared in both views before
// and after; and the server, started when the test asks for it (after what
// the checker prepares), whose quit is checked when the test ends.
class RegistryTest : public ::testing::Test {
protected:
    const std::string& key(const std::string& root = "HKCU") {
        if (!key_)
            key_.emplace(c, test_key(root));
        return key_->path();
    }
    qv::Server& start_server() {
        if (!server_)
            server_.emplace(qvtest::start_server());
        return *server_;
    }
    void TearDown() override {
        if (server_) {
            EXPECT_EQ(server_->quit(), 0);
        }
    }

    Checker c;

private:
    std::optional<ScopedKey> key_;
    std::optional<qv::Server> server_;
};

// The output of `wine64 reg query KEY /reg:BITS` for a key that exists in
// that view; a query that fails is a test failure showing the run.
inline std::string reg_query(const std::string& key, const std::string& bits) {
    qv::LaunchOptions o = qvtest::options_for("reg");
    o.args = {"query", key, "/reg:" + bits};
    qv::RunResult r = qvtest::run_wine_tool(o, qv::Millis(120000));
    if (r.exit_code != 0)
        ADD_FAILURE() << "reg query " << key << " /reg:" << bits << " exited " << r.exit_code << "\n"
                      << r.out << r.err;
    return r.out;
}

}  // namespace regtest
