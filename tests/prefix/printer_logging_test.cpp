// qvaddprinter's log: the exact lines of the channel after Wine's header, the
// class switching through WINEDEBUG, and silence when WINEDEBUG is unset.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "printer_support.h"

namespace {

using prn::LogLine;

// Every message kind once: unknown arguments, two printers, the trace lines.
std::vector<std::string> all_messages_args(const std::string& name) {
    return {"--unknown", "--gcloud", name + ",log-1", "odd \"quoted\"\targ\\\xc3\xa9", "--gcloud",
            name + " 2,log,2"};
}

std::vector<std::string> raw_channel_lines(const std::string& err) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        std::string line = err.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? err.size() : end + 1;
        if (line.find("qvaddprinter") != std::string::npos)
            out.push_back(line);
    }
    return out;
}

TEST(PrinterLogging, ExactLinesWithTheChannelOnAmidWineNoise) {
    const std::string kName = "QV Log Printer";
    prn::Cleanup cleanup{{kName, kName + " 2"}};
    // +qvaddprinter alone keeps Wine's default err/fixme lines of other channels.
    qv::LaunchOptions o = prn::installer();
    o.env.push_back({"WINEDEBUG", "+qvaddprinter"});
    auto r = prn::run(all_messages_args(kName), o);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    const std::vector<std::string> expected = {
        "trace:qvaddprinter:main Starting up.",
        "warn:qvaddprinter:main Unknown arg \"--unknown\" - ignoring.",
        "warn:qvaddprinter:main Unknown arg \"odd \\\"quoted\\\"\\targ\\\\\\xe9\" - ignoring.",
        "trace:qvaddprinter:add_printer Adding cloud printer name \"QV Log Printer\" printer_id \"log-1\"",
        "trace:qvaddprinter:add_printer Adding cloud printer name \"QV Log Printer 2\" printer_id \"log,2\"",
    };
    auto lines = raw_channel_lines(r.err);
    ASSERT_EQ(lines.size(), expected.size()) << r.err;
    static const std::regex thread_id("^[0-9a-f]{4}:");
    for (size_t i = 0; i < lines.size(); i++) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(lines[i], m, thread_id)) << lines[i];
        EXPECT_EQ(lines[i].substr(5), expected[i]);
    }
    auto got = prn::spooler(cleanup.names);
    prn::expect_cloud_printer(got[0], kName, "log-1");
    prn::expect_cloud_printer(got[1], kName + " 2", "log,2");
}

TEST(PrinterLogging, ClassesAreSwitchedSeparately) {
    struct Case {
        std::string winedebug;
        bool trace, warn;
    } cases[] = {
        {"-all,warn+qvaddprinter", false, true},
        {"-all,trace+qvaddprinter", true, false},
        {"-all,+qvaddprinter,-qvaddprinter", false, false},
        {"-all,+qvaddprinterx", false, false},
    };
    for (const auto& c : cases) {
        qv::LaunchOptions o = prn::installer();
        o.env.push_back({"WINEDEBUG", c.winedebug});
        // A refused run: all its lines come from main, and nothing is installed.
        auto r = prn::run({"--bogus", "--gcloud", "nocomma"}, o);
        EXPECT_EQ(r.exit_code, 1) << c.winedebug;
        std::vector<LogLine> expected;
        if (c.trace)
            expected.push_back(prn::starting());
        if (c.warn) {
            expected.push_back(prn::unknown("\"--bogus\""));
            expected.push_back(prn::requires_pair());
        }
        EXPECT_EQ(prn::channel_lines(r.err), expected) << c.winedebug << "\n" << r.err;
    }
}

TEST(PrinterLogging, NoLineOfTheChannelWithWinedebugUnsetOrOff) {
    const std::string kName = "QV Log Quiet";
    prn::Cleanup cleanup{{kName, kName + " 2", "QV Log Silent"}};
    for (bool unset : {true, false}) {
        qv::LaunchOptions o = prn::installer();
        o.env = {prn::kLocale};
        if (unset)
            o.unset_env = {"WINEDEBUG"};  // LaunchOptions would set -all
        // Every message kind of an installing run, then a refused run.
        std::vector<std::string> args = all_messages_args(kName);
        auto r = prn::run(args, o);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find("qvaddprinter"), std::string::npos) << r.err;
        r = prn::run({"--gcloud", "QV Log Silent,s", "--gcloud", ","}, o);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, prn::kUsage);
        EXPECT_EQ(r.err.find("qvaddprinter"), std::string::npos) << r.err;
    }
    auto got = prn::spooler(cleanup.names);
    prn::expect_cloud_printer(got[0], kName, "log-1");
    EXPECT_FALSE(got[2].has_value());
}

}  // namespace
