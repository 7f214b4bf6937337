// qvaddprinter's command line: exit codes, the usage text byte for byte, the
// warnings of the parser, and that a refused command line installs nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "printer_support.h"

namespace {

using prn::LogLine;

std::string usage_for(const std::string& progname) {
    return progname + std::string(prn::kUsage).substr(std::string("qvaddprinter.exe").size());
}

std::string windows_path(const std::string& unix_path) {
    std::string out = "Z:" + unix_path;
    for (auto& c : out)
        if (c == '/')
            c = '\\';
    return out;
}

TEST(PrinterCommandLine, NoArgumentsExitZeroSilently) {
    auto r = prn::run({});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(prn::channel_lines(r.err), (std::vector<LogLine>{prn::starting()})) << r.err;
}

TEST(PrinterCommandLine, HelpWritesTheUsageTextAndEndsTheRun) {
    prn::Cleanup cleanup{{"QV Cmd HelpAfter", "QV Cmd HelpBefore"}};
    struct Case {
        std::vector<std::string> args;
        std::vector<LogLine> log;
    } cases[] = {
        {{"--help"}, {prn::starting()}},
        // Nothing after it is looked at, not even a malformed value.
        {{"--help", "--gcloud", "nocomma", "--bogus"}, {prn::starting()}},
        {{"--bogus", "--help"}, {prn::starting(), prn::unknown("\"--bogus\"")}},
        // Printers taken before it are not installed.
        {{"--gcloud", "QV Cmd HelpBefore,h1", "--help", "--gcloud", "QV Cmd HelpAfter,h2"}, {prn::starting()}},
    };
    for (const auto& c : cases) {
        auto r = prn::run(c.args);
        EXPECT_EQ(r.exit_code, 0) << c.args.front();
        EXPECT_EQ(r.out, prn::kUsage) << qvtest::shown(r.out);
        EXPECT_EQ(prn::channel_lines(r.err), c.log) << r.err;
    }
    prn::expect_absent(cleanup.names, "help after a pair");
}

TEST(PrinterCommandLine, UsageShowsArgvZeroAfterItsLastBackslash) {
    const std::string launcher = qvtest::test_program64("run_with_argv0.exe");
    const std::string exe = windows_path(qvtest::program("qvaddprinter.exe"));
    struct Case {
        std::string command_line, first_line;
    } cases[] = {
        {"qvaddprinter --help", "qvaddprinter"},
        {"C:\\tools\\QVADD.EXE --help", "QVADD.EXE"},
        {"C:\\tools\\ --help", ""},
        {"some/unix/style/qvaddprinter.exe --help", "some/unix/style/qvaddprinter.exe"},
    };
    for (const auto& c : cases) {
        qv::LaunchOptions o = prn::installer(launcher);
        o.args = {exe, c.command_line};
        auto r = qv::run_program(o, qvtest::patience(prn::kRun)).value;
        EXPECT_EQ(r.exit_code, 0) << c.command_line << "\n" << r.err;
        EXPECT_EQ(r.out, usage_for(c.first_line)) << qvtest::shown(r.out);
    }
}

TEST(PrinterCommandLine, MissingOrMalformedValueRefusesTheWholeRun) {
    const std::string earlier = "QV Cmd Earlier";
    prn::Cleanup cleanup{{earlier, "QV Cmd Later"}};
    const std::vector<std::vector<std::string>> cases = {
        {"--gcloud"},
        {"--gcloud", "nocomma"},
        {"--gcloud", ",leadingcomma"},
        {"--gcloud", "trailingcomma,"},
        {"--gcloud", ","},
        {"--gcloud", ",,"},
        {"--gcloud", ""},
        // The value is taken whatever it looks like.
        {"--gcloud", "--help"},
        {"--gcloud", "--gcloud", "QV Cmd Later,l1"},
        // A valid pair before the bad value is not installed either.
        {"--gcloud", earlier + ",e1", "--gcloud", "nocomma"},
        {"--gcloud", earlier + ",e1", "--gcloud"},
    };
    for (const auto& args : cases) {
        auto r = prn::run(args);
        std::string what = args.back();
        EXPECT_EQ(r.exit_code, 1) << what;
        EXPECT_EQ(r.out, prn::kUsage) << what << ": " << qvtest::shown(r.out);
        EXPECT_EQ(prn::channel_lines(r.err), (std::vector<LogLine>{prn::starting(), prn::requires_pair()}))
            << what << "\n" << r.err;
    }
    prn::expect_absent(cleanup.names, "refused command lines");
}

TEST(PrinterCommandLine, UnknownArgumentsAreWarnedAboutAndSkipped) {
    const std::vector<std::string> args = {"--gcloud=QV Cmd Eq,x", "--GCLOUD", "--Help", "-h", "gcloud",
                                           "--gcloudx", "--help=1", "QV Cmd Plain,y"};
    auto r = prn::run(args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    std::vector<LogLine> expected{prn::starting()};
    for (const auto& a : args)
        expected.push_back(prn::unknown(prn::q(a)));
    EXPECT_EQ(prn::channel_lines(r.err), expected) << r.err;
    prn::expect_absent({"QV Cmd Eq", "QV Cmd Plain", "--gcloud=QV Cmd Eq"}, "unknown arguments");
}

}  // namespace
