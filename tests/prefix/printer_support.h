#pragma once
// Shared by the printer installer's tests: runs of qvaddprinter in the test
// prefix, its log lines, and the spooler's state through spooler_query.
#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "qv/printers.h"
#include "spooler.h"
#include "support.h"

namespace prn {

inline const char kUsage[] =
    "qvaddprinter.exe\n"
    "    Adds a printer to the current wine prefix.\n"
    "    Only Google Cloud Print printers currently supported.\n"
    "Usage:\n"
    "    --gcloud <priner name>,<printer id>\n"
    "             Adds a Google Cloud Print printer with the specified name and ID.";

inline const qv::Millis kRun{180000};

// C.UTF-8 exists on every Debian system; Wine then reads the command line as
// UTF-8 and the ANSI calls use code page 1252, the same for every program here.
inline const std::pair<std::string, std::string> kLocale{"LC_ALL", "C.UTF-8"};

inline qv::LaunchOptions checker() {
    qv::LaunchOptions o = qvtest::options_for(qvtest::test_program64("spooler_query.exe"));
    o.env = {kLocale};
    return o;
}

// Options for one run: the channel's classes on and Wine's own noise off, and
// a fixed locale so that the runtime's code pages are the same for every run.
// The build under test by default (the 32-bit one in the 32-bit conformance run).
inline qv::LaunchOptions installer(const std::string& exe = qvtest::program("qvaddprinter.exe")) {
    qv::LaunchOptions o = qvtest::options_for(exe);
    o.env = {{"WINEDEBUG", "-all,+qvaddprinter"}, kLocale};
    return o;
}

inline qv::RunResult run(const std::vector<std::string>& args, qv::LaunchOptions o = installer()) {
    o.args = args;
    return qv::run_program(o, qvtest::patience(kRun)).value;
}

// One line of the channel: class, function in the header, message.
struct LogLine {
    std::string cls, function, message;
    bool operator==(const LogLine& o) const {
        return cls == o.cls && function == o.function && message == o.message;
    }
};

inline std::ostream& operator<<(std::ostream& os, const LogLine& l) {
    return os << l.cls << ":" << l.function << " \"" << qvtest::shown(l.message) << "\"";
}

// The channel's lines of a run's standard error ("0024:trace:qvaddprinter:main msg").
inline std::vector<LogLine> channel_lines(const std::string& err) {
    static const std::regex header("^[0-9a-f]+:([a-z]+):qvaddprinter:([A-Za-z_0-9]+) (.*)$");
    std::vector<LogLine> out;
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        std::string line = err.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? err.size() : end + 1;
        std::smatch m;
        if (std::regex_match(line, m, header))
            out.push_back({m[1], m[2], m[3]});
    }
    return out;
}

inline LogLine starting() { return {"trace", "main", "Starting up."}; }
inline LogLine requires_pair() { return {"warn", "main", "Option --gcloud requires <printer_name>,<printer_id>"}; }
inline LogLine limit_reached() { return {"warn", "main", "Maximum number of GCP printers reached."}; }
inline LogLine unknown(const std::string& quoted) { return {"warn", "main", "Unknown arg " + quoted + " - ignoring."}; }
inline LogLine adding(const std::string& qname, const std::string& qid) {
    return {"trace", "add_printer", "Adding cloud printer name " + qname + " printer_id " + qid};
}

inline std::string q(const std::string& s) { return "\"" + s + "\""; }

// What the spooler knows of these names (nullopt: nothing).
inline std::vector<std::optional<qvtest::SpoolerPrinter>> spooler(const std::vector<std::string>& names) {
    return qvtest::query_printers(checker(), names);
}

inline void expect_absent(const std::vector<std::string>& names, const std::string& context) {
    auto got = spooler(names);
    for (size_t i = 0; i < names.size(); i++)
        EXPECT_FALSE(got[i].has_value()) << context << ": printer \"" << qvtest::shown(names[i]) << "\" exists";
}

inline void expect_cloud_printer(const std::optional<qvtest::SpoolerPrinter>& p, const std::string& name,
                                 const std::string& id) {
    ASSERT_TRUE(p.has_value()) << "printer \"" << qvtest::shown(name) << "\" missing";
    EXPECT_EQ(p->port, "QV_GCLOUD:" + id) << qvtest::shown(name);
    EXPECT_EQ(p->driver, "Google Cloud Print") << qvtest::shown(name);
    EXPECT_EQ(p->print_processor, "WinPrint") << qvtest::shown(name);
}

// Removes the test's printers, whatever the test left.
struct Cleanup {
    std::vector<std::string> names;
    ~Cleanup() {
        if (names.empty())
            return;
        try {
            auto kept = qvtest::delete_printers(checker(), names);
            for (const auto& k : kept)
                ADD_FAILURE() << "could not remove printer \"" << qvtest::shown(k) << "\"";
        } catch (const std::exception& e) {
            ADD_FAILURE() << "cleanup: " << e.what();
        }
    }
};

inline std::string ppd_source() { return std::string(QV_SOURCE_DIR) + "/winelib/qvaddprinter/Google_Cloud_Print.ppd"; }

}  // namespace prn
